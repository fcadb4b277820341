// Descriptors the simulated computer writes itself: from SDDL text, and the
// typical ones Windows gives its keys, services, printers and shares.
#pragma once

#include <string>

#include "winapi/security/bytes.h"

namespace winapi::machine {

// Self-relative descriptor of `sddl`; runtime_error naming `what` when
// the text is not a valid descriptor.
Bytes DescriptorFromSddl(const std::wstring& sddl, const std::string& what);

// Typical Windows descriptors for objects added without one.
extern const wchar_t* const kRegistryRootSddl;
extern const wchar_t* const kServiceSddl;
extern const wchar_t* const kPrinterSddl;
extern const wchar_t* const kShareSddl;

}  // namespace winapi::machine
