// The text under which a SID appears in listings: account name, SID string
// or both, as the job's name form asks.
#include "engine/local_memory.h"
#include "engine/tavrik.h"

namespace {

bool SidString(PSID sid, std::wstring& text, DWORD& error) {
    LPWSTR raw = nullptr;
    if (!ConvertSidToStringSidW(sid, &raw)) {
        error = GetLastError();
        return false;
    }
    tavrik::LocalPtr<WCHAR> owned(raw);
    text = raw;
    return true;
}

}  // namespace

std::wstring CTavrik::SidToText(PSID sid) {
    std::wstring account;
    std::wstring sidString;
    if (m_listNameForm & 1) {
        const std::string key(static_cast<const char*>(sid), IsValidSid(sid) ? GetLengthSid(sid) : 0);
        auto known = key.empty() ? m_accountNames.end() : m_accountNames.find(key);
        if (known != m_accountNames.end()) {
            if (known->second.empty()) {
                if (!SidString(sid, sidString, m_lastOsError)) return std::wstring();
            } else {
                account = known->second;
            }
        } else {
            WCHAR name[1024] = {};
            WCHAR domain[1024] = {};
            DWORD nameSize = 1024, domainSize = 1024;
            SID_NAME_USE use = SidTypeUnknown;
            if (LookupAccountSidW(m_serverName.empty() ? nullptr : m_serverName.c_str(), sid, name, &nameSize, domain,
                                  &domainSize, &use)) {
                name[1023] = domain[1023] = L'\0';
                account = domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
            } else if (GetLastError() == ERROR_NONE_MAPPED) {
                if (!SidString(sid, sidString, m_lastOsError)) return std::wstring();
            } else {
                m_lastOsError = GetLastError();
                return std::wstring();
            }
            // Bounded: a tree may carry a distinct SID on every object.
            if (m_accountNames.size() >= 4096) m_accountNames.clear();
            // A name found, or none mapped (then the SID string is shown).
            if (!key.empty() && (!account.empty() || !sidString.empty())) m_accountNames.emplace(key, account);
        }
    }
    if ((m_listNameForm & 2) && sidString.empty()) {
        if (!SidString(sid, sidString, m_lastOsError)) return std::wstring();
    }
    if (account.empty()) return sidString;
    if (m_listNameForm == 3) return account + L"=" + sidString;
    return account;
}
