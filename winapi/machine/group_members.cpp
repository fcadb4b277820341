#include "winapi/machine/group_members.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <stdexcept>

#include "winapi/machine/account_directory.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/sid_text.h"
#include "winapi/machine/store.h"

namespace winapi::machine {
namespace {

bool Holds(const std::vector<Bytes>& sids, const Bytes& sid) {
    return std::find(sids.begin(), sids.end(), sid) != sids.end();
}

void AddOnce(std::vector<Bytes>& sids, const Bytes& sid) {
    if (!Holds(sids, sid)) sids.push_back(sid);
}

Bytes Sid(const wchar_t* text) { return *ParseSidString(text); }

// "S-1-22-1-<uid>": a Unix user; its uid, or -1.
long long UnixUid(const std::wstring& text) {
    static const std::wstring prefix = L"S-1-22-1-";
    if (text.rfind(prefix, 0) != 0 || text.size() == prefix.size()) return -1;
    const std::wstring digits = text.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) return -1;
    return digits.size() > 10 ? -1 : std::stoll(digits);
}

// The Unix groups of the user `uid` (its primary group first).
std::vector<Bytes> UnixGroups(long long uid) {
    std::vector<Bytes> groups;
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return groups;
    int count = 64;
    std::vector<gid_t> gids(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, found->pw_gid, gids.data(), &count) < 0) {
        gids.resize(static_cast<size_t>(count));
        if (getgrouplist(found->pw_name, found->pw_gid, gids.data(), &count) < 0) count = 0;
    }
    AddOnce(groups, *ParseSidString(L"S-1-22-2-" + std::to_wstring(found->pw_gid)));
    for (int i = 0; i < count; ++i)
        AddOnce(groups, *ParseSidString(L"S-1-22-2-" + std::to_wstring(gids[static_cast<size_t>(i)])));
    return groups;
}

}  // namespace

void AddGroupMember(const std::wstring& group, const std::wstring& member) {
    const Bytes groupSid = ResolveSidOrName(group);
    const Bytes memberSid = ResolveSidOrName(member);
    if (groupSid == memberSid) throw std::runtime_error("a group cannot be a member of itself");
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(
        "INSERT OR IGNORE INTO memberships (group_sid, member_sid) VALUES (?1, ?2)");
    q.Bind(1, FormatSid(groupSid)).Bind(2, FormatSid(memberSid));
    q.Run();
}

std::vector<Bytes> GroupsOf(const Bytes& sid) {
    std::vector<Bytes> groups;
    std::vector<Bytes> pending{sid};
    std::lock_guard guard(MachineLock());
    // Breadth first over "member of": nested groups count, and a loop of
    // groups that hold each other ends, since each group is taken once.
    while (!pending.empty()) {
        const Bytes member = pending.back();
        pending.pop_back();
        Query q = CurrentStore().Prepare("SELECT group_sid FROM memberships WHERE member_sid = ?1");
        q.Bind(1, FormatSid(member));
        while (q.Step()) {
            auto group = ParseSidString(q.WText(0));
            if (!group || *group == sid || Holds(groups, *group)) continue;
            groups.push_back(*group);
            pending.push_back(*group);
        }
    }
    return groups;
}

AccessToken AccountToken(const Bytes& sid) {
    AccessToken token;
    token.user = sid;
    const std::wstring text = FormatSid(sid);
    const long long uid = UnixUid(text);
    if (uid >= 0) {
        for (const Bytes& group : UnixGroups(uid)) AddOnce(token.groups, group);
        if (uid == 0) AddOnce(token.groups, Sid(L"S-1-5-32-544"));
    }
    // The local Administrator of a computer or a domain (RID 500).
    if (text.rfind(L"S-1-5-21-", 0) == 0 && text.size() > 4 && text.compare(text.size() - 4, 4, L"-500") == 0)
        AddOnce(token.groups, Sid(L"S-1-5-32-544"));
    for (const Bytes& group : GroupsOf(sid)) AddOnce(token.groups, group);
    for (const wchar_t* everyone : {L"S-1-1-0", L"S-1-5-11", L"S-1-5-32-545"}) {
        const Bytes group = Sid(everyone);
        // A group is not a member of itself.
        if (group != sid) AddOnce(token.groups, group);
    }
    // Groups the memberships give the account through those it is in as a
    // signed-in account (BUILTIN\Users inside another group, say).
    for (size_t i = 0; i < token.groups.size(); ++i)
        for (const Bytes& group : GroupsOf(token.groups[i]))
            if (group != sid) AddOnce(token.groups, group);
    return token;
}

}  // namespace winapi::machine
