// A host that keeps a record of what its writes change (an undo file) is
// told of a descriptor write only once the write is known to change the
// object, and before anything is stored: a write that leaves the object as
// it is costs the host nothing, and the record still precedes the change.
// Only the simulated computer offers this; on Windows the host records
// before every write.
#pragma once

#include <functional>
#include <string>

#include "winapi/aclapi.h"
#include "winapi/errors.h"

namespace winapi::machine {

// Receives the name and type SetNamedSecurityInfoW was given and the parts
// it writes. A result other than ERROR_SUCCESS refuses the write, which
// then fails with that error and changes nothing.
using ChangeObserver = std::function<DWORD(const std::wstring& object, SE_OBJECT_TYPE type,
                                           SECURITY_INFORMATION parts)>;

// An empty observer ends the observing.
void SetChangeObserver(ChangeObserver observer);

// Called by SetNamedSecurityInfoW (and RegSetKeySecurity, with the key's
// path) right before it changes what the object it was named reads as
// (the objects below it that inherit the change go to the observer below).
// ERROR_SUCCESS when nobody observes.
DWORD NoteComingChange(const std::wstring& object, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts);

// Whether an observer is set: the caller may then skip working out whether
// a write changes anything.
bool ChangesObserved();

// The objects below a written directory that take on what it now hands
// down are changed too, by the layer rather than by the caller: a host that
// records what a job changes is told of each of them, by name, right
// before the propagation changes what it reads as. `parts` names what the
// object's record needs (the SACL when the propagation changes it and the
// caller may read it). A result other than ERROR_SUCCESS leaves that object
// (and what lies below it) unchanged, and the write reports it as a failed
// descendant.
void SetInheritedChangeObserver(ChangeObserver observer);
DWORD NoteComingInheritedChange(const std::wstring& object, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts);
bool InheritedChangesObserved();

}  // namespace winapi::machine
