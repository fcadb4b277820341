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

// Called by SetNamedSecurityInfoW right before it changes what the object
// it was named reads as (never for the objects below it that inherit the
// change). ERROR_SUCCESS when nobody observes.
DWORD NoteComingChange(const std::wstring& object, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts);

// Whether an observer is set: the caller may then skip working out whether
// a write changes anything.
bool ChangesObserved();

}  // namespace winapi::machine
