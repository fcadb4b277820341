// The few rows that nearly every Win32 call reads (the computers, their
// drive letters, whether any fault or a full disk is injected), kept in
// memory while the database does not change. Reading them from SQLite on
// every call cost more than the file-system work of a descriptor write.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "winapi/machine/network_records.h"

namespace winapi::machine {

struct CachedNetwork {
    std::vector<ComputerRecord> computers;
    // (computer id, drive letter) -> host directory; network drives left out.
    std::map<std::pair<int64_t, wchar_t>, std::string> driveDirectories;
    bool anyFaults = false;
    bool diskFull = false;
    std::string sambaConfig;  // smb.conf of the local computer's Samba server, or ""
};

// The rows as the database holds them now, read again only when this
// connection changed one of their tables or another connection committed.
// Call under MachineLock(); the reference lasts until the next call.
const CachedNetwork& CurrentNetwork();

// Drops the copy (the database was closed or another one opened).
void ForgetCachedNetwork();

// A number that moves whenever the rows CurrentNetwork() gives may have
// changed: they were read again, or dropped. An answer worked out from
// the rows (a drive's record, whether faults are injected) can be kept on
// a thread under the number it was worked out at. Within one call or step
// (the scope in which CurrentNetwork() looks at other connections once)
// and while this process changed no row, the number is known to stand and
// is given without the machine lock or any look at the database.
uint64_t NetworkGeneration();

// Lives for the duration of one Win32 call. While one is alive, other
// connections' commits are looked for once instead of at every read: the
// call sees the network as it stood when it began, plus its own writes.
class NetworkCallScope {
public:
    NetworkCallScope() noexcept;
    ~NetworkCallScope();
    NetworkCallScope(const NetworkCallScope&) = delete;
    NetworkCallScope& operator=(const NetworkCallScope&) = delete;
};

// Lives as long as a directory search: while one is open on this thread,
// the host is walking a tree, and the calls it makes for one entry (read a
// descriptor, look up names, write it) are one step that looks at other
// connections' commits once, when the search hands the entry out
// (BeginWalkStep), instead of once per call. Two connections' checks cost
// two file locks each, more than the rest of a descriptor read.
class WalkUnderway {
public:
    WalkUnderway() noexcept;
    ~WalkUnderway();
    WalkUnderway(const WalkUnderway&) = delete;
    WalkUnderway& operator=(const WalkUnderway&) = delete;
};

// Whether a directory search is open on this thread.
bool SearchOpen() noexcept;

// A search handed out its next entry: a new step begins.
void BeginWalkStep() noexcept;

// The number of the step under way on this thread: a walk's entry or a
// named step (below); 0 when calls are not grouped in steps.
uint64_t CurrentStep() noexcept;

// A host working through names a file lists (a restore) makes its calls
// for one object one after the other, with no search to mark the steps.
// While named steps are on, a call naming another object than the named
// call before it begins a new step, as a search handing out its next entry
// does; the calls for one object share one look at other connections'
// commits, and the next object sees them.
void SetNamedSteps(bool on) noexcept;
void BeginNamedStep(std::wstring_view objectName);

}  // namespace winapi::machine
