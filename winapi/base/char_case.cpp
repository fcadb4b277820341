// Upper-casing text as Windows does for names: one table for every caller,
// so that what compares equal as a file name also does elsewhere.
#include "winapi/files/file_paths.h"
#include "winapi/win32.h"

DWORD CharUpperBuffW(LPWSTR lpsz, DWORD cchLength) {
    if (lpsz == nullptr) return 0;
    for (DWORD i = 0; i < cchLength; ++i) lpsz[i] = winapi::UpcaseNameChar(lpsz[i]);
    return cchLength;
}
