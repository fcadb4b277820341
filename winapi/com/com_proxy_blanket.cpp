// CoSetProxyBlanket: our WMI objects live in the caller's process, so there
// is no proxy whose security could be set; Windows accepts the call on
// in-process objects as well.
#include "winapi/com.h"
#include "winapi/com/com_object.h"

HRESULT CoSetProxyBlanket(IUnknown* pProxy, DWORD dwAuthnSvc, DWORD dwAuthzSvc, OLECHAR* pServerPrincName,
                          DWORD dwAuthnLevel, DWORD dwImpLevel, RPC_AUTH_IDENTITY_HANDLE pAuthInfo,
                          DWORD dwCapabilities) {
    (void)dwAuthzSvc;
    (void)pServerPrincName;
    (void)pAuthInfo;
    (void)dwCapabilities;
    if (pProxy == nullptr) return E_INVALIDARG;
    if (dwAuthnLevel > RPC_C_AUTHN_LEVEL_PKT_PRIVACY) return E_INVALIDARG;
    if (dwImpLevel > RPC_C_IMP_LEVEL_DELEGATE) return E_INVALIDARG;
    if (dwAuthnSvc != RPC_C_AUTHN_NONE && dwAuthnSvc != RPC_C_AUTHN_WINNT && dwAuthnSvc != RPC_C_AUTHN_DEFAULT &&
        dwAuthnSvc != 9 /* negotiate */ && dwAuthnSvc != 16 /* Kerberos */)
        return E_INVALIDARG;
    return winapi::com::InjectedComFailure("CoSetProxyBlanket");
}
