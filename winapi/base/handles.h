// Kernel-style handles of the Windows layer: files, searches, tokens,
// network enumerations and registry keys are C++ objects behind opaque
// HANDLE values. CloseHandle and the type-specific close calls release them.
#pragma once

#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "winapi/security.h"

namespace winapi {

class SecuredHandle;

class HandleObject {
public:
    virtual ~HandleObject() = default;
    // This object as one carrying a security descriptor, or null: asked
    // for every object a walk reads, where a cast through the type tables
    // cost as much as the look-up itself.
    virtual SecuredHandle* Secured() { return nullptr; }
};

// A handle whose object carries a security descriptor (an open file or
// directory, an open registry key): what GetKernelObjectSecurity reads.
class SecuredHandle : public HandleObject {
public:
    SecuredHandle* Secured() final { return this; }

    // The whole self-relative descriptor, after checking that the access the
    // handle was opened with covers `info`. Returns a Win32 error code.
    virtual DWORD ReadSecurity(SECURITY_INFORMATION info, std::vector<BYTE>* sd) = 0;

    // During a dry run: the name and type the object was opened by, so that
    // reads through the handle see what the dry run planned for that name.
    std::wstring plannedName;
    DWORD plannedType = 0;
};

// Takes ownership and returns a new handle value (never null, never
// INVALID_HANDLE_VALUE, never one of the predefined registry roots).
HANDLE RegisterHandle(std::unique_ptr<HandleObject> object);

// The object behind `handle` if it is open and of type T, else null.
HandleObject* LookupHandle(HANDLE handle);
template <class T>
T* LookupHandleAs(HANDLE handle) {
    HandleObject* object = LookupHandle(handle);
    if constexpr (std::is_same_v<T, SecuredHandle>) return object != nullptr ? object->Secured() : nullptr;
    // Most handles are asked for as the very type they were made as: one
    // comparison of type identities, the full cast only for the others.
    if (object != nullptr && typeid(*object) == typeid(T)) return static_cast<T*>(object);
    return dynamic_cast<T*>(object);
}

// Releases the object; false when the handle is not open.
bool ReleaseHandle(HANDLE handle);

}  // namespace winapi
