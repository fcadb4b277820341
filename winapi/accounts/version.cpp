// GetVersionExW: the local computer's operating-system version.
#include <cwchar>

#include "winapi/machine/machine.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

using namespace winapi::machine;

BOOL GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
    if (lpVersionInformation == nullptr) return BoolResult(ERROR_INVALID_PARAMETER);
    // Only the basic structure exists on this side; any other size is a
    // caller that does not know what it passes.
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW))
        return BoolResult(ERROR_INSUFFICIENT_BUFFER);
    return BoolResult(GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("GetVersionExW")) return fault;
        auto local = LocalComputerRecord();
        if (!local) return ERROR_GEN_FAILURE;
        lpVersionInformation->dwMajorVersion = local->major;
        lpVersionInformation->dwMinorVersion = local->minor;
        lpVersionInformation->dwBuildNumber = local->build;
        lpVersionInformation->dwPlatformId = local->platformId;
        std::wmemset(lpVersionInformation->szCSDVersion, L'\0', 128);
        return ERROR_SUCCESS;
    }));
}
