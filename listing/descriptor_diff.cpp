#include "listing/descriptor_diff.h"

#include <cstring>

#include "acl/ace_sid.h"
#include "engine/local_memory.h"
#include "engine/tavrik.h"
#include "listing/list_record.h"

namespace tavrik {
namespace {

const wchar_t* const kNullDaclText = L"no_DACL(everyone_has_full_access)";
const wchar_t* const kNullSaclText = L"no_SACL";
constexpr BYTE kInheritedAce = 0x10;
// Every ACE type the engine knows keeps its access mask right behind the
// header; what follows it (object flags, GUIDs, SID) is the entry's
// identity.
constexpr DWORD kIdentityOffset = sizeof(ACE_HEADER) + sizeof(DWORD);

struct Parts {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    PSID owner = nullptr, group = nullptr;
    BOOL daclPresent = FALSE, saclPresent = FALSE;
    PACL dacl = nullptr, sacl = nullptr;
};

Parts ReadParts(PSECURITY_DESCRIPTOR sd) {
    Parts parts;
    if (!sd) return parts;
    DWORD revision = 0;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorControl(sd, &parts.control, &revision)) parts.control = 0;
    if (!GetSecurityDescriptorOwner(sd, &parts.owner, &defaulted)) parts.owner = nullptr;
    if (!GetSecurityDescriptorGroup(sd, &parts.group, &defaulted)) parts.group = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &parts.daclPresent, &parts.dacl, &defaulted)) parts.daclPresent = FALSE;
    if (!GetSecurityDescriptorSacl(sd, &parts.saclPresent, &parts.sacl, &defaulted)) parts.saclPresent = FALSE;
    return parts;
}

std::vector<const ACE_HEADER*> AcesOf(PACL acl) {
    std::vector<const ACE_HEADER*> aces;
    if (!acl) return aces;
    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) return aces;
    for (DWORD index = 0; index < size.AceCount; ++index) {
        LPVOID raw = nullptr;
        if (GetAce(acl, index, &raw)) aces.push_back(static_cast<const ACE_HEADER*>(raw));
    }
    return aces;
}

bool SameAce(const ACE_HEADER* a, const ACE_HEADER* b) {
    return a->AceSize == b->AceSize && std::memcmp(a, b, a->AceSize) == 0;
}

// The same entry with other rights: type, flags and everything behind the
// mask alike.
bool SameIdentity(const ACE_HEADER* a, const ACE_HEADER* b) {
    if (a->AceType != b->AceType || a->AceFlags != b->AceFlags || a->AceSize != b->AceSize) return false;
    if (a->AceSize < kIdentityOffset) return false;
    return std::memcmp(reinterpret_cast<const BYTE*>(a) + kIdentityOffset,
                       reinterpret_cast<const BYTE*>(b) + kIdentityOffset, a->AceSize - kIdentityOffset) == 0;
}

// SDDL of a descriptor that holds only what `fill` puts into it; the
// section marker ("D:", "O:") and any ACL flags are cut off.
template <class Fill>
std::wstring PartSddl(SECURITY_INFORMATION part, Fill fill) {
    SECURITY_DESCRIPTOR sd;
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION)) return std::wstring();
    fill(sd);
    LPWSTR raw = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(&sd, SDDL_REVISION_1, part, &raw, nullptr)) {
        return std::wstring();
    }
    LocalPtr<wchar_t> owned(raw);
    std::wstring text = raw ? raw : L"";
    if (part == DACL_SECURITY_INFORMATION || part == SACL_SECURITY_INFORMATION) {
        const size_t open = text.find(L'(');
        return open == std::wstring::npos ? std::wstring() : text.substr(open);
    }
    return text.size() > 2 ? text.substr(2) : text;
}

std::wstring AceSddl(const ACE_HEADER* ace, DWORD aclType) {
    std::vector<BYTE> buffer(sizeof(ACL) + ace->AceSize + sizeof(DWORD), 0);
    auto* acl = reinterpret_cast<PACL>(buffer.data());
    if (!InitializeAcl(acl, static_cast<DWORD>(buffer.size()), ACL_REVISION_DS) ||
        !AddAce(acl, ACL_REVISION_DS, 0, const_cast<ACE_HEADER*>(ace), ace->AceSize)) {
        return std::wstring();
    }
    const SECURITY_INFORMATION part = aclType == ACL_SACL ? SACL_SECURITY_INFORMATION : DACL_SECURITY_INFORMATION;
    return PartSddl(part, [&](SECURITY_DESCRIPTOR& sd) {
        if (aclType == ACL_SACL) {
            SetSecurityDescriptorSacl(&sd, TRUE, acl, FALSE);
        } else {
            SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
        }
    });
}

std::wstring SidSddl(PSID sid, bool group) {
    if (!sid) return std::wstring();
    return PartSddl(group ? GROUP_SECURITY_INFORMATION : OWNER_SECURITY_INFORMATION, [&](SECURITY_DESCRIPTOR& sd) {
        if (group) {
            SetSecurityDescriptorGroup(&sd, sid, FALSE);
        } else {
            SetSecurityDescriptorOwner(&sd, sid, FALSE);
        }
    });
}

std::wstring SidString(PSID sid) {
    LPWSTR raw = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &raw)) return std::wstring();
    LocalPtr<wchar_t> owned(raw);
    return raw;
}

// The job's name for `sid`; a SID no account has (or one whose lookup
// failed) is shown as its SID string, since a comparison should still
// show what changed.
std::wstring TrusteeText(CTavrik& job, PSID sid) {
    if (!sid) return std::wstring();
    const DWORD saved = job.m_lastOsError;
    job.m_lastOsError = 0;
    std::wstring text = job.SidToText(sid);
    if (job.m_lastOsError != 0 || text.empty()) text = SidString(sid);
    job.m_lastOsError = saved;
    return text;
}

DiffEntry EntryOf(CTavrik& job, const ACE_HEADER* ace, DWORD aclType) {
    DiffEntry entry;
    PSID sid = AceSid(ace, AceSidReach::EveryAce);
    entry.trustee = TrusteeText(job, sid);
    entry.sid = SidString(sid);
    entry.mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask;
    entry.rights = job.MaskToText(entry.mask);
    if (entry.rights.empty()) {
        wchar_t hex[16];
        swprintf(hex, sizeof hex / sizeof hex[0], L"0x%lx", static_cast<unsigned long>(entry.mask));
        entry.rights = hex;
    }
    entry.type = job.AceTypeToText(ace->AceType);
    entry.flags = job.AceFlagsToText(ace->AceFlags);
    entry.aceFlags = ace->AceFlags;
    entry.inherited = (ace->AceFlags & kInheritedAce) != 0;
    entry.sddl = AceSddl(ace, aclType);
    return entry;
}

void DiffSid(CTavrik& job, PSID before, PSID after, bool group, PartChange& change) {
    const bool same = (!before && !after) || (before && after && EqualSid(before, after));
    if (same) return;
    change.changed = true;
    change.before = TrusteeText(job, before);
    change.after = TrusteeText(job, after);
    change.beforeSddl = SidSddl(before, group);
    change.afterSddl = SidSddl(after, group);
}

std::wstring AclState(const wchar_t* name, BOOL present, PACL acl, bool isProtected, bool autoInherited,
                      const wchar_t* nullText) {
    if (!present || !acl) return nullText;
    return name + ProtectionText(isProtected, autoInherited);
}

void DiffAcl(CTavrik& job, DWORD aclType, const Parts& before, const Parts& after, DescriptorDiff& diff) {
    const bool dacl = aclType == ACL_DACL;
    const SECURITY_DESCRIPTOR_CONTROL protectedBit = dacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED;
    const SECURITY_DESCRIPTOR_CONTROL inheritedBit = dacl ? SE_DACL_AUTO_INHERITED : SE_SACL_AUTO_INHERITED;
    const wchar_t* name = dacl ? L"DACL" : L"SACL";
    const wchar_t* nullText = dacl ? kNullDaclText : kNullSaclText;
    PACL beforeAcl = dacl ? before.dacl : before.sacl;
    PACL afterAcl = dacl ? after.dacl : after.sacl;
    const BOOL beforePresent = dacl ? before.daclPresent : before.saclPresent;
    const BOOL afterPresent = dacl ? after.daclPresent : after.saclPresent;

    PartChange& state = dacl ? diff.dacl : diff.sacl;
    state.before = AclState(name, beforePresent, beforeAcl, before.control & protectedBit,
                            before.control & inheritedBit, nullText);
    state.after = AclState(name, afterPresent, afterAcl, after.control & protectedBit, after.control & inheritedBit,
                           nullText);
    state.changed = state.before != state.after;
    state.beforeSddl = state.before;
    state.afterSddl = state.after;

    const auto old = AcesOf(beforePresent ? beforeAcl : nullptr);
    const auto now = AcesOf(afterPresent ? afterAcl : nullptr);
    // Entries in both, byte for byte, are unchanged; each pairs with one
    // counterpart only, so a doubled entry that lost its twin shows.
    std::vector<bool> oldMatched(old.size(), false), nowMatched(now.size(), false);
    for (size_t i = 0; i < old.size(); ++i) {
        for (size_t k = 0; k < now.size(); ++k) {
            if (!nowMatched[k] && SameAce(old[i], now[k])) {
                oldMatched[i] = nowMatched[k] = true;
                break;
            }
        }
    }
    bool anyChange = false;
    // What is left on both sides with the same trustee, type and flags
    // changed its rights.
    for (size_t i = 0; i < old.size(); ++i) {
        if (oldMatched[i]) continue;
        for (size_t k = 0; k < now.size(); ++k) {
            if (!nowMatched[k] && SameIdentity(old[i], now[k])) {
                oldMatched[i] = nowMatched[k] = anyChange = true;
                diff.entries.push_back({EntryChangeKind::RightsChanged, aclType, EntryOf(job, old[i], aclType),
                                        EntryOf(job, now[k], aclType)});
                break;
            }
        }
    }
    for (size_t i = 0; i < old.size(); ++i) {
        if (oldMatched[i]) continue;
        anyChange = true;
        diff.entries.push_back({EntryChangeKind::Removed, aclType, EntryOf(job, old[i], aclType), {}});
    }
    for (size_t k = 0; k < now.size(); ++k) {
        if (nowMatched[k]) continue;
        anyChange = true;
        diff.entries.push_back({EntryChangeKind::Added, aclType, {}, EntryOf(job, now[k], aclType)});
    }
    if (anyChange || old.size() != now.size()) return;
    for (size_t i = 0; i < old.size(); ++i) {
        if (!SameAce(old[i], now[i])) {
            (dacl ? diff.daclReordered : diff.saclReordered) = true;
            return;
        }
    }
}

std::wstring EntryWords(const DiffEntry& entry) {
    return entry.trustee + L"   " + entry.rights + L"   " + entry.type + L"   " + entry.flags;
}

}  // namespace

DescriptorDiff DiffDescriptors(CTavrik& job, DWORD objectType, PSECURITY_DESCRIPTOR before,
                               PSECURITY_DESCRIPTOR after, SECURITY_INFORMATION parts) {
    // The rights words depend on the object type, which the job keeps.
    const DWORD savedType = job.m_objectType;
    job.m_objectType = objectType;
    DescriptorDiff diff;
    const Parts old = ReadParts(before), now = ReadParts(after);
    if (parts & OWNER_SECURITY_INFORMATION) DiffSid(job, old.owner, now.owner, false, diff.owner);
    if (parts & GROUP_SECURITY_INFORMATION) DiffSid(job, old.group, now.group, true, diff.group);
    if (parts & DACL_SECURITY_INFORMATION) DiffAcl(job, ACL_DACL, old, now, diff);
    if (parts & SACL_SECURITY_INFORMATION) DiffAcl(job, ACL_SACL, old, now, diff);
    job.m_objectType = savedType;
    return diff;
}

bool DiffSddl(CTavrik& job, DWORD objectType, const std::wstring& before, const std::wstring& after,
              SECURITY_INFORMATION parts, DescriptorDiff& diff) {
    PSECURITY_DESCRIPTOR rawBefore = nullptr, rawAfter = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(before.c_str(), SDDL_REVISION_1, &rawBefore, nullptr)) {
        return false;
    }
    LocalPtr<> ownedBefore(rawBefore);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(after.c_str(), SDDL_REVISION_1, &rawAfter, nullptr)) {
        return false;
    }
    LocalPtr<> ownedAfter(rawAfter);
    diff = DiffDescriptors(job, objectType, rawBefore, rawAfter, parts);
    return true;
}

std::vector<std::wstring> DiffLines(const DescriptorDiff& diff, bool sddl) {
    std::vector<std::wstring> lines;
    auto part = [&](const wchar_t* name, const PartChange& change) {
        if (!change.changed) return;
        lines.push_back(std::wstring(name) + L": " + (sddl ? change.beforeSddl : change.before) + L" -> " +
                        (sddl ? change.afterSddl : change.after));
    };
    part(L"Owner", diff.owner);
    part(L"Group", diff.group);
    if (diff.dacl.changed) lines.push_back(diff.dacl.before + L" -> " + diff.dacl.after);
    if (diff.sacl.changed) lines.push_back(diff.sacl.before + L" -> " + diff.sacl.after);
    for (const EntryChange& change : diff.entries) {
        const std::wstring acl = change.acl == ACL_SACL ? L"SACL: " : L"DACL: ";
        switch (change.kind) {
            case EntryChangeKind::Added:
                lines.push_back(L"+ " + acl + (sddl ? change.after.sddl : EntryWords(change.after)));
                break;
            case EntryChangeKind::Removed:
                lines.push_back(L"- " + acl + (sddl ? change.before.sddl : EntryWords(change.before)));
                break;
            case EntryChangeKind::RightsChanged:
                if (sddl) {
                    lines.push_back(L"~ " + acl + change.before.sddl + L" -> " + change.after.sddl);
                } else {
                    lines.push_back(L"~ " + acl + change.after.trustee + L"   " + change.before.rights + L" -> " +
                                    change.after.rights + L"   " + change.after.type + L"   " + change.after.flags);
                }
                break;
        }
    }
    if (diff.daclReordered) lines.push_back(L"DACL: the same entries in another order");
    if (diff.saclReordered) lines.push_back(L"SACL: the same entries in another order");
    return lines;
}

}  // namespace tavrik
