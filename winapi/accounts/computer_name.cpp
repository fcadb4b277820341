// GetComputerNameW: the NetBIOS name of the simulated computer the process runs on.
#include <cstring>

#include "winapi/base.h"
#include "winapi/errors.h"
#include "winapi/machine/machine.h"

BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize) {
    if (nSize == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::wstring name;
    try {
        name = winapi::machine::LocalComputer().name;
    } catch (...) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (lpBuffer == nullptr || *nSize <= name.size()) {
        *nSize = static_cast<DWORD>(name.size() + 1);
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    std::memcpy(lpBuffer, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    *nSize = static_cast<DWORD>(name.size());
    return TRUE;
}
