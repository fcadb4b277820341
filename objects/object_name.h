// Forms of object names.
#pragma once

#include <string>

namespace tavrik {

// The long-path form of a file name: "\\?\" names stay, "\\server\..."
// becomes "\\?\UNC\server\...", anything else gets "\\?\" in front.
std::wstring ToLongPath(const std::wstring& name);

// A long-path name in the ordinary form that the name of its computer (or
// its drive letter) can be read from: "\\?\UNC\server\x" -> "\\server\x",
// "\\?\C:\x" -> "C:\x"; other names are returned unchanged.
std::wstring FromLongPath(const std::wstring& name);

// The computer part of a UNC name ("\\server\share\x" -> "server"); empty
// for any other name and for a name without a backslash after the server.
std::wstring ServerOfUncName(const std::wstring& name);

}  // namespace tavrik
