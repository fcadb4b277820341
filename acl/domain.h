// An entry of the job's domain list: accounts are matched to it by the
// domain name their SID reports, never by resolving the domain.
#pragma once

#include <string>

#include "winapi/win32.h"

class CDomain {
public:
    CDomain() = default;
    CDomain(std::wstring name, DWORD flags, DWORD active, DWORD extra)
        : m_name(std::move(name)), m_flags(flags), m_active(active), m_extra(extra) {}
    virtual ~CDomain() = default;
    CDomain(const CDomain&) = delete;
    CDomain& operator=(const CDomain&) = delete;

    std::wstring m_name;
    DWORD m_flags = 0;
    DWORD m_active = 0;
    DWORD m_extra = 0;
    CDomain* m_newDomain = nullptr;  // not owned: the job deletes it
};
