// Trustees: resolving a name or SID string to a SID.
#include "acl/trustee.h"

#include <vector>

#include "engine/tavrik.h"
#include "engine/text.h"

namespace {

// BUILTIN and NT AUTHORITY belong to every computer: asking the network for
// a controller or a server of that name would only wait for a timeout.
bool IsLocalAuthority(const std::wstring& domainPart) {
    return tavrik::EqualsNoCase(domainPart, L"BUILTIN") || tavrik::EqualsNoCase(domainPart, L"NT AUTHORITY");
}

bool IsThisComputer(const std::wstring& domainPart) {
    WCHAR computer[MAX_COMPUTERNAME_LENGTH + 2] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(computer, &size) && tavrik::EqualsNoCase(domainPart, computer);
}

// The domain a member or a controller belongs to (its own name stands for
// that domain's accounts too); empty for a standalone computer.
std::wstring PrimaryDomainOfThisComputer() {
    std::wstring domain;
    PBYTE buffer = nullptr;
    if (DsRoleGetPrimaryDomainInformation(nullptr, DsRolePrimaryDomainInfoBasic, &buffer) == ERROR_SUCCESS && buffer) {
        auto* info = reinterpret_cast<PDSROLE_PRIMARY_DOMAIN_INFO_BASIC>(buffer);
        const bool joined = info->MachineRole == DsRole_RoleMemberWorkstation ||
                            info->MachineRole == DsRole_RoleMemberServer ||
                            info->MachineRole == DsRole_RoleBackupDomainController ||
                            info->MachineRole == DsRole_RolePrimaryDomainController;
        if (joined && info->DomainNameFlat) domain = info->DomainNameFlat;
    }
    if (buffer) DsRoleFreeMemory(buffer);
    return domain;
}

}  // namespace

CTrustee::CTrustee(std::wstring name, BOOL isSid, DWORD flags, DWORD active, DWORD extra)
    : m_name(std::move(name)), m_isSid(isSid), m_flags(flags), m_active(active), m_extra(extra) {}

CTrustee::~CTrustee() {
    if (m_sid) LocalFree(m_sid);
}

PSID DuplicateSid(PSID sid) {
    if (!sid || !IsValidSid(sid)) return nullptr;
    const DWORD length = GetLengthSid(sid);
    PSID copy = LocalAlloc(LMEM_ZEROINIT, length);
    if (!copy) return nullptr;
    if (!CopySid(length, copy, sid)) {
        LocalFree(copy);
        return nullptr;
    }
    return copy;
}

DWORD CTrustee::Resolve() {
    if (m_name.empty()) return RTN_OK;
    if (m_sid) {
        LocalFree(m_sid);
        m_sid = nullptr;
    }

    // The lookups would stop at an embedded NUL and find another account.
    if (m_name.find(L'\0') != std::wstring::npos) return RTN_ERR_RESOLVE_TRUSTEE;

    if (m_isSid) {
        PSID sid = nullptr;
        if (!ConvertStringSidToSidW(m_name.c_str(), &sid)) return RTN_ERR_RESOLVE_TRUSTEE;
        m_sid = sid;
        return RTN_OK;
    }

    std::wstring domainPart;
    std::wstring accountPart = m_name;
    if (const size_t backslash = m_name.find(L'\\'); backslash != std::wstring::npos) {
        domainPart = m_name.substr(0, backslash);
        accountPart = m_name.substr(backslash + 1);
    }

    std::wstring lookupComputer = domainPart;
    std::wstring expectedDomain;
    bool checkDomain = false;
    std::wstring alsoExpected;
    bool local = false;
    if (!domainPart.empty() && IsLocalAuthority(domainPart)) {
        lookupComputer.clear();
        expectedDomain = domainPart;
        checkDomain = true;
        local = true;
    } else if (!domainPart.empty() && IsThisComputer(domainPart)) {
        // The computer's own name: its local accounts, or on a member or a
        // controller those of its domain, which the local lookup reports
        // under the domain's name. Anything else it finds is refused.
        lookupComputer.clear();
        expectedDomain = domainPart;
        alsoExpected = PrimaryDomainOfThisComputer();
        checkDomain = true;
        local = true;
    } else if (!domainPart.empty()) {
        PDOMAIN_CONTROLLER_INFOW controller = nullptr;
        if (DsGetDcNameW(nullptr, domainPart.c_str(), nullptr, nullptr, DS_RETURN_FLAT_NAME, &controller) ==
                ERROR_SUCCESS &&
            controller) {
            lookupComputer = controller->DomainControllerName ? controller->DomainControllerName : L"";
            if (lookupComputer.rfind(L"\\", 0) == 0) lookupComputer.erase(0, 2);
            expectedDomain = controller->DomainName ? controller->DomainName : L"";
            checkDomain = true;
            NetApiBufferFree(controller);
        } else {
            if (controller) NetApiBufferFree(controller);
            PBYTE buffer = nullptr;
            const DWORD role =
                DsRoleGetPrimaryDomainInformation(domainPart.c_str(), DsRolePrimaryDomainInfoBasic, &buffer);
            if (role == ERROR_SUCCESS && buffer) {
                auto* info = reinterpret_cast<PDSROLE_PRIMARY_DOMAIN_INFO_BASIC>(buffer);
                if (info->MachineRole == DsRole_RoleBackupDomainController ||
                    info->MachineRole == DsRole_RolePrimaryDomainController) {
                    expectedDomain = info->DomainNameFlat ? info->DomainNameFlat : L"";
                    checkDomain = true;
                }
            } else {
                // Neither a domain nor a computer: an authority such as
                // "NT SERVICE" or "Unix User" that only the local computer
                // knows. It is asked for the qualified name and must report
                // the account under that same authority.
                lookupComputer.clear();
                accountPart = m_name;
                expectedDomain = domainPart;
                checkDomain = true;
                local = true;
            }
            if (buffer) DsRoleFreeMemory(buffer);
        }
    }

    std::vector<BYTE> sid(4096);
    std::vector<WCHAR> domain(4096);
    DWORD sidSize = static_cast<DWORD>(sid.size());
    DWORD domainSize = static_cast<DWORD>(domain.size());
    SID_NAME_USE use = SidTypeUnknown;
    const BOOL found = LookupAccountNameW(lookupComputer.empty() ? nullptr : lookupComputer.c_str(),
                                          accountPart.c_str(), sid.data(), &sidSize, domain.data(), &domainSize, &use);
    if (found) {
        domain.back() = L'\0';
        const bool accepted = (lookupComputer.empty() && !local) || !checkDomain ||
                              tavrik::EqualsNoCase(domain.data(), expectedDomain) ||
                              (!alsoExpected.empty() && tavrik::EqualsNoCase(domain.data(), alsoExpected));
        if (accepted) m_sid = DuplicateSid(sid.data());
    }
    return m_sid ? RTN_OK : RTN_ERR_RESOLVE_TRUSTEE;
}
