// Reading and writing object descriptors as SDDL through the Windows layer,
// the way test set-up and checks look at objects from outside a job.
#pragma once

#include <string>

#include "winapi/win32.h"

namespace tavrik::test {

// The parts `info` of an object's descriptor as SDDL; "<unreadable>" or
// "<unconvertible>" on failure, which no real descriptor text can equal.
std::wstring ReadSddl(const std::wstring& name, DWORD type, SECURITY_INFORMATION info);

// Writes the parts `info` of `sddl` to the object, protected where the text
// says so; returns the Win32 result.
DWORD WriteSddl(const std::wstring& name, DWORD type, const std::wstring& sddl, SECURITY_INFORMATION info);

}  // namespace tavrik::test
