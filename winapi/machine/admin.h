// Administration of the simulated network: which database is in use, and
// the computers, domains, accounts, drives, registry keys, services,
// printers, shares, token and injected faults it holds. Used by tests, by
// `tavrik machine ...` and by hosts that prepare a computer.
//
// Failures throw std::runtime_error with a message for people.
#pragma once

#include <string>
#include <vector>

#include "winapi/types.h"

namespace winapi::machine {

// ---- the database ---------------------------------------------------------------
// Opens the network stored in `databasePath` and makes it the process's
// current one. An empty path means $TAVRIK_MACHINE, else the per-user
// default ($XDG_DATA_HOME/tavrik/machine.db, else ~/.local/share/tavrik/...),
// which is created with a default computer on first use. A named file that
// does not exist is created with an empty network.
void OpenMachine(const std::string& databasePath = {});
void CloseMachine();
std::string CurrentMachinePath();  // opens the default one if none is open

// Fills an empty network with a plausible Windows computer named `name`,
// made the local computer: machine SID, BUILTIN and well-known accounts, an
// Administrator, a Guest and one user, drive C: mapped to `driveC` (created
// if missing), registry roots with typical keys, services, a printer and a
// share, all with descriptors typical of Windows.
void InitializeDefaultComputer(const std::wstring& name, const std::string& driveC);

// Adds to the default computer `local` a small network to try things on: a
// data tree C:\Data (Projects, Reports, Private, Public; files are created
// only where missing), the key HKLM\SOFTWARE\Vendor, the domains OLDDOM and
// NEWDOM (controllers DC01 and DC02) with the same-named accounts jane, john
// and Staff, and the member server SRV02 sharing `serverFolder`/data as
// `data`. Does nothing when `local` bears one of those computers' names.
void AddSampleNetwork(const std::wstring& local, const std::string& driveC, const std::string& serverFolder);

// ---- computers and domains ---------------------------------------------------------
struct ComputerSpec {
    std::wstring name;
    DWORD role = 0;             // DSROLE_MACHINE_ROLE: 0 standalone workstation ... 5 primary DC
    std::wstring domain;        // flat name of the domain it belongs to, or empty
    bool local = false;         // the computer the process runs on (exactly one)
    bool reachable = true;
    DWORD majorVersion = 10, minorVersion = 0, platformId = 2;
    std::wstring machineSid;    // "S-1-5-21-a-b-c"; empty: generated
};
void AddComputer(const ComputerSpec& request);
void SetComputerReachable(const std::wstring& computer, bool reachable);
void SetComputerVersion(const std::wstring& computer, DWORD major, DWORD minor, DWORD platformId);

struct DomainSpec {
    std::wstring flatName;      // e.g. OLDDOM
    std::wstring dnsName;       // e.g. olddom.example; empty: flat name lower-cased
    std::wstring controller;    // computer acting as its domain controller
    std::wstring domainSid;     // "S-1-5-21-a-b-c"; empty: generated
};
void AddDomain(const DomainSpec& request);

// ---- accounts ------------------------------------------------------------------------
enum class AccountKind { User, Group, Alias };
// Adds an account to a computer (local account, under its machine SID) or
// to a domain (under the domain SID), named by `owner`. `rid` 0 takes the
// next free one (from 1000). Returns the new account's SID string.
std::wstring AddAccount(const std::wstring& owner, const std::wstring& name, AccountKind kind, DWORD rid = 0);
void RemoveAccount(const std::wstring& owner, const std::wstring& name);  // its SID becomes orphaned
// Group membership (AddGroupMember) is in group_members.h.

// ---- drives ------------------------------------------------------------------------
void MapDrive(const std::wstring& computer, wchar_t letter, const std::string& directory);
void MapNetworkDrive(const std::wstring& computer, wchar_t letter, const std::wstring& remote);  // \\server\share

// ---- registry keys, services, printers, shares -----------------------------------------
// `path` like L"MACHINE\\SOFTWARE\\Vendor"; missing parents are created.
// Empty `sddl`: the key inherits from its parent as a new key does.
void AddKey(const std::wstring& computer, const std::wstring& path, const std::wstring& sddl = {});
void AddService(const std::wstring& computer, const std::wstring& name, const std::wstring& sddl = {});
void AddPrinter(const std::wstring& computer, const std::wstring& name, const std::wstring& sddl = {});
// `directory` empty: a share with no file-system target.
void AddShare(const std::wstring& computer, const std::wstring& name, const std::string& directory,
              const std::wstring& sddl = {});

// ---- the calling process's token ----------------------------------------------------------
struct TokenSpec {
    std::wstring user;                     // account name or SID string
    std::vector<std::wstring> groups;      // account names or SID strings
    std::vector<std::wstring> privileges;  // held (not yet enabled), e.g. L"SeBackupPrivilege"
};
void SetToken(const TokenSpec& request);
// Back to the default: Linux root is an administrator holding every
// privilege; any other Unix user is S-1-22-1-uid with SeChangeNotifyPrivilege.
void ResetToken();

// ---- a real Samba server on this host ------------------------------------------------
// Records the smb.conf of the Samba server this computer is: drives and
// shares of the local computer that lie in one of its acl_xattr shares then
// keep descriptors as smbd does (POSIX ACLs, ownership, NTACL version 4).
// An empty path forgets it. Throws when the file cannot be read.
void SetSambaConfiguration(const std::string& configPath);
// Fills an empty network with the Samba server itself as the local
// computer: its NetBIOS name, its machine SID (winbindd's, else a new one),
// a share of the same name and path for every file share of smb.conf, and
// the configuration recorded as above. Returns the computer's name.
std::wstring InitializeFromSamba(const std::string& configPath);
// Why shares of smb.conf were left out (a path that depends on the
// connecting client), one sentence each, for telling the administrator.
std::vector<std::string> SambaConfigurationNotes(const std::string& configPath);

// ---- fault injection -------------------------------------------------------------------
// Makes the Win32 call named `call` (e.g. "SetNamedSecurityInfoW") fail with
// `error`: every time (count < 0) or the next `count` times, for every object
// or only for the one named `object` (compared as the call receives it,
// without regard to case). Faults are stored with the network, so a
// `tavrik` process started by a test sees them.
void InjectFault(const std::string& call, DWORD error, int count = -1, const std::wstring& object = {});
void ClearFaults();
// While set, every extended-attribute write fails as on a full disk.
void SetDiskFull(bool full);

}  // namespace winapi::machine
