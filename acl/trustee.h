// An account named by a job: the trustee of an ACE entry, the new owner or
// group, or an entry of the trustee list with its replacement trustee.
#pragma once

#include <string>

#include "winapi/win32.h"

class CTrustee {
public:
    CTrustee() = default;
    CTrustee(std::wstring name, BOOL isSid, DWORD flags, DWORD active, DWORD extra);
    virtual ~CTrustee();
    CTrustee(const CTrustee&) = delete;
    CTrustee& operator=(const CTrustee&) = delete;

    // Turns the name (account, DOMAIN\account, COMPUTER\account or SID
    // string) into m_sid. An empty name resolves to no SID.
    DWORD Resolve();

    std::wstring m_name;
    BOOL m_isSid = FALSE;
    PSID m_sid = nullptr;  // LocalAlloc block owned by the trustee
    DWORD m_flags = 0;
    DWORD m_active = 0;
    DWORD m_extra = 0;
    CTrustee* m_newTrustee = nullptr;  // not owned: the job deletes it
};

// A LocalAlloc copy of `sid`, or null when `sid` is null or copying fails.
PSID DuplicateSid(PSID sid);
