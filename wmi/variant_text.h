// The text of a WMI property value as a user expects to read it: strings as
// they are, numbers in decimal, booleans as True or False, arrays as their
// items joined by ",".
#pragma once

#include <optional>
#include <string>

#include "winapi/win32.h"

namespace tavrik {

// nullopt for VT_EMPTY, VT_NULL and types that have no such text. WMI hands
// out unsigned 32-bit properties as VT_I4; given their CIM type, such values
// read as the unsigned numbers they are (2147483648, not -2147483648).
std::optional<std::wstring> VariantText(const VARIANT& value, CIMTYPE type = CIM_EMPTY);

}  // namespace tavrik
