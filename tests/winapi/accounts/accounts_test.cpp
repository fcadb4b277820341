// Account lookups by name and by SID across the simulated network.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "support/machine_test_helpers.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/network_records.h"

namespace {

using namespace machine_test;
using winapi::machine::AccountKind;

struct NameLookup {
    BOOL ok = FALSE;
    DWORD error = 0;
    std::wstring sid;
    std::wstring domain;
    SID_NAME_USE use = SidTypeUnknown;
};

NameLookup LookupName(const wchar_t* system, const wchar_t* name) {
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidSize = sizeof sid;
    wchar_t domain[256] = {};
    DWORD domainSize = 256;
    NameLookup result;
    result.ok = LookupAccountNameW(system, name, sid, &sidSize, domain, &domainSize, &result.use);
    result.error = result.ok ? 0 : GetLastError();
    if (result.ok) {
        result.sid = SidText(sid);
        result.domain = domain;
        EXPECT_EQ(domainSize, result.domain.size()) << "on success the length excludes the terminator";
    }
    return result;
}

struct SidLookup {
    BOOL ok = FALSE;
    DWORD error = 0;
    std::wstring name;
    std::wstring domain;
    SID_NAME_USE use = SidTypeUnknown;
};

SidLookup LookupSid(const wchar_t* system, const wchar_t* sidText) {
    winapi::Bytes sid = SidBytes(sidText);
    wchar_t name[256] = {}, domain[256] = {};
    DWORD nameSize = 256, domainSize = 256;
    SidLookup result;
    result.ok = LookupAccountSidW(system, sid.data(), name, &nameSize, domain, &domainSize, &result.use);
    result.error = result.ok ? 0 : GetLastError();
    result.name = name;
    result.domain = domain;
    return result;
}

class AccountsTest : public ::testing::Test {
protected:
    tavrik::test::TempMachine machine{L"WS01"};
};

TEST_F(AccountsTest, WellKnownAndBuiltinNamesCarryWindowsDomainsAndTypes) {
    auto everyone = LookupName(nullptr, L"Everyone");
    ASSERT_TRUE(everyone.ok) << everyone.error;
    EXPECT_EQ(everyone.sid, L"S-1-1-0");
    EXPECT_EQ(everyone.domain, L"");
    EXPECT_EQ(everyone.use, SidTypeWellKnownGroup);

    auto system = LookupName(nullptr, L"nt authority\\system");
    ASSERT_TRUE(system.ok);
    EXPECT_EQ(system.sid, L"S-1-5-18");
    EXPECT_EQ(system.domain, L"NT AUTHORITY");

    auto admins = LookupName(nullptr, L"BUILTIN\\Administrators");
    ASSERT_TRUE(admins.ok);
    EXPECT_EQ(admins.sid, L"S-1-5-32-544");
    EXPECT_EQ(admins.domain, L"BUILTIN");
    EXPECT_EQ(admins.use, SidTypeAlias);

    auto byUsers = LookupSid(nullptr, L"S-1-5-32-545");
    ASSERT_TRUE(byUsers.ok);
    EXPECT_EQ(byUsers.name, L"Users");
    EXPECT_EQ(byUsers.domain, L"BUILTIN");
    auto creator = LookupSid(nullptr, L"S-1-3-0");
    ASSERT_TRUE(creator.ok);
    EXPECT_EQ(creator.name, L"CREATOR OWNER");
}

TEST_F(AccountsTest, LocalAccountsLiveUnderTheMachineSidAndRoundTrip) {
    std::wstring sid = winapi::machine::AddAccount(L"WS01", L"Bob", AccountKind::User);
    auto byName = LookupName(nullptr, L"bob");
    ASSERT_TRUE(byName.ok);
    EXPECT_EQ(byName.sid, sid);
    EXPECT_EQ(byName.domain, L"WS01");
    EXPECT_EQ(byName.use, SidTypeUser);

    auto qualified = LookupName(nullptr, L"ws01\\BOB");
    ASSERT_TRUE(qualified.ok);
    EXPECT_EQ(qualified.sid, sid);

    auto admin = LookupName(nullptr, L"Administrator");
    ASSERT_TRUE(admin.ok);
    EXPECT_EQ(admin.sid.substr(0, 9), L"S-1-5-21-");
    EXPECT_EQ(admin.sid.substr(admin.sid.size() - 4), L"-500");
    // Both live under the same machine SID.
    EXPECT_EQ(admin.sid.substr(0, admin.sid.rfind(L'-')), sid.substr(0, sid.rfind(L'-')));

    auto back = LookupSid(nullptr, sid.c_str());
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.name, L"Bob") << "the stored case comes back";
    EXPECT_EQ(back.domain, L"WS01");

    auto group = winapi::machine::AddAccount(L"WS01", L"Auditors", AccountKind::Alias);
    EXPECT_EQ(LookupSid(nullptr, group.c_str()).use, SidTypeAlias);
}

TEST_F(AccountsTest, AComputerNameIsItsOwnAccountDomain) {
    auto self = LookupName(nullptr, L"ws01");
    ASSERT_TRUE(self.ok);
    EXPECT_EQ(self.use, SidTypeDomain);
    EXPECT_EQ(self.domain, L"WS01");
    auto back = LookupSid(nullptr, self.sid.c_str());
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.name, L"WS01");
    EXPECT_EQ(back.use, SidTypeDomain);
}

TEST_F(AccountsTest, NewAccountsTakeTheNextFreeRidAndDuplicatesAreRefused) {
    std::wstring first = winapi::machine::AddAccount(L"WS01", L"one", AccountKind::User, 2000);
    std::wstring second = winapi::machine::AddAccount(L"WS01", L"two", AccountKind::User);
    EXPECT_EQ(first.substr(first.rfind(L'-') + 1), L"2000");
    EXPECT_EQ(second.substr(second.rfind(L'-') + 1), L"2001");
    EXPECT_THROW(winapi::machine::AddAccount(L"WS01", L"ONE", AccountKind::User), std::runtime_error);
    EXPECT_THROW(winapi::machine::AddAccount(L"WS01", L"three", AccountKind::User, 2000), std::runtime_error);
    EXPECT_THROW(winapi::machine::AddAccount(L"NOSUCH", L"x", AccountKind::User), std::runtime_error);
}

TEST_F(AccountsTest, RemovedAccountLeavesAnOrphanedSid) {
    std::wstring sid = winapi::machine::AddAccount(L"WS01", L"leaver", AccountKind::User);
    winapi::machine::RemoveAccount(L"WS01", L"leaver");
    auto lookup = LookupSid(nullptr, sid.c_str());
    EXPECT_FALSE(lookup.ok);
    EXPECT_EQ(lookup.error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(LookupName(nullptr, L"leaver").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_THROW(winapi::machine::RemoveAccount(L"WS01", L"leaver"), std::runtime_error);
}

TEST_F(AccountsTest, UnknownNamesAndSidsAreNotMapped) {
    EXPECT_EQ(LookupName(nullptr, L"NoSuchAccount-42").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(LookupName(nullptr, L"NOSUCHDOMAIN\\Administrator").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(LookupSid(nullptr, L"S-1-5-21-1-2-3-1000").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
}

TEST_F(AccountsTest, UnixUsersAndGroupsOfTheHost) {
    passwd* me = getpwuid(geteuid());
    ASSERT_NE(me, nullptr);
    std::wstring sid = L"S-1-22-1-" + std::to_wstring(geteuid());
    auto bySid = LookupSid(nullptr, sid.c_str());
    ASSERT_TRUE(bySid.ok);
    EXPECT_EQ(bySid.domain, L"Unix User");
    std::wstring name(me->pw_name, me->pw_name + strlen(me->pw_name));
    EXPECT_EQ(bySid.name, name);
    auto byName = LookupName(nullptr, (L"Unix User\\" + name).c_str());
    ASSERT_TRUE(byName.ok);
    EXPECT_EQ(byName.sid, sid);

    auto rootGroup = LookupSid(nullptr, L"S-1-22-2-0");
    ASSERT_TRUE(rootGroup.ok);
    EXPECT_EQ(rootGroup.domain, L"Unix Group");
    // A uid nobody has is no account.
    EXPECT_EQ(LookupSid(nullptr, L"S-1-22-1-3999999999").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
}

TEST_F(AccountsTest, BufferSizingFollowsWindows) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    EXPECT_FALSE(LookupAccountNameW(nullptr, L"Administrators", nullptr, &sidSize, nullptr, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(sidSize, 16u);
    EXPECT_EQ(domainSize, 8u) << "BUILTIN and its terminator";
    // Room for the SID but one character short for the domain.
    wchar_t domain[8];
    domainSize = 7;
    EXPECT_FALSE(LookupAccountNameW(nullptr, L"Administrators", sid, &sidSize, domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    domainSize = 8;
    ASSERT_TRUE(LookupAccountNameW(nullptr, L"Administrators", sid, &sidSize, domain, &domainSize, &use));
    EXPECT_EQ(std::wstring(domain), L"BUILTIN");

    winapi::Bytes system = SidBytes(L"S-1-5-18");
    DWORD nameSize = 0;
    domainSize = 0;
    EXPECT_FALSE(LookupAccountSidW(nullptr, system.data(), nullptr, &nameSize, nullptr, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(nameSize, 7u);
    EXPECT_EQ(domainSize, 13u);
}

TEST_F(AccountsTest, DamagedSidIsRejectedWithoutReadingPastIt) {
    BYTE bad[8] = {1, 200, 0, 0, 0, 0, 0, 5};  // claims 200 sub-authorities
    wchar_t name[64], domain[64];
    DWORD nameSize = 64, domainSize = 64;
    SID_NAME_USE use;
    EXPECT_FALSE(LookupAccountSidW(nullptr, bad, name, &nameSize, domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
}

class NetworkAccountsTest : public AccountsTest {
protected:
    void SetUp() override {
        using namespace winapi::machine;
        AddComputer(ComputerNamed(L"DC01", 5));
        AddDomain(DomainNamed(L"CORP", L"corp.example", L"DC01"));
        AddComputer(ComputerNamed(L"SRV02", 3, L"CORP"));
        AddComputer(ComputerNamed(L"GONE", 0, L"", false));
        carol = AddAccount(L"CORP", L"carol", AccountKind::User);
        srvLocal = AddAccount(L"SRV02", L"svc", AccountKind::User);
    }
    std::wstring carol, srvLocal;
};

TEST_F(NetworkAccountsTest, DomainAccountsResolveOnTheControllerAndOnMembers) {
    auto onDc = LookupName(L"DC01", L"carol");
    ASSERT_TRUE(onDc.ok) << onDc.error;
    EXPECT_EQ(onDc.sid, carol);
    EXPECT_EQ(onDc.domain, L"CORP");

    auto onMember = LookupName(L"\\\\srv02", L"carol");
    ASSERT_TRUE(onMember.ok);
    EXPECT_EQ(onMember.domain, L"CORP");

    auto admins = LookupName(L"DC01", L"Domain Admins");
    ASSERT_TRUE(admins.ok);
    EXPECT_EQ(admins.use, SidTypeGroup);
    EXPECT_EQ(admins.sid.substr(admins.sid.size() - 4), L"-512");

    auto qualified = LookupName(nullptr, L"CORP\\carol");
    ASSERT_TRUE(qualified.ok);
    EXPECT_EQ(qualified.sid, carol);
    auto byDns = LookupName(nullptr, L"corp.example\\carol");
    EXPECT_EQ(byDns.sid, carol);
}

TEST_F(NetworkAccountsTest, AControllerHasNoLocalAccountsOnlyItsDomains) {
    auto domainAdmin = LookupName(nullptr, L"CORP\\Administrator");
    ASSERT_TRUE(domainAdmin.ok);
    for (const wchar_t* name : {L"Administrator", L"DC01\\Administrator", L"CORP\\Administrator"}) {
        auto onDc = LookupName(L"DC01", name);
        ASSERT_TRUE(onDc.ok) << onDc.error;
        EXPECT_EQ(onDc.domain, L"CORP");
        EXPECT_EQ(onDc.sid, domainAdmin.sid);
    }
    auto guest = LookupName(L"DC01", L"Guest");
    EXPECT_EQ(guest.domain, L"CORP");
    // What the computer held before it became a controller is gone there.
    auto dc = winapi::machine::FindComputerRecord(L"DC01");
    ASSERT_TRUE(dc);
    EXPECT_EQ(LookupSid(L"DC01", (dc->machineSid + L"-500").c_str()).error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    // A member keeps its own.
    EXPECT_EQ(LookupName(L"SRV02", L"Administrator").domain, L"SRV02");
}

TEST_F(NetworkAccountsTest, LocalAccountsOfAnotherComputerAreOnlyKnownThere) {
    EXPECT_TRUE(LookupSid(L"SRV02", srvLocal.c_str()).ok);
    EXPECT_EQ(LookupSid(nullptr, srvLocal.c_str()).error, static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_TRUE(LookupName(L"SRV02", L"svc").ok);
    EXPECT_EQ(LookupName(nullptr, L"svc").error, static_cast<DWORD>(ERROR_NONE_MAPPED));
}

TEST_F(NetworkAccountsTest, UnknownOrUnreachableComputersFailAsRpc) {
    EXPECT_EQ(LookupName(L"GONE", L"Everyone").error, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(LookupName(L"\\\\NOWHERE", L"Everyone").error, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(LookupSid(L"GONE", L"S-1-1-0").error, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    winapi::machine::SetComputerReachable(L"GONE", true);
    EXPECT_TRUE(LookupName(L"GONE", L"Everyone").ok);
}

TEST_F(NetworkAccountsTest, InjectedFaultFailsOnlyTheNamedObjectAndOnlyAsOftenAsAsked) {
    winapi::machine::InjectFault("LookupAccountNameW", ERROR_TRUSTED_RELATIONSHIP_FAILURE, 1, L"corp\\CAROL");
    EXPECT_TRUE(LookupName(nullptr, L"Everyone").ok);
    EXPECT_EQ(LookupName(nullptr, L"CORP\\carol").error, static_cast<DWORD>(ERROR_TRUSTED_RELATIONSHIP_FAILURE));
    EXPECT_TRUE(LookupName(nullptr, L"CORP\\carol").ok) << "the fault was for one call";
}

}  // namespace
