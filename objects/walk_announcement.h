// Tells the system, for as long as it lives, that the objects of a tree are
// being written one after the other, each directory before what lies below
// it (a recursive walk, or a restore in the order the listing that wrote the
// backup walked them). A directory's write then need not rewrite at once
// what it hands down to the objects about to be written anyway, each of
// which is written once with what it inherits; what the job leaves out is
// brought up to date when it has moved past the directory (its search
// closes, or a restore writes outside it), or at the latest when this ends.
#pragma once

#include "winapi/win32.h"

class RecursiveWalkAnnouncement {
public:
    RecursiveWalkAnnouncement() { AnnounceRecursiveWalk(TRUE); }
    ~RecursiveWalkAnnouncement() { AnnounceRecursiveWalk(FALSE); }
    RecursiveWalkAnnouncement(const RecursiveWalkAnnouncement&) = delete;
    RecursiveWalkAnnouncement& operator=(const RecursiveWalkAnnouncement&) = delete;
};
