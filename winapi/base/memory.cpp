// LocalAlloc and LocalFree: fixed blocks from the C heap. Every block the
// layer hands out as a "LocalAlloc block" comes from here, so LocalFree can
// release any of them, and AddressSanitizer sees every leak.
#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "winapi/win32.h"

#if defined(__SANITIZE_ADDRESS__)
#define TAVRIK_KEEP_SPARE_BLOCK 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIK_KEEP_SPARE_BLOCK 0
#endif
#endif
#ifndef TAVRIK_KEEP_SPARE_BLOCK
#define TAVRIK_KEEP_SPARE_BLOCK 1
#endif

namespace {

#if TAVRIK_KEEP_SPARE_BLOCK
// The last large block this thread freed, kept for its next request of
// about that size. A walk asks for one block per object (the SDDL text of
// its descriptor) and frees it before the next: blocks of that size are
// past the C heap's per-thread cache, and taking one from its bins and
// giving it back cost more than composing the text. Small blocks come from
// that cache already. Not kept under AddressSanitizer, so that it still
// sees every use of a freed block.
constexpr size_t kSmallestKept = 1024;

struct SpareBlock {
    void* block = nullptr;
    size_t size = 0;
    ~SpareBlock() {
        std::free(block);
        block = nullptr;
        ended = true;
    }
    static thread_local bool ended;  // a block freed after this is not kept
};
thread_local bool SpareBlock::ended = false;
thread_local SpareBlock spare;

void* TakeSpare(size_t bytes) {
    // A block at most four times the size asked for: a small request does
    // not hold a large block.
    if (spare.block == nullptr || bytes < kSmallestKept || bytes > spare.size || spare.size > 4 * bytes)
        return nullptr;
    void* block = spare.block;
    spare.block = nullptr;
    return block;
}

bool KeepSpare(void* block) {
    if (SpareBlock::ended) return false;
    const size_t size = malloc_usable_size(block);
    if (size < kSmallestKept) return false;
    std::free(spare.block);
    spare.block = block;
    spare.size = size;
    return true;
}
#endif

}  // namespace

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    // Windows hands out a valid block for a size of zero; so do we.
    const size_t bytes = uBytes ? uBytes : 1;
#if TAVRIK_KEEP_SPARE_BLOCK
    if (void* block = TakeSpare(bytes)) {
        if (uFlags & LMEM_ZEROINIT) std::memset(block, 0, bytes);
        return block;
    }
#endif
    void* block = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, bytes) : std::malloc(bytes);
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL LocalFree(HLOCAL hMem) {
#if TAVRIK_KEEP_SPARE_BLOCK
    if (hMem != nullptr && KeepSpare(hMem)) return nullptr;
#endif
    std::free(hMem);
    return nullptr;
}
