// SDDL text and string SIDs into binary: the self-relative layout Windows
// produces, the aliases behind the domain context, and rejected text.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "winapi/sddl/sddl_context.h"
#include "winapi/win32.h"

namespace {

using Bytes = std::vector<BYTE>;

struct LocalFreeDeleter {
    void operator()(void* block) const { LocalFree(block); }
};

struct Parsed {
    bool ok = false;
    DWORD error = 0;
    Bytes sd;
};

Parsed Parse(const std::wstring& text) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    ULONG size = 0;
    Parsed result;
    result.ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &raw, &size);
    result.error = result.ok ? 0 : GetLastError();
    std::unique_ptr<void, LocalFreeDeleter> owned(raw);
    if (result.ok) result.sd.assign(static_cast<BYTE*>(raw), static_cast<BYTE*>(raw) + size);
    return result;
}

WORD Word(const Bytes& b, size_t at) { return static_cast<WORD>(b.at(at) | b.at(at + 1) << 8); }
DWORD Dword(const Bytes& b, size_t at) { return Word(b, at) | static_cast<DWORD>(Word(b, at + 2)) << 16; }

WORD Control(const Bytes& sd) { return Word(sd, 2); }
DWORD OwnerOffset(const Bytes& sd) { return Dword(sd, 4); }
DWORD GroupOffset(const Bytes& sd) { return Dword(sd, 8); }
DWORD SaclOffset(const Bytes& sd) { return Dword(sd, 12); }
DWORD DaclOffset(const Bytes& sd) { return Dword(sd, 16); }

// The SID at `at`, as its own length field says.
Bytes SidAt(const Bytes& b, size_t at) {
    size_t length = 8 + 4 * static_cast<size_t>(b.at(at + 1));
    return Bytes(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + length));
}

Bytes SidBytes(const std::wstring& text) {
    PSID raw = nullptr;
    EXPECT_TRUE(ConvertStringSidToSidW(text.c_str(), &raw)) << "error " << GetLastError();
    std::unique_ptr<void, LocalFreeDeleter> owned(raw);
    if (raw == nullptr) return {};
    const BYTE* p = static_cast<const BYTE*>(raw);
    return Bytes(p, p + 8 + 4 * p[1]);
}

// Offset of ACE `index` in the ACL at `acl`.
size_t AceAt(const Bytes& sd, size_t acl, int index) {
    size_t at = acl + 8;
    for (int i = 0; i < index; ++i) at += Word(sd, at + 2);
    return at;
}

// Installs a domain context for one test and restores the default after it.
class ScopedDomainContext {
public:
    ScopedDomainContext(const std::wstring& machine, const std::wstring& domain) {
        winapi::SddlDomainContext context;
        context.machineSid = SidBytes(machine);
        if (!domain.empty()) context.domainSid = SidBytes(domain);
        winapi::SetSddlDomainProvider([context] { return context; });
    }
    ~ScopedDomainContext() { winapi::SetSddlDomainProvider(nullptr); }
};

TEST(SddlParse, SectionsBecomeASelfRelativeDescriptor) {
    Parsed p = Parse(L"O:BAG:SYD:(A;;FA;;;WD)S:(AU;SA;RC;;;WD)");
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.sd[0], SECURITY_DESCRIPTOR_REVISION);
    EXPECT_EQ(Control(p.sd), SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT);
    EXPECT_EQ(SidAt(p.sd, OwnerOffset(p.sd)), SidBytes(L"S-1-5-32-544"));
    EXPECT_EQ(SidAt(p.sd, GroupOffset(p.sd)), SidBytes(L"S-1-5-18"));
    // Every part lies inside the reported size and the parts do not overlap.
    size_t saclEnd = SaclOffset(p.sd) + Word(p.sd, SaclOffset(p.sd) + 2);
    size_t daclEnd = DaclOffset(p.sd) + Word(p.sd, DaclOffset(p.sd) + 2);
    EXPECT_EQ(SaclOffset(p.sd), sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    EXPECT_LE(saclEnd, DaclOffset(p.sd));
    EXPECT_LE(daclEnd, OwnerOffset(p.sd));
    EXPECT_EQ(GroupOffset(p.sd) + 12u, p.sd.size());
}

TEST(SddlParse, AbsentSectionsLeaveNoTrace) {
    Parsed p = Parse(L"O:SY");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(Control(p.sd), SE_SELF_RELATIVE);
    EXPECT_EQ(GroupOffset(p.sd), 0u);
    EXPECT_EQ(DaclOffset(p.sd), 0u);
    EXPECT_EQ(SaclOffset(p.sd), 0u);

    Parsed empty = Parse(L"");
    ASSERT_TRUE(empty.ok);
    EXPECT_EQ(empty.sd.size(), sizeof(SECURITY_DESCRIPTOR_RELATIVE));
}

TEST(SddlParse, AclFlagsSetTheirOwnControlBits) {
    Parsed dacl = Parse(L"D:PARAI");
    ASSERT_TRUE(dacl.ok);
    EXPECT_EQ(Control(dacl.sd),
              SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED);
    Parsed sacl = Parse(L"S:PAI");
    ASSERT_TRUE(sacl.ok);
    EXPECT_EQ(Control(sacl.sd), SE_SELF_RELATIVE | SE_SACL_PRESENT | SE_SACL_PROTECTED | SE_SACL_AUTO_INHERITED);
}

TEST(SddlParse, EmptyAndNullDaclsDiffer) {
    Parsed empty = Parse(L"D:");
    ASSERT_TRUE(empty.ok);
    ASSERT_NE(DaclOffset(empty.sd), 0u);
    EXPECT_EQ(empty.sd[DaclOffset(empty.sd)], ACL_REVISION);
    EXPECT_EQ(Word(empty.sd, DaclOffset(empty.sd) + 2), 8);  // size
    EXPECT_EQ(Word(empty.sd, DaclOffset(empty.sd) + 4), 0);  // count

    Parsed null = Parse(L"D:PNO_ACCESS_CONTROL");
    ASSERT_TRUE(null.ok);
    EXPECT_EQ(Control(null.sd), SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED);
    EXPECT_EQ(DaclOffset(null.sd), 0u);

    // A null ACL has no entries to list.
    EXPECT_FALSE(Parse(L"D:NO_ACCESS_CONTROL(A;;GA;;;WD)").ok);
}

TEST(SddlParse, AcesKeepTypeFlagsMaskSidAndOrder) {
    Parsed p = Parse(L"D:(D;OICI;0x1200a9;;;S-1-5-21-1-2-3-1000)(A;IOID;GR;;;CO)(A;;FA;;;S-1-5-21-1-2-3-1000)");
    ASSERT_TRUE(p.ok) << p.error;
    size_t acl = DaclOffset(p.sd);
    EXPECT_EQ(Word(p.sd, acl + 4), 3);
    size_t first = AceAt(p.sd, acl, 0), second = AceAt(p.sd, acl, 1), third = AceAt(p.sd, acl, 2);
    EXPECT_EQ(p.sd[first], ACCESS_DENIED_ACE_TYPE);
    EXPECT_EQ(p.sd[first + 1], OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(Dword(p.sd, first + 4), 0x1200A9u);
    EXPECT_EQ(SidAt(p.sd, first + 8), SidBytes(L"S-1-5-21-1-2-3-1000"));
    EXPECT_EQ(Word(p.sd, first + 2), 8 + 28);
    EXPECT_EQ(p.sd[second + 1], INHERIT_ONLY_ACE | INHERITED_ACE);
    EXPECT_EQ(Dword(p.sd, second + 4), GENERIC_READ);
    EXPECT_EQ(SidAt(p.sd, second + 8), SidBytes(L"S-1-3-0"));
    // The same ACE twice is kept twice: nothing is merged.
    EXPECT_EQ(p.sd[third], ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(Dword(p.sd, third + 4), FILE_ALL_ACCESS);
}

TEST(SddlParse, ObjectAcesCarryTheirGuidsInStructureOrder) {
    Parsed p = Parse(L"D:(OA;CI;RP;f30e3bbe-9ff0-11d1-b603-0000F80367C1;;AU)"
                     L"(OD;;WP;;bf967aa5-0de6-11d0-a285-00aa003049e2;AU)"
                     L"(OA;;CR;f30e3bbe-9ff0-11d1-b603-0000f80367c1;bf967aa5-0de6-11d0-a285-00aa003049e2;BA)");
    ASSERT_TRUE(p.ok) << p.error;
    size_t acl = DaclOffset(p.sd);
    EXPECT_EQ(p.sd[acl], ACL_REVISION_DS);
    const Bytes objectGuid = {0xbe, 0x3b, 0x0e, 0xf3, 0xf0, 0x9f, 0xd1, 0x11,
                              0xb6, 0x03, 0x00, 0x00, 0xf8, 0x03, 0x67, 0xc1};
    size_t first = AceAt(p.sd, acl, 0);
    EXPECT_EQ(p.sd[first], ACCESS_ALLOWED_OBJECT_ACE_TYPE);
    EXPECT_EQ(Dword(p.sd, first + 8), static_cast<DWORD>(ACE_OBJECT_TYPE_PRESENT));
    EXPECT_EQ(Bytes(p.sd.begin() + first + 12, p.sd.begin() + first + 28), objectGuid);
    EXPECT_EQ(SidAt(p.sd, first + 28), SidBytes(L"S-1-5-11"));

    size_t second = AceAt(p.sd, acl, 1);
    EXPECT_EQ(p.sd[second], ACCESS_DENIED_OBJECT_ACE_TYPE);
    EXPECT_EQ(Dword(p.sd, second + 8), static_cast<DWORD>(ACE_INHERITED_OBJECT_TYPE_PRESENT));
    EXPECT_EQ(p.sd[second + 12], 0xa5);  // inherited GUID takes the first slot when alone
    EXPECT_EQ(SidAt(p.sd, second + 28), SidBytes(L"S-1-5-11"));

    size_t third = AceAt(p.sd, acl, 2);
    EXPECT_EQ(Dword(p.sd, third + 8), static_cast<DWORD>(ACE_OBJECT_TYPE_PRESENT | ACE_INHERITED_OBJECT_TYPE_PRESENT));
    EXPECT_EQ(Word(p.sd, third + 2), 12 + 32 + 16);
    EXPECT_EQ(SidAt(p.sd, third + 44), SidBytes(L"S-1-5-32-544"));
}

TEST(SddlParse, ObjectAceWithoutGuidsIsStoredPlain) {
    Parsed p = Parse(L"D:(OA;;CC;;;WD)S:(OU;SA;CC;;;WD)");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.sd[DaclOffset(p.sd)], ACL_REVISION);
    EXPECT_EQ(p.sd[DaclOffset(p.sd) + 8], ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(p.sd[SaclOffset(p.sd) + 8], SYSTEM_AUDIT_ACE_TYPE);
    // GUIDs belong to object ACEs only.
    EXPECT_FALSE(Parse(L"D:(A;;CC;f30e3bbe-9ff0-11d1-b603-0000f80367c1;;WD)").ok);
}

TEST(SddlParse, RightsAcceptNamesAndNumbersInEveryBase) {
    struct Case {
        const wchar_t* rights;
        ACCESS_MASK mask;
    } cases[] = {
        {L"1179817", 0x1200A9}, {L"0x1200A9", 0x1200A9}, {L"0X1f", 0x1F},          {L"0777", 0777},
        {L"0", 0},              {L"", 0},                {L"GRGW", 0xC0000000u}, {L"kx", KEY_READ},
        {L"FX", 0x1200A0},      {L"NWNR", 0x3},          {L"4294967295", 0xFFFFFFFFu},
        // wcstoul's habits: saturation, a sign that wraps, a leading plus.
        {L"4294967296", 0xFFFFFFFFu}, {L"0x100000000", 0xFFFFFFFFu}, {L"-1", 0xFFFFFFFFu},
        {L"+16", 0x10},         {L"-0x10", 0xFFFFFFF0u}, {L"-077777777777", 1},
        {L"RP LC", 0x14},       {L"RP  LC  SW", 0x1C},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(std::wstring(L"D:(A;;") + c.rights + L";;;WD)");
        ASSERT_TRUE(p.ok) << "rights '" << std::string(c.rights, c.rights + wcslen(c.rights)) << "'";
        EXPECT_EQ(Dword(p.sd, DaclOffset(p.sd) + 12), c.mask);
    }
    for (const wchar_t* bad : {L"08", L"0x", L"GAX", L"G", L"GA1", L"1GA", L"-", L"+-1", L"1 ", L"RP ", L"RP\tLC",
                               L"R P", L"- 1"}) {
        Parsed p = Parse(std::wstring(L"D:(A;;") + bad + L";;;WD)");
        EXPECT_FALSE(p.ok) << std::string(bad, bad + wcslen(bad));
        EXPECT_EQ(p.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(SddlParse, ArgumentsAndRevisionAreChecked) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(nullptr, SDDL_REVISION_1, &sd, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", 2, &sd, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    EXPECT_EQ(sd, nullptr);
    // Size is optional.
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, &sd, nullptr));
    LocalFree(sd);
}

TEST(SddlParse, RejectsRepeatedSectionsAndUnsupportedAces) {
    for (const wchar_t* text : {L"O:BAO:SY", L"D:D:", L"S:(AU;SA;CR;;;WD)S:", L"D:(XA;;FA;;;WD;(Member_of {SID(BA)}))",
                                L"S:(RA;;;;;WD;(\"x\",TI,0,1))", L"D:(A;;FA;;;WD", L"D:(A;;FA;;;WD;)", L"D:(A;XX;FA;;;WD)"}) {
        Parsed p = Parse(text);
        EXPECT_FALSE(p.ok) << std::string(text, text + wcslen(text));
        EXPECT_EQ(p.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(SddlParse, EveryTruncationOfAValidTextIsHandled) {
    const std::wstring text =
        L"O:S-1-5-21-1-2-3-500G:DUD:PAI(OA;CIIO;RPWP;f30e3bbe-9ff0-11d1-b603-0000f80367c1;"
        L"bf967aa5-0de6-11d0-a285-00aa003049e2;S-1-5-32-544)(A;;0x1200a9;;;WD)S:(AU;SAFA;FA;;;BA)";
    ScopedDomainContext domain(L"S-1-5-21-7-8-9", L"S-1-5-21-1-2-3");
    ASSERT_TRUE(Parse(text).ok);
    int depth = 0;
    for (size_t length = 0; length < text.size(); ++length) {
        Parsed p = Parse(text.substr(0, length));
        // Cut inside an ACE, the text must be refused; elsewhere it may parse.
        if (depth > 0) {
            EXPECT_FALSE(p.ok) << "length " << length;
        }
        if (text[length] == L'(') ++depth;
        if (text[length] == L')') --depth;
    }
}

TEST(SddlParse, AclsOver64KiBAreRefused) {
    std::wstring fits = L"D:", tooBig = L"D:";
    // 20 bytes per ACE: 3000 fit in an ACL (60008 bytes), 3300 do not (66008).
    for (int i = 0; i < 3300; ++i) {
        if (i < 3000) fits += L"(A;;GA;;;WD)";
        tooBig += L"(A;;GA;;;WD)";
    }
    Parsed ok = Parse(fits);
    ASSERT_TRUE(ok.ok);
    EXPECT_EQ(Word(ok.sd, DaclOffset(ok.sd) + 4), 3000);
    EXPECT_EQ(Word(ok.sd, DaclOffset(ok.sd) + 2), 8 + 3000 * 20);
    Parsed big = Parse(tooBig);
    EXPECT_FALSE(big.ok);
    EXPECT_EQ(big.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SddlParse, MachineAliasesFollowTheDomainContext) {
    EXPECT_EQ(SidBytes(L"LA"), SidBytes(L"S-1-5-21-1004336348-1177238915-682003330-500"));
    {
        ScopedDomainContext context(L"S-1-5-21-11-22-33", L"");
        Parsed p = Parse(L"O:LAG:LG");
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(SidAt(p.sd, OwnerOffset(p.sd)), SidBytes(L"S-1-5-21-11-22-33-500"));
        EXPECT_EQ(SidAt(p.sd, GroupOffset(p.sd)), SidBytes(L"S-1-5-21-11-22-33-501"));
    }
    EXPECT_EQ(SidBytes(L"LG"), SidBytes(L"S-1-5-21-1004336348-1177238915-682003330-501"));
}

TEST(SddlParse, DomainAliasesNeedADomain) {
    for (const wchar_t* text : {L"O:DA", L"D:(A;;GA;;;DU)", L"G:EA"}) {
        Parsed p = Parse(text);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.error, static_cast<DWORD>(ERROR_INVALID_SID));
    }
    ScopedDomainContext context(L"S-1-5-21-11-22-33", L"S-1-5-21-44-55-66");
    Parsed p = Parse(L"O:DAG:DUD:(A;;GA;;;DC)(A;;GA;;;EA)(A;;GA;;;RO)");
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(SidAt(p.sd, OwnerOffset(p.sd)), SidBytes(L"S-1-5-21-44-55-66-512"));
    EXPECT_EQ(SidAt(p.sd, GroupOffset(p.sd)), SidBytes(L"S-1-5-21-44-55-66-513"));
    size_t acl = DaclOffset(p.sd);
    EXPECT_EQ(SidAt(p.sd, AceAt(p.sd, acl, 0) + 8), SidBytes(L"S-1-5-21-44-55-66-515"));
    EXPECT_EQ(SidAt(p.sd, AceAt(p.sd, acl, 1) + 8), SidBytes(L"S-1-5-21-44-55-66-519"));
    EXPECT_EQ(SidAt(p.sd, AceAt(p.sd, acl, 2) + 8), SidBytes(L"S-1-5-21-44-55-66-498"));
}

TEST(StringSidToSid, ReadsDecimalHexAndAliases) {
    Bytes admins = SidBytes(L"S-1-5-32-544");
    const Bytes expected = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
    EXPECT_EQ(admins, expected);
    EXPECT_EQ(SidBytes(L"BA"), expected);
    EXPECT_EQ(SidBytes(L"S-1-5-0x20-0x220"), expected);
    EXPECT_EQ(SidBytes(L"S- 1- 5-32-544"), expected);
    // A hex revision makes every later number hex.
    EXPECT_EQ(SidBytes(L"S-0x1-5-20-220"), expected);
    // Sub-authorities saturate; decimal authorities reach past 32 bits.
    EXPECT_EQ(SidBytes(L"S-1-5-99999999999"), SidBytes(L"S-1-5-4294967295"));
    EXPECT_EQ(SidBytes(L"S-1-4294967296-1"), SidBytes(L"S-1-0x100000000-1"));

    const Bytes bigAuthority = {1, 1, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 1, 0, 0, 0};
    EXPECT_EQ(SidBytes(L"S-1-0x123456789ABC-1"), bigAuthority);
    EXPECT_EQ(SidBytes(L"S-1-4294967295-4294967295").size(), 12u);
    EXPECT_EQ(SidBytes(L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15").size(), 68u);
}

TEST(StringSidToSid, RejectsMalformedText) {
    for (const wchar_t* text : {L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", L"S-1-0x1000000000000-1",
                                L"S-1-281474976710656-1", L"S-1--5-32", L"S-2-5-32", L"S-1", L"S-1-", L"S-1-5-",
                                L"S-1-5-32-544 ", L" S-1-5-32", L"S-1-5--32", L"S-1-5- 32", L"S-1-5-+32",
                                L"S-1-5-32ab", L"XX", L"B", L"BAD", L"", L"S-1-x", L"S-0x2-5-32"}) {
        PSID sid = nullptr;
        EXPECT_FALSE(ConvertStringSidToSidW(text, &sid)) << std::string(text, text + wcslen(text));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
        EXPECT_EQ(sid, nullptr);
    }
    PSID sid = nullptr;
    EXPECT_FALSE(ConvertStringSidToSidW(nullptr, &sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ConvertStringSidToSidW(L"S-1-5-18", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
