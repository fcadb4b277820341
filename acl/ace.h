// One access-control entry of a job, as the host gave it, with the access
// mask computed from its permission keywords at the start of each run.
#pragma once

#include <string>

#include "acl/trustee.h"
#include "winapi/win32.h"

class CACE {
public:
    CACE(CTrustee* trustee, std::wstring permissions, DWORD inheritance, BOOL inheritanceGiven, DWORD accessMode,
         DWORD aclType)
        : m_trustee(trustee),
          m_permissions(std::move(permissions)),
          m_inheritance(inheritance),
          m_inheritanceGiven(inheritanceGiven),
          m_accessMode(accessMode),
          m_aclType(aclType) {}
    virtual ~CACE() { delete m_trustee; }
    CACE(const CACE&) = delete;
    CACE& operator=(const CACE&) = delete;

    CTrustee* m_trustee;  // owned
    std::wstring m_permissions;
    DWORD m_inheritance;
    BOOL m_inheritanceGiven;
    DWORD m_accessMode;
    DWORD m_aclType;
    DWORD m_accessMask = 0;
};
