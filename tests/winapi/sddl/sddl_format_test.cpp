// Descriptors into SDDL: Windows' canonical text from hand-built binary
// descriptors in both forms, and clean failures on damaged ones.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "winapi/sddl/sddl_context.h"
#include "winapi/win32.h"

namespace {

using Bytes = std::vector<BYTE>;

struct LocalFreeDeleter {
    void operator()(void* block) const { LocalFree(block); }
};

constexpr SECURITY_INFORMATION kAll =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<BYTE>(v));
    b.push_back(static_cast<BYTE>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<BYTE>(v >> (8 * i)));
}

Bytes Sid(uint64_t authority, std::initializer_list<uint32_t> subs) {
    Bytes sid = {1, static_cast<BYTE>(subs.size())};
    for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(authority >> shift));
    for (uint32_t sub : subs) Put32(sid, sub);
    return sid;
}

const Bytes kEveryone = Sid(1, {0});
const Bytes kAdmins = Sid(5, {32, 544});
const Bytes kSystem = Sid(5, {18});

Bytes Ace(BYTE type, BYTE flags, ACCESS_MASK mask, const Bytes& sid) {
    Bytes ace = {type, flags};
    Put16(ace, 8 + static_cast<unsigned>(sid.size()));
    Put32(ace, mask);
    ace.insert(ace.end(), sid.begin(), sid.end());
    return ace;
}

// GUID bytes in structure order for the given text-order bytes.
Bytes Guid(std::initializer_list<BYTE> textOrder) {
    Bytes t(textOrder);
    Bytes g = {t[3], t[2], t[1], t[0], t[5], t[4], t[7], t[6]};
    g.insert(g.end(), t.begin() + 8, t.end());
    return g;
}
const Bytes kPropertyGuid = Guid({0xf3, 0x0e, 0x3b, 0xbe, 0x9f, 0xf0, 0x11, 0xd1,
                                  0xb6, 0x03, 0x00, 0x00, 0xf8, 0x03, 0x67, 0xc1});
const Bytes kClassGuid = Guid({0xbf, 0x96, 0x7a, 0xa5, 0x0d, 0xe6, 0x11, 0xd0,
                               0xa2, 0x85, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2});

Bytes ObjectAce(BYTE type, ACCESS_MASK mask, const Bytes* objectType, const Bytes* inheritedType, const Bytes& sid) {
    Bytes body;
    Put32(body, mask);
    Put32(body, (objectType ? ACE_OBJECT_TYPE_PRESENT : 0) | (inheritedType ? ACE_INHERITED_OBJECT_TYPE_PRESENT : 0));
    if (objectType) body.insert(body.end(), objectType->begin(), objectType->end());
    if (inheritedType) body.insert(body.end(), inheritedType->begin(), inheritedType->end());
    body.insert(body.end(), sid.begin(), sid.end());
    Bytes ace = {type, 0};
    Put16(ace, 4 + static_cast<unsigned>(body.size()));
    ace.insert(ace.end(), body.begin(), body.end());
    return ace;
}

Bytes Acl(std::initializer_list<Bytes> aces, BYTE revision = ACL_REVISION) {
    size_t size = 8;
    for (const Bytes& ace : aces) size += ace.size();
    Bytes acl = {revision, 0};
    Put16(acl, static_cast<unsigned>(size));
    Put16(acl, static_cast<unsigned>(aces.size()));
    Put16(acl, 0);
    for (const Bytes& ace : aces) acl.insert(acl.end(), ace.begin(), ace.end());
    return acl;
}

// A self-relative descriptor laid out owner, group, DACL, SACL: a different
// order than the parser's, which the text must not depend on.
Bytes SelfRelative(WORD control, const Bytes* owner, const Bytes* group, const Bytes* dacl, const Bytes* sacl) {
    Bytes sd = {1, 0};
    Put16(sd, control | SE_SELF_RELATIVE);
    sd.resize(20, 0);
    auto place = [&sd](size_t field, const Bytes* part) {
        if (!part) return;
        uint32_t offset = static_cast<uint32_t>(sd.size());
        std::memcpy(&sd[field], &offset, 4);
        sd.insert(sd.end(), part->begin(), part->end());
    };
    place(4, owner);
    place(8, group);
    place(16, dacl);
    place(12, sacl);
    return sd;
}

struct Formatted {
    bool ok = false;
    DWORD error = 0;
    std::wstring text;
    ULONG length = 0;
};

Formatted Format(const void* sd, SECURITY_INFORMATION info = kAll) {
    Formatted result;
    LPWSTR raw = nullptr;
    result.ok = ConvertSecurityDescriptorToStringSecurityDescriptorW(const_cast<void*>(sd), SDDL_REVISION_1, info, &raw,
                                                                     &result.length);
    result.error = result.ok ? 0 : GetLastError();
    std::unique_ptr<void, LocalFreeDeleter> owned(raw);
    if (result.ok) result.text = raw;
    if (!result.ok) {
        EXPECT_EQ(raw, nullptr);
    }
    return result;
}

std::wstring FormatDacl(const Bytes& dacl, WORD control = 0) {
    Bytes sd = SelfRelative(control | SE_DACL_PRESENT, nullptr, nullptr, &dacl, nullptr);
    Formatted f = Format(sd.data());
    EXPECT_TRUE(f.ok) << f.error;
    return f.text;
}

class ScopedDomainContext {
public:
    ScopedDomainContext(Bytes machine, Bytes domain) {
        winapi::SddlDomainContext context;
        context.machineSid = std::move(machine);
        context.domainSid = std::move(domain);
        winapi::SetSddlDomainProvider([context] { return context; });
    }
    ~ScopedDomainContext() { winapi::SetSddlDomainProvider(nullptr); }
};

TEST(SddlFormat, BothDescriptorFormsGiveSectionsInWindowsOrder) {
    Bytes dacl = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, kEveryone)});
    Bytes sacl = Acl({Ace(SYSTEM_AUDIT_ACE_TYPE, SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG, READ_CONTROL,
                          kEveryone)});
    const WORD control = SE_DACL_PRESENT | SE_SACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    const std::wstring expected = L"O:BAG:SYD:PAI(A;OICI;FA;;;WD)S:(AU;SAFA;RC;;;WD)";

    Bytes relative = SelfRelative(control, &kAdmins, &kSystem, &dacl, &sacl);
    EXPECT_EQ(Format(relative.data()).text, expected);

    SECURITY_DESCRIPTOR absolute = {};
    absolute.Revision = SECURITY_DESCRIPTOR_REVISION;
    absolute.Control = control;
    absolute.Owner = const_cast<BYTE*>(kAdmins.data());
    absolute.Group = const_cast<BYTE*>(kSystem.data());
    absolute.Dacl = reinterpret_cast<PACL>(dacl.data());
    absolute.Sacl = reinterpret_cast<PACL>(sacl.data());
    EXPECT_EQ(Format(&absolute).text, expected);
}

TEST(SddlFormat, SecurityInformationSelectsSections) {
    Bytes dacl = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kSystem)});
    Bytes sacl = Acl({});
    Bytes sd = SelfRelative(SE_DACL_PRESENT | SE_SACL_PRESENT | SE_SACL_AUTO_INHERITED, &kAdmins, &kSystem, &dacl, &sacl);
    EXPECT_EQ(Format(sd.data(), OWNER_SECURITY_INFORMATION).text, L"O:BA");
    EXPECT_EQ(Format(sd.data(), GROUP_SECURITY_INFORMATION).text, L"G:SY");
    EXPECT_EQ(Format(sd.data(), DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION).text,
              L"D:(A;;GA;;;SY)S:AI");
    Formatted nothing = Format(sd.data(), 0);
    EXPECT_TRUE(nothing.ok);
    EXPECT_EQ(nothing.text, L"");
    EXPECT_EQ(nothing.length, 1u);
    // Backup information has no text of its own.
    Formatted backup = Format(sd.data(), kAll | BACKUP_SECURITY_INFORMATION);
    EXPECT_TRUE(backup.ok);
    EXPECT_EQ(backup.text, L"");
}

TEST(SddlFormat, LengthCountsTheTerminatingNull) {
    Bytes sd = SelfRelative(0, &kAdmins, nullptr, nullptr, nullptr);
    Formatted f = Format(sd.data());
    EXPECT_EQ(f.text, L"O:BA");
    EXPECT_EQ(f.length, 5u);
    // The length is optional.
    LPWSTR raw = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1, kAll, &raw, nullptr));
    LocalFree(raw);
}

TEST(SddlFormat, NullAbsentAndEmptyDaclsDiffer) {
    Bytes nullDacl = SelfRelative(SE_DACL_PRESENT | SE_DACL_PROTECTED, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(Format(nullDacl.data()).text, L"D:PNO_ACCESS_CONTROL");
    Bytes absent = SelfRelative(0, &kAdmins, nullptr, nullptr, nullptr);
    EXPECT_EQ(Format(absent.data()).text, L"O:BA");
    Bytes emptyAcl = Acl({});
    EXPECT_EQ(FormatDacl(emptyAcl), L"D:");
    EXPECT_EQ(FormatDacl(emptyAcl, SE_DACL_AUTO_INHERIT_REQ | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED), L"D:PARAI");
}

TEST(SddlFormat, RightsPrintAsAliasLettersOrHex) {
    struct Case {
        ACCESS_MASK mask;
        const wchar_t* text;
    } cases[] = {
        {0x1F01FF, L"FA"},   {0x120089, L"FR"},        {0x120116, L"FW"},         {0x1200A0, L"FX"},
        {0xF003F, L"KA"},    {0x20019, L"KR"},         {0x20006, L"KW"},          {0, L""},
        {0x1, L"CC"},        {0x10030000, L"SDRCGA"},  {0xF0000000, L"GAGXGWGR"}, {0x1FF, L"CCDCLCSWRPWPDTLOCR"},
        {0x1200A9, L"0x1200a9"}, {ACCESS_SYSTEM_SECURITY, L"0x1000000"}, {0x200, L"0x200"},
    };
    for (const Case& c : cases) {
        Bytes dacl = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 0, c.mask, kEveryone)});
        EXPECT_EQ(FormatDacl(dacl), std::wstring(L"D:(A;;") + c.text + L";;;WD)") << std::hex << c.mask;
    }
}

TEST(SddlFormat, MandatoryLabelsNameTheirPolicyBits) {
    Bytes high = Sid(16, {12288});
    Bytes sacl = Acl({Ace(SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, 0x1, high),
                      Ace(SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, 0x7, Sid(16, {4096}))});
    Bytes sd = SelfRelative(SE_SACL_PRESENT, nullptr, nullptr, nullptr, &sacl);
    EXPECT_EQ(Format(sd.data()).text, L"S:(ML;;NW;;;HI)(ML;;NWNRNX;;;LW)");
}

TEST(SddlFormat, LabelInformationShowsOnlyTheLabel) {
    Bytes sacl = Acl({Ace(SYSTEM_AUDIT_ACE_TYPE, FAILED_ACCESS_ACE_FLAG, GENERIC_ALL, kEveryone),
                      Ace(SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, 0x1, Sid(16, {12288}))});
    Bytes sd = SelfRelative(SE_SACL_PRESENT | SE_SACL_PROTECTED, nullptr, nullptr, nullptr, &sacl);
    EXPECT_EQ(Format(sd.data(), LABEL_SECURITY_INFORMATION).text, L"S:(ML;;NW;;;HI)");
    EXPECT_EQ(Format(sd.data(), SACL_SECURITY_INFORMATION).text, L"S:P(AU;FA;GA;;;WD)(ML;;NW;;;HI)");
    Bytes noLabel = Acl({Ace(SYSTEM_AUDIT_ACE_TYPE, FAILED_ACCESS_ACE_FLAG, GENERIC_ALL, kEveryone)});
    Bytes sd2 = SelfRelative(SE_SACL_PRESENT, nullptr, nullptr, nullptr, &noLabel);
    EXPECT_EQ(Format(sd2.data(), LABEL_SECURITY_INFORMATION).text, L"");
}

TEST(SddlFormat, AceFlagsComeOutInBitOrder) {
    Bytes dacl = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 0xFF, GENERIC_READ, kEveryone),
                      Ace(ACCESS_DENIED_ACE_TYPE, INHERITED_ACE | CONTAINER_INHERIT_ACE, GENERIC_READ, kEveryone)});
    EXPECT_EQ(FormatDacl(dacl), L"D:(A;OICINPIOIDCRSAFA;GR;;;WD)(D;CIID;GR;;;WD)");
}

TEST(SddlFormat, ObjectAcesPrintLowerCaseGuids) {
    Bytes dacl = Acl({ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0x100, &kPropertyGuid, &kClassGuid, kEveryone),
                      ObjectAce(ACCESS_DENIED_OBJECT_ACE_TYPE, 0x10, nullptr, &kClassGuid, kAdmins),
                      ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0x10, nullptr, nullptr, kAdmins)},
                     ACL_REVISION_DS);
    EXPECT_EQ(FormatDacl(dacl),
              L"D:(OA;;CR;f30e3bbe-9ff0-11d1-b603-0000f80367c1;bf967aa5-0de6-11d0-a285-00aa003049e2;WD)"
              L"(OD;;RP;;bf967aa5-0de6-11d0-a285-00aa003049e2;BA)(OA;;RP;;;BA)");
}

TEST(SddlFormat, DomainAliasesOnlyForTheComputersOwnDomain) {
    Bytes machine = Sid(5, {21, 11, 22, 33});
    Bytes domain = Sid(5, {21, 44, 55, 66});
    ScopedDomainContext context(machine, domain);
    Bytes dacl = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, Sid(5, {21, 44, 55, 66, 512})),
                      Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, Sid(5, {21, 99, 98, 97, 512})),
                      Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, Sid(5, {21, 11, 22, 33, 500})),
                      Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, Sid(5, {21, 11, 22, 33, 512})),
                      Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, Sid(5, {21, 44, 55, 66, 1105}))});
    EXPECT_EQ(FormatDacl(dacl),
              L"D:(A;;GA;;;DA)(A;;GA;;;S-1-5-21-99-98-97-512)(A;;GA;;;LA)(A;;GA;;;S-1-5-21-11-22-33-512)"
              L"(A;;GA;;;S-1-5-21-44-55-66-1105)");
}

TEST(SddlFormat, WithoutADomainNoDomainAliasIsPrinted) {
    Bytes defaultGuest = Sid(5, {21, 1004336348, 1177238915, 682003330, 501});
    Bytes sd2 = SelfRelative(0, &defaultGuest, nullptr, nullptr, nullptr);
    EXPECT_EQ(Format(sd2.data()).text, L"O:LG");
    Bytes someDomainAdmins = Sid(5, {21, 1, 2, 3, 512});
    Bytes sd3 = SelfRelative(0, &someDomainAdmins, nullptr, nullptr, nullptr);
    EXPECT_EQ(Format(sd3.data()).text, L"O:S-1-5-21-1-2-3-512");
}

TEST(SddlFormat, DamagedDescriptorsFailCleanly) {
    Bytes good = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kEveryone)});
    auto dacl = [](Bytes acl) { return SelfRelative(SE_DACL_PRESENT, nullptr, nullptr, &acl, nullptr); };

    Bytes overrun = good;
    overrun[8 + 2] = 40;  // ACE claims more than the ACL holds
    Bytes extraCount = good;
    extraCount[4] = 2;  // two ACEs announced, one present
    Bytes zeroSize = good;
    zeroSize[8 + 2] = 0;  // would loop forever if trusted
    zeroSize[8 + 3] = 0;
    Bytes shortAce = good;
    shortAce[8 + 2] = 12;  // too short for its SID
    Bytes badRevision = good;
    badRevision[0] = 9;
    Bytes badSidInAce = good;
    badSidInAce[8 + 8 + 1] = 16;  // 16 sub-authorities
    for (const Bytes* acl : {&overrun, &extraCount, &zeroSize, &shortAce, &badRevision, &badSidInAce}) {
        Bytes sd = dacl(*acl);
        Formatted f = Format(sd.data());
        EXPECT_FALSE(f.ok);
        EXPECT_EQ(f.error, static_cast<DWORD>(ERROR_INVALID_ACL));
    }
    Bytes truncatedObject = Acl({ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 1, &kPropertyGuid, nullptr, kEveryone)},
                                ACL_REVISION_DS);
    truncatedObject[8 + 2] = 20;  // flags say a GUID follows, the ACE ends first
    truncatedObject[2] = 28;
    Bytes sd = dacl(truncatedObject);
    EXPECT_EQ(Format(sd.data()).error, static_cast<DWORD>(ERROR_INVALID_ACL));

    Bytes badOwner = Sid(5, {18});
    badOwner[0] = 2;
    Bytes ownerSd = SelfRelative(0, &badOwner, nullptr, nullptr, nullptr);
    EXPECT_EQ(Format(ownerSd.data()).error, static_cast<DWORD>(ERROR_INVALID_SID));

    Bytes badSd = SelfRelative(0, &kAdmins, nullptr, nullptr, nullptr);
    badSd[0] = 2;
    EXPECT_EQ(Format(badSd.data()).error, static_cast<DWORD>(ERROR_UNKNOWN_REVISION));

    Bytes intoHeader = SelfRelative(0, &kAdmins, nullptr, nullptr, nullptr);
    intoHeader[8] = 4;  // the group "lies" inside the header
    EXPECT_EQ(Format(intoHeader.data()).error, static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
}

TEST(SddlFormat, UnsupportedAceTypesAreRefusedNotGuessed) {
    Bytes callback = Acl({Ace(ACCESS_ALLOWED_CALLBACK_ACE_TYPE, 0, GENERIC_ALL, kEveryone)});
    Bytes sd = SelfRelative(SE_DACL_PRESENT, nullptr, nullptr, &callback, nullptr);
    Formatted f = Format(sd.data());
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(f.error, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(SddlFormat, ArgumentsAndRevisionAreChecked) {
    LPWSTR text = nullptr;
    EXPECT_FALSE(ConvertSecurityDescriptorToStringSecurityDescriptorW(nullptr, SDDL_REVISION_1, kAll, &text, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Bytes sd = SelfRelative(0, &kAdmins, nullptr, nullptr, nullptr);
    EXPECT_FALSE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1, kAll, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), 2, kAll, &text, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    EXPECT_EQ(text, nullptr);
}

// Text Windows prints unchanged must survive parsing and printing here too.
TEST(SddlFormat, CanonicalTextRoundTrips) {
    for (const wchar_t* text : {
             L"O:S-1-0x123456789ABC-1G:S-1-4294967295-7D:NO_ACCESS_CONTROLS:",
             // A hex authority ends before the D of "D:", which opens the DACL.
             L"O:S-1-0xDDCDDDDDDDD:P",
             L"D:AR(A;;;;;WD)(D;OICIIO;0x1200a9;;;BU)(OD;;CR;;bf967aa5-0de6-11d0-a285-00aa003049e2;AU)",
             L"S:PAI(AU;SA;FR;;;WD)(AL;FA;FW;;;BA)(OL;SA;WP;f30e3bbe-9ff0-11d1-b603-0000f80367c1;;PS)"
             L"(ML;;NWNR;;;ME)(SP;;;;;S-1-17-1)",
             L"D:(A;;KA;;;SY)(A;;KR;;;BU)(A;;KW;;;CO)(A;ID;FX;;;S-1-5-80-1-2-3-4-5)",
         }) {
        PSECURITY_DESCRIPTOR raw = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &raw, nullptr))
            << GetLastError();
        std::unique_ptr<void, LocalFreeDeleter> sd(raw);
        EXPECT_EQ(Format(sd.get()).text, text);
    }
}

TEST(SidToStringSid, WritesTheStandardNotation) {
    auto text = [](const Bytes& sid) {
        LPWSTR raw = nullptr;
        EXPECT_TRUE(ConvertSidToStringSidW(const_cast<BYTE*>(sid.data()), &raw));
        std::unique_ptr<void, LocalFreeDeleter> owned(raw);
        return raw ? std::wstring(raw) : std::wstring();
    };
    EXPECT_EQ(text(kAdmins), L"S-1-5-32-544");  // never the alias
    EXPECT_EQ(text(Sid(0x123456789ABCull, {1})), L"S-1-0x123456789ABC-1");
    EXPECT_EQ(text(Sid(0xFFFFFFFFull, {4294967295u})), L"S-1-4294967295-4294967295");
    EXPECT_EQ(text(Sid(0x100000000ull, {})), L"S-1-0x100000000");
    EXPECT_EQ(text(Sid(0x12A05F200ull, {30})), L"S-1-0x12A05F200-30");

    Bytes bad = kAdmins;
    bad[1] = 16;
    LPWSTR raw = nullptr;
    EXPECT_FALSE(ConvertSidToStringSidW(bad.data(), &raw));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_FALSE(ConvertSidToStringSidW(nullptr, &raw));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(raw, nullptr);
}

// Every alias Windows prints comes back as itself, and SIDs one step away
// from an alias (a longer SID, another last RID, another authority) print
// as numbers.
TEST(SddlFormat, EveryAliasRoundTripsAndNearMissesPrintAsNumbers) {
    ScopedDomainContext context(Sid(5, {21, 11, 22, 33}), Sid(5, {21, 44, 55, 66}));
    const wchar_t* const aliases[] = {
        L"AA", L"AC", L"AN", L"AO", L"AP", L"AS", L"AU", L"BA", L"BG", L"BO", L"BU", L"CA", L"CD", L"CG",
        L"CN", L"CO", L"CY", L"DA", L"DC", L"DD", L"DG", L"DU", L"EA", L"ED", L"EK", L"ER", L"ES", L"HA",
        L"HI", L"IS", L"IU", L"KA", L"LA", L"LG", L"LS", L"LU", L"LW", L"ME", L"MP", L"MS", L"MU", L"NO",
        L"NS", L"NU", L"OW", L"PA", L"PO", L"PS", L"PU", L"RA", L"RC", L"RD", L"RE", L"RM", L"RO", L"RS",
        L"RU", L"SA", L"SI", L"SO", L"SS", L"SU", L"SY", L"UD", L"WD", L"WR"};
    for (const wchar_t* alias : aliases) {
        PSID raw = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(alias, &raw)) << alias;
        std::unique_ptr<void, LocalFreeDeleter> sid(raw);
        const auto* p = static_cast<const BYTE*>(raw);
        Bytes bytes(p, p + 8 + 4 * p[1]);
        Bytes sd = SelfRelative(0, &bytes, nullptr, nullptr, nullptr);
        EXPECT_EQ(Format(sd.data()).text, std::wstring(L"O:") + alias) << alias;
    }
    const std::pair<Bytes, const wchar_t*> nearMisses[] = {
        {Sid(5, {32, 544, 1}), L"O:S-1-5-32-544-1"},
        {Sid(5, {32, 543}), L"O:S-1-5-32-543"},
        {Sid(6, {32, 544}), L"O:S-1-6-32-544"},
        {Sid(5, {32 + 0x10000, 544}), L"O:S-1-5-65568-544"},
        {Sid(5, {84, 0, 0, 0, 0, 1}), L"O:S-1-5-84-0-0-0-0-1"},
        {Sid(5, {21, 11, 22, 33, 502}), L"O:S-1-5-21-11-22-33-502"},
        {Sid(5, {21, 11, 22, 34, 500}), L"O:S-1-5-21-11-22-34-500"},
        {Sid(5, {21, 44, 55, 66, 500}), L"O:S-1-5-21-44-55-66-500"},
        {Sid(5, {21, 11, 22, 33}), L"O:S-1-5-21-11-22-33"},
    };
    for (const auto& [sid, text] : nearMisses) {
        Bytes sd = SelfRelative(0, &sid, nullptr, nullptr, nullptr);
        EXPECT_EQ(Format(sd.data()).text, text);
    }
}

// The longest ACE text there is: every flag, every named right, both GUIDs
// and a SID of fifteen maximal sub-authorities under a 48-bit authority.
// Objects of one directory mostly share their descriptor, so texts are kept
// for recent descriptors: a kept text must answer only the same bytes, parts
// asked for and domain context, whatever memory the descriptor sits in.
TEST(SddlFormat, RepeatedConversionsFollowTheBytesPartsAndContext) {
    Bytes machine = Sid(5, {21, 11, 22, 33});
    Bytes admin = Sid(5, {21, 11, 22, 33, 500});
    Bytes dacl = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, admin)});
    Bytes sd = SelfRelative(SE_DACL_PRESENT, &kAdmins, nullptr, &dacl, nullptr);
    {
        ScopedDomainContext context(machine, {});
        EXPECT_EQ(Format(sd.data()).text, L"O:BAD:(A;;GA;;;LA)");
        EXPECT_EQ(Format(sd.data()).text, L"O:BAD:(A;;GA;;;LA)");
    }
    // Another computer: the same bytes name no alias of its own.
    EXPECT_EQ(Format(sd.data()).text, L"O:BAD:(A;;GA;;;S-1-5-21-11-22-33-500)");

    // One absolute descriptor whose parts change in place between calls,
    // each change in one byte the text shows, and the parts asked for.
    Bytes owner = kAdmins;
    Bytes changing = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, kEveryone)});
    SECURITY_DESCRIPTOR absolute = {};
    absolute.Revision = SECURITY_DESCRIPTOR_REVISION;
    absolute.Control = SE_DACL_PRESENT;
    absolute.Owner = owner.data();
    absolute.Dacl = reinterpret_cast<PACL>(changing.data());
    struct Step {
        size_t offset;  // into the DACL, or SIZE_MAX for none
        BYTE value;
        WORD control;
        SECURITY_INFORMATION info;
        const wchar_t* expected;
    };
    const Step steps[] = {
        {SIZE_MAX, 0, SE_DACL_PRESENT, kAll, L"O:BAD:(A;;GA;;;WD)"},
        {8 + 1, OBJECT_INHERIT_ACE, SE_DACL_PRESENT, kAll, L"O:BAD:(A;OI;GA;;;WD)"},
        {8 + 7, 0x30, SE_DACL_PRESENT, kAll, L"O:BAD:(A;OI;GAGX;;;WD)"},
        {8 + 8 + 8, 18, SE_DACL_PRESENT, kAll, L"O:BAD:(A;OI;GAGX;;;S-1-1-18)"},
        {SIZE_MAX, 0, SE_DACL_PRESENT | SE_DACL_PROTECTED, kAll, L"O:BAD:P(A;OI;GAGX;;;S-1-1-18)"},
        {SIZE_MAX, 0, SE_DACL_PRESENT | SE_DACL_PROTECTED, DACL_SECURITY_INFORMATION, L"D:P(A;OI;GAGX;;;S-1-1-18)"},
        {8 + 1, 0, SE_DACL_PRESENT, kAll, L"O:BAD:(A;;GAGX;;;S-1-1-18)"},
    };
    for (const Step& step : steps) {
        if (step.offset != SIZE_MAX) changing[step.offset] = step.value;
        absolute.Control = step.control;
        EXPECT_EQ(Format(&absolute, step.info).text, step.expected) << step.expected;
    }
    // The owner changed in place too.
    owner[sizeof(SID_IDENTIFIER_AUTHORITY) + 2 + 4] = 0x21;  // 32-545: BU
    EXPECT_EQ(Format(&absolute, OWNER_SECURITY_INFORMATION).text, L"O:BU");

    // More descriptors than are kept, in turns: every one still its own text.
    std::vector<Bytes> many;
    for (BYTE i = 1; i <= 6; ++i) {
        const Bytes sid = Sid(1, {i});
        many.push_back(SelfRelative(0, &sid, nullptr, nullptr, nullptr));
    }
    for (int round = 0; round < 3; ++round) {
        for (BYTE i = 1; i <= 6; ++i) {
            EXPECT_EQ(Format(many[i - 1].data()).text, L"O:S-1-1-" + std::to_wstring(i));
        }
    }
}

TEST(SddlFormat, LongestAceTextComesOutWhole) {
    Bytes sid = Sid(0xFFFFFFFFFFFFull, {4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u,
                                         4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u,
                                         4294967295u, 4294967295u, 4294967295u, 4294967295u, 4294967295u});
    Bytes ace = ObjectAce(ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0xF00F01FF, &kPropertyGuid, &kClassGuid, sid);
    ace[1] = 0xFF;
    std::wstring sidText = L"S-1-0xFFFFFFFFFFFF";
    for (int i = 0; i < 15; ++i) sidText += L"-4294967295";
    EXPECT_EQ(FormatDacl(Acl({ace}, ACL_REVISION_DS)),
              L"D:(OA;OICINPIOIDCRSAFA;CCDCLCSWRPWPDTLOCRSDRCWDWOGAGXGWGR;f30e3bbe-9ff0-11d1-b603-0000f80367c1;"
              L"bf967aa5-0de6-11d0-a285-00aa003049e2;" +
                  sidText + L")");
}

}  // namespace
