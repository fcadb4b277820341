// Trustee names, qualified names and SID strings resolving to SIDs; SIDs
// turning back into text.
#include "acl/trustee.h"
#include "engine/local_memory.h"
#include "network_fixture.h"

namespace tavrik::test {
namespace {

class TrusteesTest : public NetworkTest {
protected:
    // The SID string a trustee resolves to, or the return code in brackets.
    static std::wstring Resolved(const std::wstring& name, BOOL isSid = FALSE) {
        CTrustee trustee(name, isSid, 0, 0, 0);
        const DWORD code = trustee.Resolve();
        if (code != RTN_OK) {
            EXPECT_EQ(trustee.m_sid, nullptr);
            return L"[" + std::to_wstring(code) + L"]";
        }
        if (!trustee.m_sid) return L"<none>";
        LPWSTR text = nullptr;
        if (!ConvertSidToStringSidW(trustee.m_sid, &text)) return L"<bad>";
        LocalPtr<WCHAR> owned(text);
        return text;
    }
};

TEST_F(TrusteesTest, SidStringsResolveWithoutAnyLookup) {
    winapi::machine::InjectFault("LookupAccountNameW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(Resolved(L"S-1-5-21-1-2-3-500", TRUE), L"S-1-5-21-1-2-3-500");
    EXPECT_EQ(Resolved(L"S-1-5-21-1-2-3-500", FALSE), L"[6]");
    EXPECT_EQ(Resolved(L"S-1-5-xyz", TRUE), L"[6]");
}

TEST_F(TrusteesTest, AnEmptyNameResolvesToNoSid) { EXPECT_EQ(Resolved(L""), L"<none>"); }

TEST_F(TrusteesTest, LocalAuthoritiesAndTheComputerItselfAreLookedUpLocally) {
    EXPECT_EQ(Resolved(L"BUILTIN\\Users"), L"S-1-5-32-545");
    EXPECT_EQ(Resolved(L"builtin\\Administrators"), L"S-1-5-32-544");
    EXPECT_EQ(Resolved(L"NT AUTHORITY\\SYSTEM"), L"S-1-5-18");
    EXPECT_EQ(Resolved(L"TESTPC\\alice"), alice);
    EXPECT_EQ(Resolved(L"testpc\\alice"), alice);
    // The authority must be the one the account really belongs to.
    EXPECT_EQ(Resolved(L"BUILTIN\\alice"), L"[6]");
}

TEST_F(TrusteesTest, DomainNamesAreLookedUpOnTheirControllerAndChecked) {
    EXPECT_EQ(Resolved(L"OLDDOM\\jdoe"), oldJdoe);
    // A controller's built-in accounts are its domain's.
    EXPECT_EQ(Resolved(L"OLDDOM\\Administrator"), SidOf(L"", L"OLDDOM\\Administrator"));
    EXPECT_NE(Resolved(L"NEWDOM\\Administrator"), Resolved(L"OLDDOM\\Administrator"));
    EXPECT_EQ(Resolved(L"NEWDOM\\Guest").substr(0, 1), L"S");
    EXPECT_EQ(Resolved(L"newdom\\jdoe"), newJdoe);
    EXPECT_EQ(Resolved(L"NEWDOM\\retired"), L"[6]");
    EXPECT_EQ(Resolved(L"OLDDOM\\"), L"[6]");
}

TEST_F(TrusteesTest, ControllerNamesCheckTheirDomain) {
    EXPECT_EQ(Resolved(L"DCNEW\\newhire"), newOnly);
    EXPECT_EQ(Resolved(L"DCNEW\\retired"), L"[6]");
}

TEST_F(TrusteesTest, MemberServersAndWorkstationsAreAskedWithoutDomainCheck) {
    EXPECT_EQ(Resolved(L"MEMBER1\\svcbackup"), memberAccount);
    EXPECT_EQ(Resolved(L"WS1\\kiosk"), workstationAccount);
    EXPECT_EQ(Resolved(L"WS1\\svcbackup"), L"[6]");
    EXPECT_EQ(Resolved(L"NOSUCHPC\\kiosk"), L"[6]");
}

// Whatever a listing prints as DOMAIN\name types back: the authorities
// only the local computer knows are asked locally, still checked.
TEST_F(TrusteesTest, EveryAuthorityTheLocalLookupReportsResolvesWithItsCheck) {
    EXPECT_EQ(Resolved(L"NT SERVICE\\ALL SERVICES"), L"S-1-5-80-0");
    EXPECT_EQ(Resolved(L"NT SERVICE\\TrustedInstaller"),
              L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    EXPECT_EQ(Resolved(L"APPLICATION PACKAGE AUTHORITY\\ALL APPLICATION PACKAGES"), L"S-1-15-2-1");
    EXPECT_EQ(Resolved(L"Mandatory Label\\High Mandatory Level"), L"S-1-16-12288");
    EXPECT_EQ(Resolved(L"Unix User\\root"), L"S-1-22-1-0");
    EXPECT_EQ(Resolved(L"unix group\\root"), L"S-1-22-2-0");
    EXPECT_EQ(Resolved(L"NT SERVICE\\SYSTEM"), L"[6]");
    EXPECT_EQ(Resolved(L"Unix User\\Everyone"), L"[6]");
}

// The computer's own name follows its role: a member asks itself without a
// domain check (domain accounts resolve), a controller checks its domain.
TEST_F(TrusteesTest, TheComputersOwnNameFollowsItsRole) {
    winapi::machine::ComputerSpec member;
    member.name = L"MEMBER2";
    member.role = 3;
    member.domain = L"OLDDOM";
    member.local = true;
    winapi::machine::AddComputer(member);
    EXPECT_EQ(Resolved(L"MEMBER2\\jdoe"), oldJdoe);
    // What the lookup finds under another authority is still refused.
    EXPECT_EQ(Resolved(L"MEMBER2\\root"), L"[6]");
    EXPECT_EQ(Resolved(L"MEMBER2\\newhire"), L"[6]");
    EXPECT_EQ(Resolved(L"member2\\Administrator"), SidOf(L"MEMBER2", L"MEMBER2\\Administrator"));

    winapi::machine::ComputerSpec controller = member;
    controller.name = L"DC3";
    controller.role = 4;
    winapi::machine::AddComputer(controller);
    const std::wstring domainAdmin = SidOf(L"DCOLD", L"OLDDOM\\Administrator");
    EXPECT_EQ(domainAdmin.substr(domainAdmin.size() - 4), L"-500");
    EXPECT_EQ(Resolved(L"DC3\\Administrator"), domainAdmin);
    EXPECT_EQ(Resolved(L"DC3\\newhire"), L"[6]");
}

TEST_F(TrusteesTest, UnqualifiedNamesAreLookedUpLocally) {
    EXPECT_EQ(Resolved(L"alice"), alice);
    EXPECT_EQ(Resolved(L"Everyone"), L"S-1-1-0");
    EXPECT_EQ(Resolved(L"nobody-of-that-name"), L"[6]");
}

TEST_F(TrusteesTest, ResolvingAgainReplacesTheSid) {
    CTrustee trustee(L"OLDDOM\\jdoe", FALSE, 0, 0, 0);
    ASSERT_EQ(trustee.Resolve(), RTN_OK);
    trustee.m_name = L"S-1-5-32-545";
    trustee.m_isSid = TRUE;
    ASSERT_EQ(trustee.Resolve(), RTN_OK);
    LPWSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(trustee.m_sid, &text));
    LocalPtr<WCHAR> owned(text);
    EXPECT_STREQ(text, L"S-1-5-32-545");
    trustee.m_name = L"no-such-account";
    trustee.m_isSid = FALSE;
    EXPECT_EQ(trustee.Resolve(), RTN_ERR_RESOLVE_TRUSTEE);
    EXPECT_EQ(trustee.m_sid, nullptr);
}

TEST_F(TrusteesTest, DuplicateSidCopiesOrRefuses) {
    EXPECT_EQ(DuplicateSid(nullptr), nullptr);
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-7-8-9-1001", &sid));
    LocalPtr<> owned(sid);
    LocalPtr<> copy(DuplicateSid(sid));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), sid);
    EXPECT_TRUE(EqualSid(copy.get(), sid));
}

TEST_F(TrusteesTest, SidTextFollowsTheNameForm) {
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(oldJdoe.c_str(), &sid));
    LocalPtr<> owned(sid);
    auto job = NewJob();
    EXPECT_EQ(job->SidToText(sid), L"OLDDOM\\jdoe");
    job->SetListNameForm(2);
    EXPECT_EQ(job->SidToText(sid), oldJdoe);
    job->SetListNameForm(3);
    EXPECT_EQ(job->SidToText(sid), L"OLDDOM\\jdoe=" + oldJdoe);
    EXPECT_EQ(job->m_lastOsError, 0u);
}

// Whatever qualified name a listing prints resolves back to its SID.
TEST_F(TrusteesTest, EveryNameAListingPrintsTypesBack) {
    auto job = NewJob();
    for (const std::wstring& text :
         {std::wstring(L"S-1-1-0"), std::wstring(L"S-1-5-18"), std::wstring(L"S-1-5-32-544"), std::wstring(L"S-1-5-80-0"),
          std::wstring(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"),
          std::wstring(L"S-1-15-2-1"), std::wstring(L"S-1-16-12288"), std::wstring(L"S-1-22-1-0"),
          std::wstring(L"S-1-22-2-0"), alice, oldJdoe, newStaff, SidOf(L"", L"OLDDOM\\Administrator")}) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(text.c_str(), &sid));
        LocalPtr<> owned(sid);
        const std::wstring printed = job->SidToText(sid);
        EXPECT_NE(printed.rfind(L"S-1-", 0), 0u) << "no name for " << std::string(text.begin(), text.end());
        EXPECT_EQ(Resolved(printed), text) << std::string(printed.begin(), printed.end());
    }
}

TEST_F(TrusteesTest, OrphanedSidsShowAsSidStringsInEveryForm) {
    winapi::machine::RemoveAccount(L"OLDDOM", L"retired");
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(oldOnly.c_str(), &sid));
    LocalPtr<> owned(sid);
    auto job = NewJob();
    for (DWORD form : {1u, 2u, 3u}) {
        job->SetListNameForm(form);
        EXPECT_EQ(job->SidToText(sid), oldOnly) << form;
    }
}

TEST_F(TrusteesTest, OtherLookupFailuresGiveNoTextAndRecordTheError) {
    auto job = NewJob();
    job->SetObject(L"\\\\WS1\\share", SE_LMSHARE);
    winapi::machine::SetComputerReachable(L"WS1", false);
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-32-545", &sid));
    LocalPtr<> owned(sid);
    EXPECT_EQ(job->SidToText(sid), L"");
    EXPECT_EQ(job->m_lastOsError, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

}  // namespace
}  // namespace tavrik::test
