// Whether file names may pass through symbolic links on their way.
//
// Names normally follow a link inside their drive in a directory
// component. A host running a job whose names come from a file rather than
// from a walk (a restore of names a backup listed, none of them through a
// link) switches that off, so a user who swaps a directory of the tree for a
// link between backup and restore cannot redirect the writes.
#pragma once

namespace winapi {

// While set, a link in a directory component of a file name (or in its last
// component, where that would be followed) refuses the name with
// ERROR_ACCESS_DENIED. The last component of a name still names a link
// itself where calls do not follow it.
void SetDirectoryLinksRefused(bool refused);
bool DirectoryLinksRefused();

}  // namespace winapi
