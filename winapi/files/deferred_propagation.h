// Propagation below a directory written during a recursive walk, handed to
// each child when the walk reaches it instead of rewriting the whole tree
// at once.
//
// A host that walks a tree and writes every object it lists (a recursive
// grant) would otherwise write each file up to three times: once when the
// top directory's write propagates, once when its own directory's write
// propagates, and once for its own write. While the host says such a walk
// is under way (AnnounceRecursiveWalk), a directory's write records what
// it now hands down and propagates nothing. Then:
//
// - a child the walk reads (by name or through a handle) reads as it would
//   after the propagation, computed in memory and not written;
// - a child the walk writes is written once, with its inherited part
//   recomputed from its directory, and is settled;
// - a child directory the walk lists is brought up to date and written
//   first (its own children follow the same rule below it);
// - whatever the walk did not settle (filtered, skipped, failed, or the
//   walk ended early) is propagated as before when the search of the
//   directory closes, when the search that was open when the directory was
//   written closes, or at the latest when the walk ends.
//
// A host may also announce a walk that lists no directory: a restore
// writes the objects a backup names, each directory before what lies below
// it. With no search open, a directory's record is due as soon as a
// directory outside it is written (the host has moved on), so the records
// kept are those of the directories on the way to the last one written.
//
// After a crash nothing is recorded anywhere: the next write of the
// directory's DACL brings every stale child up to date (the healing rule in
// file_security.cpp). Readers in other threads or processes may see a child
// not yet propagated while the walk runs. The records live on the thread
// that walks, one per directory written and not yet closed, each holding
// one O_PATH descriptor of its directory until a search of the directory
// opens it (LendToSearch), so a walk holds one descriptor per level.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "winapi/files/file_paths.h"
#include "winapi/machine/machine.h"
#include "winapi/security/bytes.h"
#include "winapi/types.h"

namespace winapi {

// A directory's name as its write named it, kept for reports. In a deep
// walk each directory's name extends the name of the directory above it,
// so it is kept as that name (shared) and what follows it: a record costs
// the length of its own component, not of the whole name.
class DeferredName {
public:
    DeferredName(std::shared_ptr<const DeferredName> head, std::wstring tail);
    DeferredName(const DeferredName&) = delete;
    DeferredName& operator=(const DeferredName&) = delete;
    ~DeferredName();

    std::wstring Full() const;
    size_t Length() const { return length_; }
    // Whether `name` begins with this name (compared by a hash of the
    // whole name, so that the chain is not walked).
    bool Begins(const std::wstring& name) const;

private:
    mutable std::shared_ptr<const DeferredName> head_;
    std::wstring tail_;
    size_t length_;
    uint64_t hash_;   // of the whole name
    uint64_t power_;  // the hash's base to the power of length_
};

// What a directory owes the children the walk has not settled yet.
struct DeferredPropagation {
    dev_t device = 0;
    ino_t inode = 0;
    UniqueFd directory;         // O_PATH; none while lent to a search
    bool lentToSearch = false;  // the search of the directory stands in
    std::shared_ptr<const DeferredName> name;  // as its write named it, for reports
    machine::Drive drive;
    Bytes sd;                   // the descriptor it hands down
    ACCESS_MASK desired = 0;    // what writing a child requires
    bool healingOnly = false;   // see Propagation in file_security.cpp
    std::unordered_set<std::string> settled;  // children's names as stored
    uint64_t sequence = 0;
};

// Whether the host announced a recursive walk on this thread.
bool RecursiveWalkUnderway();

// The propagation `object`'s directory still owes it, or null (also when
// nothing is deferred: then it costs nothing). Valid until the next call
// of this module.
DeferredPropagation* OwedTo(const ResolvedPath& object);

// The object now holds what its directory hands down.
void Settle(DeferredPropagation& owed, const ResolvedPath& object);

// Records that the children of the directory `directory`, just written
// with `sd`, are owed its inheritance; replaces an earlier record of it.
void DeferPropagation(const ResolvedPath& directory, const std::wstring& name, const machine::Drive& drive,
                      const Bytes& sd, ACCESS_MASK desired, bool healingOnly);

// A mark of the records made from now on, for FlushDeferred.
uint64_t DeferredMark();

// A search of the directory (device, inode) has opened it: its record, if
// any, gives up its own descriptor and is propagated through the search's
// when the search closes, so that a deep walk holds one descriptor per
// level, not two.
void LendToSearch(dev_t device, ino_t inode);

// Propagates (file_security.cpp) what the records made since `mark` owe,
// and what the directory (device, inode) owes, latest first, and drops
// them; `listingFd` is the directory's, from its closing search. Records
// lent to other searches still open wait for those to close.
void FlushDeferred(uint64_t mark, dev_t device, ino_t inode, int listingFd);

// Done by file_security.cpp: propagates the record's inheritance to every
// child of `directoryFd` (the record's directory) not settled.
void PropagateDeferred(const DeferredPropagation& owed, int directoryFd);

}  // namespace winapi
