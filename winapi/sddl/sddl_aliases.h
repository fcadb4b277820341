// The two-letter names of SDDL: SID aliases, access-right names, ACE types
// and ACE flags, each resolved in both directions.
#pragma once

#include <optional>
#include <string_view>

#include "winapi/security/bytes.h"
#include "winapi/sddl/sddl_context.h"
#include "winapi/security.h"

namespace winapi {

// ---- SID aliases ----------------------------------------------------------
enum class SidAliasStatus {
    NotAnAlias,  // no alias of that name
    NoDomain,    // a domain alias, but the computer belongs to no domain
    Resolved,
};

struct SidAliasResolution {
    SidAliasStatus status = SidAliasStatus::NotAnAlias;
    Bytes sid;
};

// Resolves a two-letter alias ("BA", "la", ...) without regard to case.
// Machine-relative aliases (LA, LG) take the context's machine SID, domain
// aliases (DA, DU, EA, ...) its domain SID.
SidAliasResolution ResolveSidAlias(std::wstring_view alias, const SddlDomainContext& context);

// The alias Windows prints for a well-formed SID, or empty when it has none.
// Domain aliases are given only for SIDs of the context's own domain.
std::wstring_view SidAliasFor(const SID* sid, const SddlDomainContext& context);

// ---- access rights ------------------------------------------------------------
// The mask of one two-letter right ("GA", "rp", "FA", "NW", ...), any case.
std::optional<ACCESS_MASK> RightsTokenMask(std::wstring_view token);

// The name Windows prints for a whole mask (FA FR FW FX KA KR KW), or empty.
std::wstring_view WholeRightsAlias(ACCESS_MASK mask);

// The letters Windows prints for one bit of a mask, or empty when the bit has
// none. Mandatory-label ACEs name their low three bits NW, NR and NX.
std::wstring_view RightBitLetters(unsigned bit, bool mandatoryLabel);

// ---- ACE types and flags ------------------------------------------------------
enum class AceTypeSupport {
    Unknown,      // not an ACE type of SDDL
    Unsupported,  // a type of SDDL this layer does not convert (conditions, resource attributes)
    Supported,
};

struct AceTypeLookup {
    AceTypeSupport support = AceTypeSupport::Unknown;
    BYTE type = 0;
};

AceTypeLookup AceTypeForToken(std::wstring_view token);

// The SDDL name of a supported ACE type, or empty.
std::wstring_view AceTypeToken(BYTE type);

// True for the ACE types laid out with Flags and optional GUIDs.
bool IsObjectAceType(BYTE type);

// The bit of one two-letter ACE flag ("CI", "sa", ...), any case.
std::optional<BYTE> AceFlagForToken(std::wstring_view token);

struct AceFlagName {
    std::wstring_view name;
    BYTE bit;
};

// Every ACE flag with a name, in the order Windows prints them.
const AceFlagName* AceFlagNames(size_t* count);

}  // namespace winapi
