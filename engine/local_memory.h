// Ownership of LocalAlloc blocks handed out by Windows security calls.
#pragma once

#include <memory>

#include "winapi/win32.h"

namespace tavrik {

struct LocalFreeDeleter {
    void operator()(void* block) const {
        if (block) LocalFree(block);
    }
};

template <class T = void>
using LocalPtr = std::unique_ptr<T, LocalFreeDeleter>;

}  // namespace tavrik
