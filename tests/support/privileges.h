// Switching privileges on in the process token for test set-up. Jobs switch
// theirs off when they end, so set-up that acts as an administrator's tool
// would asks for them again before each step.
#pragma once

#include <initializer_list>

#include "winapi/win32.h"

namespace tavrik::test {

// True only when the token holds the privilege and it is now on.
bool EnablePrivilege(const wchar_t* name);

// Switches on those of the named privileges the token holds; true when it
// holds them all.
bool EnablePrivileges(std::initializer_list<const wchar_t*> names);

}  // namespace tavrik::test
