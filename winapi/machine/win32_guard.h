// The boundary between the Win32 functions and the C++ inside: a failure
// of the database must come out as an error code, never as an exception
// through a C interface.
#pragma once

#include <exception>

#include "winapi/machine/network_cache.h"
#include "winapi/machine/store.h"
#include "winapi/win32.h"

namespace winapi::machine {

// Runs `body` (returning a Win32 error code) as one call that sees the
// network as it stood when it began; any exception becomes `onException`.
template <class Body>
DWORD GuardedCall(Body&& body, DWORD onException = ERROR_GEN_FAILURE) {
    NetworkCallScope call;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const StoreWriteRefused& refused) {
        // A full disk or a read-only database is the caller's to report
        // as what it is.
        return refused.win32Error;
    } catch (const std::exception&) {
        return onException;
    }
}

// For BOOL-returning calls: sets the last error and returns TRUE only for
// ERROR_SUCCESS.
inline BOOL BoolResult(DWORD error) {
    SetLastError(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

}  // namespace winapi::machine
