// The English message texts of the system's message table and of the
// network-management module (netmsg.dll), without their final line break.
#pragma once

#include "winapi/types.h"

namespace winapi {

// Null when the table has no text for the code.
const wchar_t* SystemMessageText(DWORD code);
const wchar_t* NetworkMessageText(DWORD code);

}  // namespace winapi
