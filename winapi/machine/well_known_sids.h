// The SIDs every Windows computer knows by name, with the domain and
// SID_NAME_USE that LookupAccountSidW reports for them.
#pragma once

#include <vector>

#include "winapi/security.h"

namespace winapi::machine {

struct WellKnownSid {
    const wchar_t* sid;
    const wchar_t* domain;
    const wchar_t* name;
    SID_NAME_USE use;
};

const std::vector<WellKnownSid>& WellKnownSids();

}  // namespace winapi::machine
