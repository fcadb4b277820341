// LookupAccountNameW and LookupAccountSidW over the simulated network.
#include <cstring>
#include <string>

#include "winapi/machine/account_directory.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/sid_text.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

using namespace winapi::machine;

namespace {

// The computer a lookup runs on; account lookups reach other computers
// over RPC, so an unknown or unreachable one is a failed RPC.
DWORD LookupComputer(LPCWSTR systemName, ComputerRecord* computer) {
    auto record = FindComputerRecord(systemName == nullptr ? std::wstring_view() : std::wstring_view(systemName));
    if (!record || !record->reachable) return RPC_S_SERVER_UNAVAILABLE;
    *computer = *record;
    return ERROR_SUCCESS;
}

// Windows wants room for the terminator as well.
bool FitsText(const std::wstring& text, LPWSTR buffer, DWORD capacity) {
    return buffer != nullptr && capacity > text.size();
}

}  // namespace

BOOL LookupAccountNameW(LPCWSTR lpSystemName, LPCWSTR lpAccountName, PSID Sid, LPDWORD cbSid,
                        LPWSTR ReferencedDomainName, LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    if (lpAccountName == nullptr || cbSid == nullptr || cchReferencedDomainName == nullptr || peUse == nullptr)
        return BoolResult(ERROR_INVALID_PARAMETER);
    return BoolResult(GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("LookupAccountNameW", lpAccountName)) return fault;
        ComputerRecord computer;
        if (DWORD error = LookupComputer(lpSystemName, &computer)) return error;
        auto account = ResolveAccountName(computer, lpAccountName);
        if (!account) return ERROR_NONE_MAPPED;
        DWORD sidSize = static_cast<DWORD>(account->sid.size());
        bool sidFits = Sid != nullptr && *cbSid >= sidSize;
        bool domainFits = FitsText(account->domain, ReferencedDomainName, *cchReferencedDomainName);
        if (!sidFits || !domainFits) {
            *cbSid = sidSize;
            *cchReferencedDomainName = static_cast<DWORD>(account->domain.size() + 1);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::memcpy(Sid, account->sid.data(), sidSize);
        *cbSid = sidSize;
        std::wmemcpy(ReferencedDomainName, account->domain.c_str(), account->domain.size() + 1);
        *cchReferencedDomainName = static_cast<DWORD>(account->domain.size());
        *peUse = account->use;
        return ERROR_SUCCESS;
    }));
}

BOOL LookupAccountSidW(LPCWSTR lpSystemName, PSID Sid, LPWSTR Name, LPDWORD cchName, LPWSTR ReferencedDomainName,
                       LPDWORD cchReferencedDomainName, PSID_NAME_USE peUse) {
    if (Sid == nullptr || cchName == nullptr || cchReferencedDomainName == nullptr || peUse == nullptr)
        return BoolResult(ERROR_INVALID_PARAMETER);
    return BoolResult(GuardedCall([&]() -> DWORD {
        const BYTE* bytes = static_cast<const BYTE*>(Sid);
        // The header says how long the SID is; only those bytes are read.
        if (bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES) return ERROR_INVALID_SID;
        size_t length = 8 + 4 * static_cast<size_t>(bytes[1]);
        winapi::Bytes sid(bytes, bytes + length);
        if (DWORD fault = InjectedFailure("LookupAccountSidW", FormatSid(sid))) return fault;
        ComputerRecord computer;
        if (DWORD error = LookupComputer(lpSystemName, &computer)) return error;
        auto account = ResolveAccountSid(computer, sid);
        if (!account) return ERROR_NONE_MAPPED;
        bool nameFits = FitsText(account->name, Name, *cchName);
        bool domainFits = FitsText(account->domain, ReferencedDomainName, *cchReferencedDomainName);
        if (!nameFits || !domainFits) {
            *cchName = static_cast<DWORD>(account->name.size() + 1);
            *cchReferencedDomainName = static_cast<DWORD>(account->domain.size() + 1);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::wmemcpy(Name, account->name.c_str(), account->name.size() + 1);
        std::wmemcpy(ReferencedDomainName, account->domain.c_str(), account->domain.size() + 1);
        *cchName = static_cast<DWORD>(account->name.size());
        *cchReferencedDomainName = static_cast<DWORD>(account->domain.size());
        *peUse = account->use;
        return ERROR_SUCCESS;
    }));
}
