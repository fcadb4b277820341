#include "winapi/base/handles.h"

#include <mutex>
#include <unordered_map>

#include "winapi/win32.h"

namespace winapi {
namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::unique_ptr<HandleObject>> objects;
    // Values grow from 0x1000 in steps of 4, as Windows' own handles do, and
    // so never meet the predefined registry roots (0x80000000 and up).
    uintptr_t next = 0x1000;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

}  // namespace

HANDLE RegisterHandle(std::unique_ptr<HandleObject> object) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

HandleObject* LookupHandle(HANDLE handle) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == table.objects.end() ? nullptr : it->second.get();
}

bool ReleaseHandle(HANDLE handle) {
    std::unique_ptr<HandleObject> released;
    {
        auto& table = Table();
        std::lock_guard guard(table.lock);
        auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == table.objects.end()) return false;
        released = std::move(it->second);
        table.objects.erase(it);
    }
    return true;  // `released` is destroyed outside the lock
}

}  // namespace winapi

BOOL CloseHandle(HANDLE hObject) {
    if (!winapi::ReleaseHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
