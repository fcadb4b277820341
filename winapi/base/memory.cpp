// LocalAlloc and LocalFree: fixed blocks from the C heap. Every block the
// layer hands out as a "LocalAlloc block" comes from here, so LocalFree can
// release any of them, and AddressSanitizer sees every leak.
#include <cstdlib>
#include <cstring>

#include "winapi/win32.h"

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    // Windows hands out a valid block for a size of zero; so do we.
    void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
