// What differs between two security descriptors of one object: entries
// added, removed or given other rights, and owner, group and protection
// changes. The result is plain data, so that any output form (the
// listing's words, SDDL, JSON) can be made from it.
#pragma once

#include <string>
#include <vector>

#include "winapi/win32.h"

class CTavrik;

namespace tavrik {

// One ACE in the words the listing prints, with its SDDL form.
struct DiffEntry {
    std::wstring trustee;  // as the job's name form shows it
    std::wstring sid;      // S-1-... ("" for an ACE that holds none)
    std::wstring rights;   // listing words, e.g. read_execute
    DWORD mask = 0;
    std::wstring type;     // allow, deny, audit, ...
    std::wstring flags;    // listing words, e.g. container_inherit+object_inherit
    BYTE aceFlags = 0;     // the flag byte the words stand for
    bool inherited = false;
    std::wstring sddl;     // e.g. (A;OICI;0x1200a9;;;BU)
};

enum class EntryChangeKind { Added, Removed, RightsChanged };

struct EntryChange {
    EntryChangeKind kind = EntryChangeKind::Added;
    DWORD acl = 1;         // ACL_DACL (1) or ACL_SACL (2), as the job names them
    DiffEntry before;      // Removed and RightsChanged
    DiffEntry after;       // Added and RightsChanged
};

// A part that is either the same or went from one text to another.
struct PartChange {
    bool changed = false;
    std::wstring before, after;          // listing words
    std::wstring beforeSddl, afterSddl;  // SDDL
};

struct DescriptorDiff {
    PartChange owner, group;
    // The ACL's state: "(protected+auto_inherited)" style words, or the
    // listing's word for a missing (NULL) ACL.
    PartChange dacl, sacl;
    std::vector<EntryChange> entries;
    // The same entries, in another order (which matters: Windows reads
    // them in order).
    bool daclReordered = false;
    bool saclReordered = false;

    bool Same() const {
        return !owner.changed && !group.changed && !dacl.changed && !sacl.changed && entries.empty() &&
               !daclReordered && !saclReordered;
    }
};

// Compares the `parts` (OWNER_/GROUP_/DACL_/SACL_SECURITY_INFORMATION) of
// two descriptors of an object of `objectType`. Trustees are named as the
// job's name form asks; a SID no account has is shown as its SID string.
DescriptorDiff DiffDescriptors(CTavrik& job, DWORD objectType, PSECURITY_DESCRIPTOR before,
                               PSECURITY_DESCRIPTOR after, SECURITY_INFORMATION parts);

// The same from SDDL texts; false (with the last error set) when either
// text is not a descriptor.
bool DiffSddl(CTavrik& job, DWORD objectType, const std::wstring& before, const std::wstring& after,
              SECURITY_INFORMATION parts, DescriptorDiff& diff);

// The lines that show `diff`, each without indentation or line end:
//   Owner: BUILTIN\Administrators -> TESTPC\alice
//   DACL(not_protected+auto_inherited) -> DACL(protected+auto_inherited)
//   + DACL: BUILTIN\Users   read_execute   allow   container_inherit+object_inherit
//   - DACL: Everyone   full   allow   no_inheritance
//   ~ DACL: BUILTIN\Users   read -> change   allow   no_inheritance
// With `sddl`, owners, groups and entries are shown in SDDL instead.
std::vector<std::wstring> DiffLines(const DescriptorDiff& diff, bool sddl);

}  // namespace tavrik
