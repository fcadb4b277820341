// The records of propagation deferred during a recursive walk (see
// deferred_propagation.h) and the host's announcement of such a walk.
#include "winapi/files/deferred_propagation.h"
#include "winapi/files/step_write_locks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "winapi/machine/network_cache.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

struct DirectoryKey {
    dev_t device;
    ino_t inode;
    bool operator==(const DirectoryKey&) const = default;
};

struct DirectoryKeyHash {
    size_t operator()(const DirectoryKey& key) const {
        return std::hash<uint64_t>()(static_cast<uint64_t>(key.inode) * 1000003u ^ static_cast<uint64_t>(key.device));
    }
};

struct WalkState {
    int announcedWalks = 0;
    uint64_t nextSequence = 1;
    // In the order they were made (by sequence); a walk writes a directory
    // before what lies below it, so later records are deeper or later
    // siblings. A deep walk keeps one record per level, so each is found
    // through the index by its directory, never by a scan of the list.
    std::vector<std::unique_ptr<DeferredPropagation>> records;
    std::unordered_map<DirectoryKey, DeferredPropagation*, DirectoryKeyHash> byDirectory;
};

thread_local WalkState state;

// Where the record made with `sequence` is in the list, or the list's end.
std::vector<std::unique_ptr<DeferredPropagation>>::iterator Position(uint64_t sequence) {
    auto& records = state.records;
    auto it = std::lower_bound(records.begin(), records.end(), sequence,
                               [](const auto& record, uint64_t wanted) { return record->sequence < wanted; });
    return it != records.end() && (*it)->sequence == sequence ? it : records.end();
}

// Takes the records made since `mark`, and the one of `directory` if
// there is one, out of the list first, so that a record made while one is
// propagated is neither lost nor propagated twice; then propagates them,
// latest first. A record that lent its descriptor to a search still open
// (any but `directory`'s, whose search is closing and lends `listingFd`)
// stays until that search closes.
void FlushFrom(uint64_t mark, const DirectoryKey* directory, int listingFd) {
    auto& records = state.records;
    std::vector<std::unique_ptr<DeferredPropagation>> due;
    auto closing = [&](const DeferredPropagation& record) {
        return directory && record.device == directory->device && record.inode == directory->inode;
    };
    if (directory) {
        auto found = state.byDirectory.find(*directory);
        if (found != state.byDirectory.end() && found->second->sequence < mark) {
            auto it = Position(found->second->sequence);
            state.byDirectory.erase(found);
            if (it != records.end()) {
                due.push_back(std::move(*it));
                records.erase(it);
            }
        }
    }
    auto first = std::lower_bound(records.begin(), records.end(), mark,
                                  [](const auto& record, uint64_t wanted) { return record->sequence < wanted; });
    std::vector<std::unique_ptr<DeferredPropagation>> kept;
    for (auto it = first; it != records.end(); ++it) {
        if ((*it)->lentToSearch && !closing(**it)) {
            kept.push_back(std::move(*it));
            continue;
        }
        state.byDirectory.erase(DirectoryKey{(*it)->device, (*it)->inode});
        due.push_back(std::move(*it));
    }
    records.erase(first, records.end());
    for (auto& record : kept) records.push_back(std::move(record));
    for (auto it = due.rbegin(); it != due.rend(); ++it) {
        const DeferredPropagation& record = **it;
        const int fd = record.directory.Valid() ? record.directory.Get() : listingFd;
        if (fd >= 0) PropagateDeferred(record, fd);
    }
}

// Whether the directory `record` names lies on the way to `name`: `name`
// is the record's own name or one below it. Names are compared as the
// host wrote them; a directory reached under another spelling is taken
// for one off the way, which only propagates it sooner.
bool OnTheWay(const DeferredName& record, const std::wstring& name) {
    const size_t length = record.Length();
    if (length > name.size() || !record.Begins(name)) return false;
    return length == name.size() || name[length] == L'\\' || (length > 0 && name[length - 1] == L'\\');
}

// Propagates, latest first, the records of directories off the way to
// `name` that no search has borrowed.
void FlushOffTheWay(const std::wstring& name) {
    auto& records = state.records;
    std::vector<std::unique_ptr<DeferredPropagation>> due;
    for (auto it = records.begin(); it != records.end();) {
        const DeferredPropagation& record = **it;
        if (record.lentToSearch || !record.directory.Valid() || !record.name || OnTheWay(*record.name, name)) {
            ++it;
            continue;
        }
        state.byDirectory.erase(DirectoryKey{record.device, record.inode});
        due.push_back(std::move(*it));
        it = records.erase(it);
    }
    for (auto it = due.rbegin(); it != due.rend(); ++it) PropagateDeferred(**it, (*it)->directory.Get());
}

// The name of a directory about to be recorded, sharing the name of its
// directory's record when it extends that name.
std::shared_ptr<const DeferredName> NameBelowParent(const ResolvedPath& directory, const std::wstring& name) {
    dev_t device = 0;
    ino_t inode = 0;
    if (!state.byDirectory.empty() && !directory.isRoot && directory.parent.Identify(&device, &inode)) {
        auto found = state.byDirectory.find(DirectoryKey{device, inode});
        if (found != state.byDirectory.end() && found->second->name && found->second->name->Begins(name)) {
            const auto& head = found->second->name;
            return std::make_shared<const DeferredName>(head, name.substr(head->Length()));
        }
    }
    return std::make_shared<const DeferredName>(nullptr, name);
}

}  // namespace

namespace {

constexpr uint64_t kHashBase = 1000003;

// A polynomial hash of `text` continued from `hash`; `power` is multiplied
// by the base once per character.
uint64_t ContinueHash(uint64_t hash, std::wstring_view text, uint64_t* power) {
    for (wchar_t c : text) {
        hash = hash * kHashBase + static_cast<uint32_t>(c);
        *power *= kHashBase;
    }
    return hash;
}

}  // namespace

DeferredName::DeferredName(std::shared_ptr<const DeferredName> head, std::wstring tail)
    : head_(std::move(head)), tail_(std::move(tail)), length_((head_ ? head_->length_ : 0) + tail_.size()) {
    uint64_t tailPower = 1;
    const uint64_t tailHash = ContinueHash(0, tail_, &tailPower);
    hash_ = (head_ ? head_->hash_ * tailPower : 0) + tailHash;
    power_ = (head_ ? head_->power_ : 1) * tailPower;
}

DeferredName::~DeferredName() {
    // Released one at a time: a chain as long as a tree is deep must not
    // unwind on the stack.
    std::shared_ptr<const DeferredName> next = std::move(head_);
    while (next && next.use_count() == 1) {
        std::shared_ptr<const DeferredName> after = std::move(next->head_);
        next = std::move(after);
    }
}

std::wstring DeferredName::Full() const {
    std::wstring full(length_, L'\0');
    size_t end = length_;
    for (const DeferredName* part = this; part; part = part->head_.get()) {
        end -= part->tail_.size();
        full.replace(end, part->tail_.size(), part->tail_);
    }
    return full;
}

bool DeferredName::Begins(const std::wstring& name) const {
    if (name.size() < length_) return false;
    uint64_t power = 1;
    return ContinueHash(0, std::wstring_view(name).substr(0, length_), &power) == hash_;
}

bool RecursiveWalkUnderway() { return state.announcedWalks > 0; }

DeferredPropagation* OwedTo(const ResolvedPath& object) {
    if (state.records.empty() || object.isRoot) return nullptr;
    dev_t device = 0;
    ino_t inode = 0;
    if (!object.parent.Identify(&device, &inode)) return nullptr;
    auto found = state.byDirectory.find(DirectoryKey{device, inode});
    if (found == state.byDirectory.end()) return nullptr;
    return found->second->settled.count(object.name) ? nullptr : found->second;
}

void Settle(DeferredPropagation& owed, const ResolvedPath& object) { owed.settled.insert(object.name); }

void DeferPropagation(const ResolvedPath& directory, const std::wstring& name, const machine::Drive& drive,
                      const Bytes& sd, ACCESS_MASK desired, bool healingOnly) {
    // No search marks where the host is (a restore): what it left behind
    // is owed now.
    if (!state.records.empty() && !machine::SearchOpen()) FlushOffTheWay(name);
    auto& records = state.records;
    const DirectoryKey key{directory.status.st_dev, directory.status.st_ino};
    if (auto found = state.byDirectory.find(key); found != state.byDirectory.end()) {
        auto it = Position(found->second->sequence);
        state.byDirectory.erase(found);
        if (it != records.end()) records.erase(it);
    }
    auto record = std::make_unique<DeferredPropagation>();
    record->device = directory.status.st_dev;
    record->inode = directory.status.st_ino;
    record->directory = directory.object.Duplicate();
    record->name = NameBelowParent(directory, name);
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
    state.byDirectory[key] = record.get();
    records.push_back(std::move(record));
}

uint64_t DeferredMark() { return state.nextSequence; }

void FlushDeferred(uint64_t mark, dev_t device, ino_t inode, int listingFd) {
    const DirectoryKey directory{device, inode};
    FlushFrom(mark, &directory, listingFd);
}

void LendToSearch(dev_t device, ino_t inode) {
    auto found = state.byDirectory.find(DirectoryKey{device, inode});
    if (found == state.byDirectory.end() || !found->second->directory.Valid()) return;
    found->second->directory.Reset();
    found->second->lentToSearch = true;
}

}  // namespace winapi

void AnnounceRecursiveWalk(BOOL underway) {
    using namespace winapi;
    if (underway) {
        ++state.announcedWalks;
        // The walk's first object is read under the write lock too.
        LockNextStepRead();
        return;
    }
    if (state.announcedWalks == 0) return;
    if (--state.announcedWalks > 0) return;
    // Whatever the walk left (a search never closed, a directory written
    // but never listed) is owed now.
    machine::GuardedCall([] {
        FlushFrom(0, nullptr, -1);
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
}
