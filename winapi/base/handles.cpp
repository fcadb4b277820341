#include "winapi/base/handles.h"

#include <mutex>
#include <vector>

#include "winapi/win32.h"

namespace winapi {
namespace {

// Open handles by value, in one block of slots found by linear probing: a
// walk opens and closes a handle for every object, and a node of a map per
// handle was an allocation and a free each time.
class HandleTable {
public:
    std::mutex lock;

    uintptr_t Add(std::unique_ptr<HandleObject> object) {
        if ((live_ + 1) * 2 > slots_.size()) Grow();
        // Values grow from 0x1000 in steps of 4, as Windows' own handles
        // do, and so never meet the predefined registry roots (0x80000000
        // and up). None is given out twice: a closed handle stays invalid.
        const uintptr_t value = next_;
        next_ += 4;
        Place(value, std::move(object));
        ++live_;
        return value;
    }

    HandleObject* Find(uintptr_t value) const {
        const size_t i = IndexOf(value);
        return i == kNone ? nullptr : slots_[i].object.get();
    }

    // Takes the object out of the table into `object`; false when `value`
    // is not open.
    bool Remove(uintptr_t value, std::unique_ptr<HandleObject>* object) {
        size_t hole = IndexOf(value);
        if (hole == kNone) return false;
        *object = std::move(slots_[hole].object);
        slots_[hole].value = 0;
        --live_;
        // Moves back each later slot of the run that may stand in the hole,
        // so that every value stays reachable from its home slot without
        // markers for removed ones.
        const size_t mask = slots_.size() - 1;
        for (size_t j = (hole + 1) & mask; slots_[j].value != 0; j = (j + 1) & mask) {
            const size_t home = Home(slots_[j].value);
            const bool homeAfterHole = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
            if (homeAfterHole) continue;
            slots_[hole] = std::move(slots_[j]);
            slots_[j].value = 0;
            hole = j;
        }
        return true;
    }

private:
    struct Slot {
        uintptr_t value = 0;  // 0: free
        std::unique_ptr<HandleObject> object;
    };
    static constexpr size_t kNone = static_cast<size_t>(-1);

    size_t Home(uintptr_t value) const { return (value >> 2) & (slots_.size() - 1); }

    size_t IndexOf(uintptr_t value) const {
        if (slots_.empty() || value == 0) return kNone;
        const size_t mask = slots_.size() - 1;
        for (size_t i = Home(value); slots_[i].value != 0; i = (i + 1) & mask) {
            if (slots_[i].value == value) return i;
        }
        return kNone;
    }

    void Place(uintptr_t value, std::unique_ptr<HandleObject> object) {
        const size_t mask = slots_.size() - 1;
        size_t i = Home(value);
        while (slots_[i].value != 0) i = (i + 1) & mask;
        slots_[i].value = value;
        slots_[i].object = std::move(object);
    }

    void Grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_ = std::vector<Slot>(old.empty() ? 64 : old.size() * 2);
        for (Slot& slot : old) {
            if (slot.value != 0) Place(slot.value, std::move(slot.object));
        }
    }

    std::vector<Slot> slots_;  // a power of two in size, at most half full
    size_t live_ = 0;
    uintptr_t next_ = 0x1000;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

}  // namespace

HANDLE RegisterHandle(std::unique_ptr<HandleObject> object) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    return reinterpret_cast<HANDLE>(table.Add(std::move(object)));
}

HandleObject* LookupHandle(HANDLE handle) {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    return table.Find(reinterpret_cast<uintptr_t>(handle));
}

bool ReleaseHandle(HANDLE handle) {
    std::unique_ptr<HandleObject> released;
    {
        auto& table = Table();
        std::lock_guard guard(table.lock);
        if (!table.Remove(reinterpret_cast<uintptr_t>(handle), &released)) return false;
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
