// The records of propagation deferred during a recursive walk (see
// deferred_propagation.h) and the host's announcement of such a walk.
#include "winapi/files/deferred_propagation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

struct WalkState {
    int announcedWalks = 0;
    uint64_t nextSequence = 1;
    // In the order they were made; a walk writes a directory before what
    // lies below it, so later records are deeper or later siblings.
    std::vector<std::unique_ptr<DeferredPropagation>> records;
};

thread_local WalkState state;

// Takes the chosen records out of the list first, so that a record made
// while one is propagated is neither lost nor propagated twice.
template <typename Chosen>
void FlushWhere(Chosen chosen) {
    std::vector<std::unique_ptr<DeferredPropagation>> due;
    auto& records = state.records;
    for (auto it = records.begin(); it != records.end();) {
        if (chosen(**it)) {
            due.push_back(std::move(*it));
            it = records.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = due.rbegin(); it != due.rend(); ++it) PropagateDeferred(**it, (*it)->directory.Get());
}

}  // namespace

bool RecursiveWalkUnderway() { return state.announcedWalks > 0; }

DeferredPropagation* OwedTo(const ResolvedPath& object) {
    if (state.records.empty() || object.isRoot || !object.parent.Valid()) return nullptr;
    struct stat parent;
    if (::fstat(object.parent.Get(), &parent) != 0) return nullptr;
    for (auto& record : state.records) {
        if (record->device == parent.st_dev && record->inode == parent.st_ino) {
            return record->settled.count(object.name) ? nullptr : record.get();
        }
    }
    return nullptr;
}

void Settle(DeferredPropagation& owed, const ResolvedPath& object) { owed.settled.insert(object.name); }

void DeferPropagation(const ResolvedPath& directory, const std::wstring& name, const machine::Drive& drive,
                      const Bytes& sd, ACCESS_MASK desired, bool healingOnly) {
    auto& records = state.records;
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&](const auto& record) {
                                     return record->device == directory.status.st_dev &&
                                            record->inode == directory.status.st_ino;
                                 }),
                  records.end());
    auto record = std::make_unique<DeferredPropagation>();
    record->device = directory.status.st_dev;
    record->inode = directory.status.st_ino;
    record->directory = directory.object.Duplicate();
    record->name = name;
    record->drive = drive;
    record->sd = sd;
    record->desired = desired;
    record->healingOnly = healingOnly;
    record->sequence = state.nextSequence++;
    if (!record->directory.Valid()) {
        // Without a descriptor to come back with (no descriptor left),
        // propagate now as without a walk.
        PropagateDeferred(*record, directory.object.Get());
        return;
    }
    records.push_back(std::move(record));
}

uint64_t DeferredMark() { return state.nextSequence; }

void FlushDeferred(uint64_t mark, dev_t device, ino_t inode) {
    FlushWhere([&](const DeferredPropagation& record) {
        return record.sequence >= mark || (record.device == device && record.inode == inode);
    });
}

}  // namespace winapi

void AnnounceRecursiveWalk(BOOL underway) {
    using namespace winapi;
    if (underway) {
        ++state.announcedWalks;
        return;
    }
    if (state.announcedWalks == 0) return;
    if (--state.announcedWalks > 0) return;
    // Whatever the walk left (a search never closed, a directory written
    // but never listed) is owed now.
    machine::GuardedCall([] {
        FlushWhere([](const DeferredPropagation&) { return true; });
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
}
