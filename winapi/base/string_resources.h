// The program's string resources on Linux: what a resource script's
// STRINGTABLE puts into a Windows program. The build generates a
// StringResourceTable from the script; LoadStringW reads it.
#pragma once

#include <initializer_list>
#include <string>

#include "winapi/types.h"

namespace winapi {

struct StringResource {
    UINT id;
    const wchar_t* text;
};

// Registers its strings for the life of the program (define it at namespace
// scope). A later registration of the same id replaces the earlier one.
class StringResourceTable {
public:
    StringResourceTable(std::initializer_list<StringResource> strings);
};

// The text registered under `id`, or null.
const std::wstring* FindStringResource(UINT id);

}  // namespace winapi
