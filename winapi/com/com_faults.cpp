// Injected failures of COM and WMI calls, and the count of live objects.
#include <atomic>
#include <exception>

#include "winapi/com/com_object.h"
#include "winapi/machine/machine.h"

namespace winapi::com {
namespace {

std::atomic<long> liveObjects{0};

}  // namespace

long LiveObjectCount() { return liveObjects.load(); }
void NoteObjectCreated() { ++liveObjects; }
void NoteObjectDestroyed() { --liveObjects; }

HRESULT InjectedComFailure(const char* call, const wchar_t* object) {
    DWORD code = 0;
    try {
        code = machine::InjectedFailure(call, object != nullptr ? std::wstring_view(object) : std::wstring_view());
    } catch (const std::exception&) {
        // Without a usable simulated network nothing can have been injected.
        return S_OK;
    }
    if (code == 0) return S_OK;
    if (code & 0x80000000u) return static_cast<HRESULT>(code);
    return HRESULT_FROM_WIN32(code);
}

}  // namespace winapi::com
