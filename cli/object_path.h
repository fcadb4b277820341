// Object names as people type them, turned into the names the engine takes.
#pragma once

#include <optional>
#include <string>

#include "winapi/win32.h"

namespace tavrik::cli {

// For files: a relative name becomes absolute. On Linux, a host path
// (absolute, or relative to the current directory) inside a drive's
// directory becomes that drive's form: /srv/share/data -> D:\data when D:
// maps /srv/share. Other object types are passed through.
// Returns nullopt and sets `error` when the name cannot be placed.
std::optional<std::wstring> ToObjectName(const std::string& typed, DWORD objectType, std::string& error);

// For a name that could not be placed as a file: which --type it wants (a
// service, printer or share of that name on the local computer), or a
// general hint for a bare name; empty when there is nothing to suggest.
std::string SuggestObjectType(const std::wstring& name);

}  // namespace tavrik::cli
