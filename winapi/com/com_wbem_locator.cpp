// IWbemLocator: connects to ROOT\CIMV2 of the local computer.
#include <exception>
#include <string>

#include "winapi/com/com_object.h"
#include "winapi/com/com_wbem.h"
#include "winapi/errors.h"
#include "winapi/machine/machine.h"
#include "winapi/wql/wql_value.h"

namespace winapi::com {
namespace {

bool NamesLocalComputer(std::wstring_view server) {
    if (server == L"." || wql::EqualsIgnoreCase(server, L"localhost")) return true;
    try {
        return wql::EqualsIgnoreCase(server, machine::LocalComputer().name);
    } catch (const std::exception&) {
        return false;
    }
}

bool IsGiven(BSTR text) { return text != nullptr && SysStringLen(text) > 0; }

class WbemLocator final : public RefCounted<IWbemLocator> {
public:
    // Accepts "ROOT\CIMV2", "\\.\ROOT\CIMV2", "\\<this computer>\root\cimv2",
    // with / or \ as separators and in any case, as Windows does.
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                            const BSTR strPassword, const BSTR strLocale, LONG lSecurityFlags,
                                            const BSTR strAuthority, IWbemContext* pCtx,
                                            IWbemServices** ppNamespace) override {
        (void)strLocale;
        (void)lSecurityFlags;
        (void)strAuthority;
        (void)pCtx;
        if (ppNamespace == nullptr || strNetworkResource == nullptr) return WBEM_E_INVALID_PARAMETER;
        *ppNamespace = nullptr;
        std::wstring path(strNetworkResource, SysStringLen(strNetworkResource));
        for (auto& c : path)
            if (c == L'/') c = L'\\';
        if (path.starts_with(L"\\\\")) {
            const size_t end = path.find(L'\\', 2);
            if (end == std::wstring::npos) return WBEM_E_INVALID_NAMESPACE;
            if (!NamesLocalComputer(std::wstring_view(path).substr(2, end - 2)))
                return HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
            path.erase(0, end + 1);
        }
        if (!wql::EqualsIgnoreCase(path, L"ROOT\\CIMV2")) return WBEM_E_INVALID_NAMESPACE;
        // The local computer is reached with the caller's own identity.
        if (IsGiven(strUser) || IsGiven(strPassword)) return WBEM_E_LOCAL_CREDENTIALS;
        if (HRESULT injected = InjectedComFailure("ConnectServer", strNetworkResource); FAILED(injected))
            return injected;
        *ppNamespace = CreateCimv2Services();
        return WBEM_S_NO_ERROR;
    }

protected:
    const IID& InterfaceId() const override { return IID_IWbemLocator; }
};

}  // namespace

IWbemLocator* CreateWbemLocator() { return new WbemLocator(); }

}  // namespace winapi::com
