// CoCreateInstance: the one class this layer serves is the WMI locator.
#include "winapi/com.h"
#include "winapi/com/com_object.h"
#include "winapi/com/com_wbem.h"

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (winapi::com::ApartmentDepth() == 0) return CO_E_NOTINITIALIZED;
    if (HRESULT injected = winapi::com::InjectedComFailure("CoCreateInstance"); FAILED(injected)) return injected;
    if (!IsEqualCLSID(rclsid, CLSID_WbemLocator)) return REGDB_E_CLASSNOTREG;
    // The locator is an in-process server only.
    if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)) == 0) return REGDB_E_CLASSNOTREG;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    IWbemLocator* locator = winapi::com::CreateWbemLocator();
    HRESULT hr = locator->QueryInterface(riid, ppv);
    locator->Release();
    return hr;
}
