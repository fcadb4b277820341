// Tables of the two-letter SDDL names and their lookups.
#include "winapi/sddl/sddl_aliases.h"

#include <array>
#include <cstring>
#include <iterator>
#include <unordered_map>

#include "winapi/security/string_sid.h"

namespace winapi {
namespace {

// `text` against an upper-case table name, without regard to case. Only
// ASCII letters fold: "ı" or "ſ" must not pass for I or S.
bool SameLetters(std::wstring_view text, const wchar_t* name) {
    size_t i = 0;
    for (; name[i] != L'\0'; ++i) {
        if (i == text.size()) return false;
        wchar_t c = text[i];
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
        if (c != name[i]) return false;
    }
    return i == text.size();
}

// Where the SID behind an alias comes from.
enum class AliasBase {
    Fixed,    // a well-known SID
    Machine,  // a RID of the computer's own accounts
    Domain,   // a RID of the computer's domain
};

struct SidAlias {
    const wchar_t* name;
    AliasBase base;
    uint64_t authority;  // Fixed only
    std::array<DWORD, 6> subs;
    BYTE subCount;
};

constexpr SidAlias Fixed(const wchar_t* name, uint64_t authority, std::initializer_list<DWORD> subs) {
    SidAlias alias{name, AliasBase::Fixed, authority, {}, static_cast<BYTE>(subs.size())};
    size_t i = 0;
    for (DWORD sub : subs) alias.subs[i++] = sub;
    return alias;
}
constexpr SidAlias Relative(const wchar_t* name, AliasBase base, DWORD rid) {
    return SidAlias{name, base, 0, {rid}, 1};
}

// Forest-wide aliases (EA, SA, EK, RO) resolve in the computer's domain: the
// simulated network has no forest above its domains.
constexpr SidAlias kSidAliases[] = {
    Fixed(L"AA", 5, {32, 579}),
    Fixed(L"AC", 15, {2, 1}),
    Fixed(L"AN", 5, {7}),
    Fixed(L"AO", 5, {32, 548}),
    Relative(L"AP", AliasBase::Domain, 525),
    Fixed(L"AS", 18, {1}),
    Fixed(L"AU", 5, {11}),
    Fixed(L"BA", 5, {32, 544}),
    Fixed(L"BG", 5, {32, 546}),
    Fixed(L"BO", 5, {32, 551}),
    Fixed(L"BU", 5, {32, 545}),
    Relative(L"CA", AliasBase::Domain, 517),
    Fixed(L"CD", 5, {32, 574}),
    Fixed(L"CG", 3, {1}),
    Relative(L"CN", AliasBase::Domain, 522),
    Fixed(L"CO", 3, {0}),
    Fixed(L"CY", 5, {32, 569}),
    Relative(L"DA", AliasBase::Domain, 512),
    Relative(L"DC", AliasBase::Domain, 515),
    Relative(L"DD", AliasBase::Domain, 516),
    Relative(L"DG", AliasBase::Domain, 514),
    Relative(L"DU", AliasBase::Domain, 513),
    Relative(L"EA", AliasBase::Domain, 519),
    Fixed(L"ED", 5, {9}),
    Relative(L"EK", AliasBase::Domain, 527),
    Fixed(L"ER", 5, {32, 573}),
    Fixed(L"ES", 5, {32, 576}),
    Fixed(L"HA", 5, {32, 578}),
    Fixed(L"HI", 16, {12288}),
    Fixed(L"IS", 5, {32, 568}),
    Fixed(L"IU", 5, {4}),
    Relative(L"KA", AliasBase::Domain, 526),
    Relative(L"LA", AliasBase::Machine, 500),
    Relative(L"LG", AliasBase::Machine, 501),
    Fixed(L"LS", 5, {19}),
    Fixed(L"LU", 5, {32, 559}),
    Fixed(L"LW", 16, {4096}),
    Fixed(L"ME", 16, {8192}),
    Fixed(L"MP", 16, {8448}),
    Fixed(L"MS", 5, {32, 577}),
    Fixed(L"MU", 5, {32, 558}),
    Fixed(L"NO", 5, {32, 556}),
    Fixed(L"NS", 5, {20}),
    Fixed(L"NU", 5, {2}),
    Fixed(L"OW", 3, {4}),
    Relative(L"PA", AliasBase::Domain, 520),
    Fixed(L"PO", 5, {32, 550}),
    Fixed(L"PS", 5, {10}),
    Fixed(L"PU", 5, {32, 547}),
    Fixed(L"RA", 5, {32, 575}),
    Fixed(L"RC", 5, {12}),
    Fixed(L"RD", 5, {32, 555}),
    Fixed(L"RE", 5, {32, 552}),
    Fixed(L"RM", 5, {32, 580}),
    Relative(L"RO", AliasBase::Domain, 498),
    Relative(L"RS", AliasBase::Domain, 553),
    Fixed(L"RU", 5, {32, 554}),
    Relative(L"SA", AliasBase::Domain, 518),
    Fixed(L"SI", 16, {16384}),
    Fixed(L"SO", 5, {32, 549}),
    Fixed(L"SS", 18, {2}),
    Fixed(L"SU", 5, {6}),
    Fixed(L"SY", 5, {18}),
    Fixed(L"UD", 5, {84, 0, 0, 0, 0, 0}),
    Fixed(L"WD", 1, {0}),
    Fixed(L"WR", 5, {33}),
};

Bytes FixedSid(const SidAlias& alias) {
    return MakeSid(alias.authority, alias.subs.data(), alias.subCount);
}

// The base SID with one more sub-authority, or empty when the base is
// missing or already full.
Bytes AppendRid(const Bytes& base, DWORD rid) {
    if (base.size() < 8 || base[1] >= SID_MAX_SUB_AUTHORITIES) return {};
    Bytes sid = base;
    sid[1] = static_cast<BYTE>(sid[1] + 1);
    for (int b = 0; b < 4; ++b) sid.push_back(static_cast<BYTE>(rid >> (8 * b)));
    return sid;
}

// The well-known aliases by authority, sub-authority count and their first
// two sub-authorities, which tell every one of them apart; a hit is then
// compared in full.
constexpr BYTE kMaxFixedSubs = 6;

uint64_t FixedAliasKey(uint64_t authority, BYTE count, DWORD first, DWORD second) {
    return (authority & 0xFFFF) | uint64_t{count} << 16 | uint64_t{first & 0xFFFF} << 24 |
           uint64_t{second & 0xFFFFFF} << 40;
}

const std::unordered_map<uint64_t, size_t>& FixedAliasIndex() {
    static const std::unordered_map<uint64_t, size_t> index = [] {
        std::unordered_map<uint64_t, size_t> built;
        for (size_t i = 0; i < std::size(kSidAliases); ++i) {
            const SidAlias& entry = kSidAliases[i];
            if (entry.base != AliasBase::Fixed) continue;
            // emplace keeps the first entry for a key, as the table's order asks.
            built.emplace(FixedAliasKey(entry.authority, entry.subCount, entry.subs[0],
                                        entry.subCount > 1 ? entry.subs[1] : 0),
                          i);
        }
        return built;
    }();
    return index;
}

struct RightsName {
    const wchar_t* name;
    ACCESS_MASK mask;
};

constexpr RightsName kRightsTokens[] = {
    {L"GA", GENERIC_ALL},      {L"GR", GENERIC_READ},     {L"GW", GENERIC_WRITE},   {L"GX", GENERIC_EXECUTE},
    {L"RC", READ_CONTROL},     {L"SD", DELETE},           {L"WD", WRITE_DAC},       {L"WO", WRITE_OWNER},
    {L"RP", 0x10},             {L"WP", 0x20},             {L"CC", 0x1},             {L"DC", 0x2},
    {L"LC", 0x4},              {L"SW", 0x8},              {L"LO", 0x80},            {L"DT", 0x40},
    {L"CR", 0x100},            {L"FA", FILE_ALL_ACCESS},  {L"FR", FILE_GENERIC_READ}, {L"FW", FILE_GENERIC_WRITE},
    {L"FX", FILE_GENERIC_EXECUTE}, {L"KA", KEY_ALL_ACCESS}, {L"KR", KEY_READ},      {L"KW", KEY_WRITE},
    {L"KX", KEY_EXECUTE},      {L"NW", 0x1},              {L"NR", 0x2},             {L"NX", 0x4},
};

// Checked in this order; KX is not among them because its value is KR's and
// Windows prints KR.
constexpr RightsName kWholeMaskAliases[] = {
    {L"FA", FILE_ALL_ACCESS}, {L"FR", FILE_GENERIC_READ}, {L"FW", FILE_GENERIC_WRITE}, {L"FX", FILE_GENERIC_EXECUTE},
    {L"KA", KEY_ALL_ACCESS},  {L"KR", KEY_READ},          {L"KW", KEY_WRITE},
};

constexpr std::wstring_view kBitLetters[32] = {
    L"CC", L"DC", L"LC", L"SW", L"RP", L"WP", L"DT", L"LO",  // 0-7
    L"CR", L"",   L"",   L"",   L"",   L"",   L"",   L"",    // 8-15
    L"SD", L"RC", L"WD", L"WO", L"",   L"",   L"",   L"",    // 16-23
    L"",   L"",   L"",   L"",   L"GA", L"GX", L"GW", L"GR",  // 24-31
};
constexpr std::wstring_view kLabelBitLetters[3] = {L"NW", L"NR", L"NX"};

struct AceTypeName {
    const wchar_t* name;
    AceTypeSupport support;
    BYTE type;
};

constexpr AceTypeName kAceTypes[] = {
    {L"A", AceTypeSupport::Supported, ACCESS_ALLOWED_ACE_TYPE},
    {L"D", AceTypeSupport::Supported, ACCESS_DENIED_ACE_TYPE},
    {L"AU", AceTypeSupport::Supported, SYSTEM_AUDIT_ACE_TYPE},
    {L"AL", AceTypeSupport::Supported, SYSTEM_ALARM_ACE_TYPE},
    {L"OA", AceTypeSupport::Supported, ACCESS_ALLOWED_OBJECT_ACE_TYPE},
    {L"OD", AceTypeSupport::Supported, ACCESS_DENIED_OBJECT_ACE_TYPE},
    {L"OU", AceTypeSupport::Supported, SYSTEM_AUDIT_OBJECT_ACE_TYPE},
    {L"OL", AceTypeSupport::Supported, SYSTEM_ALARM_OBJECT_ACE_TYPE},
    {L"ML", AceTypeSupport::Supported, SYSTEM_MANDATORY_LABEL_ACE_TYPE},
    {L"SP", AceTypeSupport::Supported, SYSTEM_SCOPED_POLICY_ID_ACE_TYPE},
    {L"XA", AceTypeSupport::Unsupported, ACCESS_ALLOWED_CALLBACK_ACE_TYPE},
    {L"XD", AceTypeSupport::Unsupported, ACCESS_DENIED_CALLBACK_ACE_TYPE},
    {L"ZA", AceTypeSupport::Unsupported, ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE},
    {L"XU", AceTypeSupport::Unsupported, SYSTEM_AUDIT_CALLBACK_ACE_TYPE},
    {L"RA", AceTypeSupport::Unsupported, SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE},
};

// Ascending bit order, the order Windows prints them in.
constexpr AceFlagName kAceFlags[] = {
    {L"OI", OBJECT_INHERIT_ACE},       {L"CI", CONTAINER_INHERIT_ACE}, {L"NP", NO_PROPAGATE_INHERIT_ACE},
    {L"IO", INHERIT_ONLY_ACE},         {L"ID", INHERITED_ACE},         {L"CR", 0x20},
    {L"SA", SUCCESSFUL_ACCESS_ACE_FLAG}, {L"FA", FAILED_ACCESS_ACE_FLAG},
};

}  // namespace

SidAliasResolution ResolveSidAlias(std::wstring_view alias, const SddlDomainContext& context) {
    SidAliasResolution result;
    for (const SidAlias& entry : kSidAliases) {
        if (!SameLetters(alias, entry.name)) continue;
        switch (entry.base) {
            case AliasBase::Fixed:
                result.sid = FixedSid(entry);
                break;
            case AliasBase::Machine:
                result.sid = AppendRid(context.machineSid, entry.subs[0]);
                break;
            case AliasBase::Domain:
                result.sid = AppendRid(context.domainSid, entry.subs[0]);
                break;
        }
        result.status = result.sid.empty() ? SidAliasStatus::NoDomain : SidAliasStatus::Resolved;
        return result;
    }
    return result;
}

std::wstring_view SidAliasFor(const SID* sid, const SddlDomainContext& context) {
    const BYTE count = sid->SubAuthorityCount;
    if (count == 0) return {};
    // Read bytewise: a SID inside an ACE need not be aligned. Called once per
    // ACE, so nothing here allocates or scans the whole table.
    const BYTE* bytes = reinterpret_cast<const BYTE*>(sid);
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | bytes[i];
    auto sub = [bytes](size_t i) {
        DWORD value = 0;
        std::memcpy(&value, bytes + 8 + 4 * i, sizeof value);
        return value;
    };
    // The table's first entry for a SID wins, fixed or relative alike.
    size_t best = std::size(kSidAliases);
    if (count <= kMaxFixedSubs) {
        const auto& index = FixedAliasIndex();
        if (auto found = index.find(FixedAliasKey(authority, count, sub(0), count > 1 ? sub(1) : 0));
            found != index.end()) {
            const SidAlias& entry = kSidAliases[found->second];
            bool same = true;
            for (BYTE i = 0; i < count && same; ++i) same = sub(i) == entry.subs[i];
            if (same) best = found->second;
        }
    }
    auto underBase = [&](const Bytes& base) {
        return base.size() == 8 + 4 * static_cast<size_t>(count - 1) && base[1] == count - 1 &&
               std::memcmp(base.data() + 2, bytes + 2, base.size() - 2) == 0;
    };
    const bool underMachine = underBase(context.machineSid);
    const bool underDomain = underBase(context.domainSid);
    if (underMachine || underDomain) {
        const DWORD rid = sub(count - 1);
        for (size_t i = 0; i < best; ++i) {
            const SidAlias& entry = kSidAliases[i];
            if (entry.base == AliasBase::Fixed || rid != entry.subs[0]) continue;
            if (entry.base == AliasBase::Machine ? underMachine : underDomain) {
                best = i;
                break;
            }
        }
    }
    return best < std::size(kSidAliases) ? std::wstring_view(kSidAliases[best].name) : std::wstring_view();
}

std::optional<ACCESS_MASK> RightsTokenMask(std::wstring_view token) {
    for (const RightsName& entry : kRightsTokens) {
        if (SameLetters(token, entry.name)) return entry.mask;
    }
    return std::nullopt;
}

std::wstring_view WholeRightsAlias(ACCESS_MASK mask) {
    for (const RightsName& entry : kWholeMaskAliases) {
        if (entry.mask == mask) return entry.name;
    }
    return {};
}

std::wstring_view RightBitLetters(unsigned bit, bool mandatoryLabel) {
    if (bit >= 32) return {};
    if (mandatoryLabel && bit < 3) return kLabelBitLetters[bit];
    return kBitLetters[bit];
}

AceTypeLookup AceTypeForToken(std::wstring_view token) {
    for (const AceTypeName& entry : kAceTypes) {
        if (SameLetters(token, entry.name)) return AceTypeLookup{entry.support, entry.type};
    }
    return {};
}

std::wstring_view AceTypeToken(BYTE type) {
    for (const AceTypeName& entry : kAceTypes) {
        if (entry.type == type && entry.support == AceTypeSupport::Supported) return entry.name;
    }
    return {};
}

bool IsObjectAceType(BYTE type) {
    return type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
           type == SYSTEM_AUDIT_OBJECT_ACE_TYPE || type == SYSTEM_ALARM_OBJECT_ACE_TYPE;
}

std::optional<BYTE> AceFlagForToken(std::wstring_view token) {
    for (const AceFlagName& entry : kAceFlags) {
        if (SameLetters(token, entry.name.data())) return entry.bit;
    }
    return std::nullopt;
}

const AceFlagName* AceFlagNames(size_t* count) {
    *count = std::size(kAceFlags);
    return kAceFlags;
}

}  // namespace winapi
