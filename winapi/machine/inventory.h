// Read-only views of what a computer of the simulated network holds, for
// reports such as the WMI classes: the computer itself, its accounts,
// services, shares, printers and drives.
#pragma once

#include <string>
#include <vector>

#include "winapi/types.h"

namespace winapi::machine {

struct ComputerInfo {
    std::wstring name;
    std::wstring domain;  // flat name, or the workgroup "WORKGROUP" when none
    DWORD role = 0;
    DWORD majorVersion = 10, minorVersion = 0, buildNumber = 0;
};
struct AccountInfo {
    std::wstring domain;  // computer name for local accounts, domain flat name, "BUILTIN", "NT AUTHORITY"
    std::wstring name;
    std::wstring sid;     // SID string
    bool isGroup = false; // groups and aliases
    bool local = false;   // belongs to the computer itself
};
struct NamedObjectInfo {
    std::wstring name;
    std::string directory;  // shares: target directory, may be empty
};
struct DriveInfo {
    wchar_t letter = L'C';
    std::string directory;  // local drive: host directory; network drive: empty
    std::wstring remote;    // network drive: \\server\share
};

// All of these describe the local computer.
ComputerInfo LocalComputerInfo();
std::vector<AccountInfo> Accounts();  // its local accounts and those of its domain
std::vector<NamedObjectInfo> Services();
std::vector<NamedObjectInfo> Shares();
std::vector<NamedObjectInfo> Printers();
std::vector<DriveInfo> Drives();

}  // namespace winapi::machine
