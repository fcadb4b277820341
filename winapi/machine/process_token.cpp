#include "winapi/machine/process_token.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <sstream>

#include "winapi/machine/account_directory.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/sid_text.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

struct TokenState {
    std::optional<AccessToken> token;
    // A read-only copy that the file calls share while the token does not
    // change, so a call neither copies the token nor its privilege names.
    std::shared_ptr<const AccessToken> shared;
    bool identityOverridden = false;
    unsigned uid = 0, gid = 0;
};

TokenState& State() {
    static TokenState state;
    return state;
}

Bytes Sid(const std::wstring& text) { return *ParseSidString(text); }

// What a process gets when nobody has set a token: Linux root acts as an
// elevated administrator, anyone else as an ordinary interactive user.
AccessToken DefaultToken(unsigned uid, unsigned gid) {
    AccessToken token;
    token.user = Sid(L"S-1-22-1-" + std::to_wstring(uid));
    token.groups.push_back(Sid(L"S-1-22-2-" + std::to_wstring(gid)));
    if (uid == 0) token.groups.push_back(Sid(L"S-1-5-32-544"));
    for (const wchar_t* group : {L"S-1-1-0", L"S-1-5-32-545", L"S-1-5-11", L"S-1-5-4", L"S-1-2-0"})
        token.groups.push_back(Sid(group));
    if (uid == 0) {
        for (const auto& privilege : KnownPrivileges()) token.heldPrivileges.insert(privilege.name);
    } else {
        token.heldPrivileges.insert(SE_CHANGE_NOTIFY_NAME);
    }
    return token;
}

std::vector<std::wstring> SplitWords(const std::wstring& text, wchar_t separator) {
    std::vector<std::wstring> words;
    std::wstring word;
    for (wchar_t c : text) {
        if (c == separator) {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

AccessToken LoadToken() {
    auto& state = State();
    AccessToken token;
    bool stored = false;
    {
        std::lock_guard guard(MachineLock());
        Query q = CurrentStore().Prepare("SELECT user_sid, groups, privileges FROM token WHERE id = 1");
        if (q.Step()) {
            stored = true;
            auto user = ParseSidString(q.WText(0));
            if (user) token.user = *user;
            for (const auto& group : SplitWords(q.WText(1), L' '))
                if (auto sid = ParseSidString(group)) token.groups.push_back(*sid);
            for (const auto& privilege : SplitWords(q.WText(2), L','))
                if (auto name = CanonicalPrivilegeName(privilege); !name.empty()) token.heldPrivileges.insert(name);
        }
    }
    if (!stored) {
        unsigned uid = state.identityOverridden ? state.uid : static_cast<unsigned>(geteuid());
        unsigned gid = state.identityOverridden ? state.gid : static_cast<unsigned>(getegid());
        token = DefaultToken(uid, gid);
    }
    // Windows enables change-notify by default; everything else is off
    // until the process asks for it.
    if (token.heldPrivileges.count(SE_CHANGE_NOTIFY_NAME)) token.enabledPrivileges.insert(SE_CHANGE_NOTIFY_NAME);
    return token;
}

}  // namespace

namespace {

AccessToken& LoadedToken() {
    auto& state = State();
    if (!state.token) state.token = LoadToken();
    return *state.token;
}

}  // namespace

AccessToken& ProcessToken() {
    std::lock_guard guard(MachineLock());
    // The caller may change the token through the reference: the shared
    // copy is made again at its next use.
    State().shared.reset();
    return LoadedToken();
}

Bytes ProcessPrimaryGroup() {
    std::lock_guard guard(MachineLock());
    const AccessToken& token = LoadedToken();
    return token.groups.empty() ? token.user : token.groups.front();
}

void ForgetProcessToken() {
    std::lock_guard guard(MachineLock());
    State().token.reset();
    State().shared.reset();
}

AccessToken CurrentToken() {
    std::lock_guard guard(MachineLock());
    return LoadedToken();
}

std::shared_ptr<const AccessToken> SharedToken() {
    std::lock_guard guard(MachineLock());
    auto& state = State();
    if (!state.shared) state.shared = std::make_shared<const AccessToken>(LoadedToken());
    return state.shared;
}

const std::vector<PrivilegeName>& KnownPrivileges() {
    static const std::vector<PrivilegeName> privileges = {
        {L"SeCreateTokenPrivilege", 2},
        {L"SeAssignPrimaryTokenPrivilege", 3},
        {L"SeLockMemoryPrivilege", 4},
        {L"SeIncreaseQuotaPrivilege", 5},
        {L"SeMachineAccountPrivilege", 6},
        {L"SeTcbPrivilege", 7},
        {L"SeSecurityPrivilege", 8},
        {L"SeTakeOwnershipPrivilege", 9},
        {L"SeLoadDriverPrivilege", 10},
        {L"SeSystemProfilePrivilege", 11},
        {L"SeSystemtimePrivilege", 12},
        {L"SeProfileSingleProcessPrivilege", 13},
        {L"SeIncreaseBasePriorityPrivilege", 14},
        {L"SeCreatePagefilePrivilege", 15},
        {L"SeCreatePermanentPrivilege", 16},
        {L"SeBackupPrivilege", 17},
        {L"SeRestorePrivilege", 18},
        {L"SeShutdownPrivilege", 19},
        {L"SeDebugPrivilege", 20},
        {L"SeAuditPrivilege", 21},
        {L"SeSystemEnvironmentPrivilege", 22},
        {L"SeChangeNotifyPrivilege", 23},
        {L"SeRemoteShutdownPrivilege", 24},
        {L"SeUndockPrivilege", 25},
        {L"SeSyncAgentPrivilege", 26},
        {L"SeEnableDelegationPrivilege", 27},
        {L"SeManageVolumePrivilege", 28},
        {L"SeImpersonatePrivilege", 29},
        {L"SeCreateGlobalPrivilege", 30},
        {L"SeTrustedCredManAccessPrivilege", 31},
        {L"SeRelabelPrivilege", 32},
        {L"SeIncreaseWorkingSetPrivilege", 33},
        {L"SeTimeZonePrivilege", 34},
        {L"SeCreateSymbolicLinkPrivilege", 35},
        {L"SeDelegateSessionUserImpersonatePrivilege", 36},
    };
    return privileges;
}

std::wstring CanonicalPrivilegeName(const std::wstring& name) {
    for (const auto& privilege : KnownPrivileges())
        if (EqualNoCase(name, privilege.name)) return privilege.name;
    return {};
}

ScopedCallerIdentity::ScopedCallerIdentity(unsigned uid, unsigned gid) {
    std::lock_guard guard(MachineLock());
    auto& state = State();
    hadOverride_ = state.identityOverridden;
    previousUid_ = state.uid;
    previousGid_ = state.gid;
    state.identityOverridden = true;
    state.uid = uid;
    state.gid = gid;
    state.token.reset();
}

ScopedCallerIdentity::~ScopedCallerIdentity() {
    std::lock_guard guard(MachineLock());
    auto& state = State();
    state.identityOverridden = hadOverride_;
    state.uid = previousUid_;
    state.gid = previousGid_;
    state.token.reset();
}

void SetToken(const TokenSpec& request) {
    if (request.user.empty()) throw std::runtime_error("a token needs a user");
    std::lock_guard guard(MachineLock());
    std::wstring user = FormatSid(ResolveSidOrName(request.user));
    std::wstring groups;
    // Every Windows logon carries Everyone; a token without it would
    // surprise more than it would test.
    std::vector<std::wstring> groupSids;
    for (const auto& group : request.groups) {
        std::wstring sid = FormatSid(ResolveSidOrName(group));
        if (std::find(groupSids.begin(), groupSids.end(), sid) == groupSids.end()) groupSids.push_back(sid);
    }
    if (std::find(groupSids.begin(), groupSids.end(), L"S-1-1-0") == groupSids.end()) groupSids.push_back(L"S-1-1-0");
    for (const auto& sid : groupSids) groups += (groups.empty() ? L"" : L" ") + sid;
    std::wstring privileges;
    for (const auto& privilege : request.privileges) {
        std::wstring name = CanonicalPrivilegeName(privilege);
        if (name.empty()) throw std::runtime_error("no privilege named " + ToUtf8(privilege));
        privileges += (privileges.empty() ? L"" : L",") + name;
    }
    Transaction transaction(CurrentStore());
    CurrentStore()
        .Prepare("INSERT OR REPLACE INTO token (id, user_sid, groups, privileges) VALUES (1, ?1, ?2, ?3)")
        .Bind(1, user)
        .Bind(2, groups)
        .Bind(3, privileges)
        .Run();
    transaction.Commit();
    ForgetProcessToken();
}

void ResetToken() {
    std::lock_guard guard(MachineLock());
    Transaction transaction(CurrentStore());
    CurrentStore().Prepare("DELETE FROM token").Run();
    transaction.Commit();
    ForgetProcessToken();
}

}  // namespace winapi::machine
