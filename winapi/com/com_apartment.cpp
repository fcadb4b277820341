// COM apartments: CoInitializeEx and CoUninitialize keep a per-thread count
// and the concurrency model chosen by the first call, as Windows does.
#include "winapi/com.h"
#include "winapi/com/com_object.h"

namespace winapi::com {
namespace {

thread_local int apartmentDepth = 0;
thread_local DWORD apartmentModel = COINIT_APARTMENTTHREADED;

}  // namespace

int ApartmentDepth() { return apartmentDepth; }

}  // namespace winapi::com

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    using winapi::com::apartmentDepth;
    using winapi::com::apartmentModel;
    if (pvReserved != nullptr) return E_INVALIDARG;
    const DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (apartmentDepth > 0) {
        // A thread keeps the model it chose first; a call asking for the
        // other one fails and must not be balanced by CoUninitialize.
        if (model != apartmentModel) return RPC_E_CHANGED_MODE;
        ++apartmentDepth;
        return S_FALSE;
    }
    apartmentModel = model;
    apartmentDepth = 1;
    return S_OK;
}

void CoUninitialize() {
    using winapi::com::apartmentDepth;
    if (apartmentDepth > 0) --apartmentDepth;
}
