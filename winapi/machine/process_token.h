// The calling process's view of its token: read from the database once,
// then privileges are enabled and disabled in memory only, as
// AdjustTokenPrivileges changes only the process that calls it.
#pragma once

#include <string>
#include <vector>

#include "winapi/security/access_check.h"
#include "winapi/security/bytes.h"

namespace winapi::machine {

// The token, loaded on first use.
AccessToken& ProcessToken();
// The primary group new objects get (the first group of the token).
Bytes ProcessPrimaryGroup();
// Drops the loaded token; the next use reads the database again.
void ForgetProcessToken();

// The Windows privileges and their LUIDs (LowPart; HighPart is 0).
struct PrivilegeName {
    const wchar_t* name;
    DWORD luid;
};
const std::vector<PrivilegeName>& KnownPrivileges();
// The canonical spelling of a privilege name given in any case, or empty.
std::wstring CanonicalPrivilegeName(const std::wstring& name);

// Makes the default token of the process that of `uid`/`gid` instead of the
// real caller's, until the returned scope ends: lets tests see what an
// unprivileged Unix user sees while running as root.
class ScopedCallerIdentity {
public:
    ScopedCallerIdentity(unsigned uid, unsigned gid);
    ~ScopedCallerIdentity();
    ScopedCallerIdentity(const ScopedCallerIdentity&) = delete;
    ScopedCallerIdentity& operator=(const ScopedCallerIdentity&) = delete;

private:
    bool hadOverride_;
    unsigned previousUid_, previousGid_;
};

}  // namespace winapi::machine
