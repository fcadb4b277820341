#include "winapi/security/inheritance.h"

#include <cstring>
#include <vector>

#include "winapi/security/ace_list.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/errors.h"
#include "winapi/security/security_layout.h"

namespace winapi {
namespace {

constexpr BYTE kInheritanceBits = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;
constexpr ACCESS_MASK kGenericBits = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

// One ACL of a descriptor, owned. `present` without `isNull` and without
// ACEs is an empty ACL, which denies everything; `isNull` is a NULL ACL,
// which (as a DACL) grants everything.
struct AclPart {
    bool present = false;
    bool isNull = false;
    AceList aces;

    bool IsList() const { return present && !isNull; }
};

struct OwnedDescriptor {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    Bytes owner;
    Bytes group;
    AclPart dacl;
    AclPart sacl;
};

size_t AclSizeOf(const BYTE* acl) { return static_cast<size_t>(acl[2]) | (static_cast<size_t>(acl[3]) << 8); }

// An ACL of a descriptor ParseSelfRelative accepted: validated there within
// its own size, as ReadAceList would validate it again.
void LoadAcl(const ACL* acl, bool present, AclPart* part) {
    part->present = present;
    part->isNull = present && acl == nullptr;
    part->aces.clear();
    if (acl == nullptr) return;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(acl);
    part->aces.reserve(ReadWord(bytes + 4));
    VisitValidatedAces(bytes, [part](const AceView& ace) { part->aces.emplace_back(ace.data(), ace.size()); });
}

bool Load(const Bytes& sd, OwnedDescriptor* out) {
    DescriptorParts parts;
    if (sd.empty() || ParseSelfRelative(sd.data(), sd.size(), &parts) != ERROR_SUCCESS) return false;
    out->control = parts.control;
    const BYTE* owner = reinterpret_cast<const BYTE*>(parts.owner);
    const BYTE* group = reinterpret_cast<const BYTE*>(parts.group);
    out->owner = owner ? Bytes(owner, owner + KnownSidSize(owner)) : Bytes{};
    out->group = group ? Bytes(group, group + KnownSidSize(group)) : Bytes{};
    LoadAcl(parts.dacl, (parts.control & SE_DACL_PRESENT) != 0, &out->dacl);
    LoadAcl(parts.sacl, (parts.control & SE_SACL_PRESENT) != 0, &out->sacl);
    return true;
}

// The parent of a walk's objects is the same for all its children: its
// decoded form is kept for the next child rather than read again, and
// compared byte for byte before it is used; so are the ACEs it passes on to
// children of one kind, owner and group, which are the same for all of
// them. Per thread, so that no caller waits for another.
struct InheritedForChild {
    const AclPart* acl;
    bool isContainer;
    Bytes owner, group;
    GENERIC_MAPPING mapping;
    AceList aces;
};

struct KeptParent {
    bool filled = false;
    bool usable = false;
    Bytes bytes;
    OwnedDescriptor parsed;
    std::vector<InheritedForChild> inherited;  // a few kinds of child at most
};

thread_local KeptParent keptParent;

const OwnedDescriptor* LoadParent(const Bytes& sd) {
    KeptParent& kept = keptParent;
    if (!kept.filled || kept.bytes != sd) {
        kept.filled = true;
        kept.bytes = sd;
        kept.parsed = OwnedDescriptor();
        kept.inherited.clear();
        kept.usable = Load(sd, &kept.parsed);
    }
    return kept.usable ? &kept.parsed : nullptr;
}

// The descriptor's bytes, or empty when an ACL grew past what an ACL can hold.
Bytes Store(const OwnedDescriptor& sd) {
    SECURITY_DESCRIPTOR_CONTROL control = sd.control & ~(SE_DACL_PRESENT | SE_SACL_PRESENT);
    if (sd.dacl.present) control |= SE_DACL_PRESENT;
    if (sd.sacl.present) control |= SE_SACL_PRESENT;
    const Bytes dacl = sd.dacl.IsList() ? BuildAclBytes(sd.dacl.aces) : Bytes{};
    const Bytes sacl = sd.sacl.IsList() ? BuildAclBytes(sd.sacl.aces) : Bytes{};
    if ((sd.dacl.IsList() && dacl.empty()) || (sd.sacl.IsList() && sacl.empty())) return {};
    auto sidOrNull = [](const Bytes& b) { return b.empty() ? nullptr : reinterpret_cast<const SID*>(b.data()); };
    auto aclOrNull = [](const Bytes& b) { return b.empty() ? nullptr : reinterpret_cast<const ACL*>(b.data()); };
    return BuildSelfRelative(control | SE_SELF_RELATIVE, sidOrNull(sd.owner), sidOrNull(sd.group), aclOrNull(sacl),
                             aclOrNull(dacl));
}

bool IsCreatorSid(const BYTE* sid) {
    return sid != nullptr && (SameSid(sid, CreatorOwnerSid().data()) || SameSid(sid, CreatorGroupSid().data()));
}

// The form an inherited ACE takes where it is in effect on the child:
// CREATOR OWNER and CREATOR GROUP stand for the child's owner and group,
// and generic rights become the object's specific rights.
AceEntry Resolve(AceEntry ace, const Bytes& owner, const Bytes& group, const GENERIC_MAPPING& mapping) {
    const BYTE* sid = ace.Sid();
    if (sid != nullptr && SameSid(sid, CreatorOwnerSid().data()) && !owner.empty()) {
        ace.ReplaceSid(owner.data());
    } else if (sid != nullptr && SameSid(sid, CreatorGroupSid().data()) && !group.empty()) {
        ace.ReplaceSid(group.data());
    }
    ace.SetMask(MapGenericRights(ace.Mask(), mapping));
    return ace;
}

// Appends the child's copy of a parent ACE. `flags` are the inheritance
// bits the copy keeps; when the copy is in effect on the child yet still
// passes on, and needs resolving, it splits in two: the resolved effective
// ACE and an inherit-only ACE that carries the original on to grandchildren.
void AppendInherited(const AceEntry& parentAce, BYTE flags, const Bytes& owner, const Bytes& group,
                     const GENERIC_MAPPING& mapping, AceList* out) {
    const BYTE kept = static_cast<BYTE>((parentAce.Flags() & ~(kInheritanceBits | INHERITED_ACE)) | INHERITED_ACE);
    AceEntry copy = parentAce;
    copy.SetFlags(static_cast<BYTE>(kept | flags));
    if (flags & INHERIT_ONLY_ACE) {
        out->push_back(std::move(copy));
        return;
    }
    const bool needsResolving = IsCreatorSid(copy.Sid()) || (copy.Mask() & kGenericBits) != 0;
    if (!needsResolving) {
        out->push_back(std::move(copy));
        return;
    }
    if ((flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) == 0) {
        out->push_back(Resolve(std::move(copy), owner, group, mapping));
        return;
    }
    AceEntry effective = copy;
    effective.SetFlags(kept);
    out->push_back(Resolve(std::move(effective), owner, group, mapping));
    copy.SetFlags(static_cast<BYTE>(kept | flags | INHERIT_ONLY_ACE));
    out->push_back(std::move(copy));
}

// The ACEs a new or re-inheriting child takes from its parent's ACL.
AceList InheritedAces(const AclPart& parent, bool isContainer, const Bytes& owner, const Bytes& group,
                      const GENERIC_MAPPING& mapping) {
    AceList out;
    if (!parent.IsList()) return out;
    out.reserve(2 * parent.aces.size());
    for (const AceEntry& ace : parent.aces) {
        const BYTE f = ace.Flags();
        const bool objectInherit = f & OBJECT_INHERIT_ACE;
        const bool containerInherit = f & CONTAINER_INHERIT_ACE;
        const bool noPropagate = f & NO_PROPAGATE_INHERIT_ACE;
        if (isContainer) {
            if (containerInherit) {
                // In effect on the container; passed further unless NO_PROPAGATE stops it here.
                const BYTE flags = noPropagate ? 0 : static_cast<BYTE>(f & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
                AppendInherited(ace, flags, owner, group, mapping, &out);
            } else if (objectInherit && !noPropagate) {
                // Only for the files below: the container merely carries it.
                AppendInherited(ace, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, owner, group, mapping, &out);
            }
        } else if (objectInherit) {
            AppendInherited(ace, 0, owner, group, mapping, &out);
        }
    }
    return out;
}

bool SameMapping(const GENERIC_MAPPING& a, const GENERIC_MAPPING& b) {
    return a.GenericRead == b.GenericRead && a.GenericWrite == b.GenericWrite &&
           a.GenericExecute == b.GenericExecute && a.GenericAll == b.GenericAll;
}

// InheritedAces, kept with the parent when `parent` is one of the kept
// parent's ACLs. The result stays valid until the next call of either.
const AceList& InheritedAcesOnce(const AclPart& parent, bool isContainer, const Bytes& owner, const Bytes& group,
                                 const GENERIC_MAPPING& mapping, AceList* scratch) {
    KeptParent& kept = keptParent;
    const bool ofKeptParent = kept.usable && (&parent == &kept.parsed.dacl || &parent == &kept.parsed.sacl);
    if (!ofKeptParent) {
        *scratch = InheritedAces(parent, isContainer, owner, group, mapping);
        return *scratch;
    }
    for (const InheritedForChild& entry : kept.inherited) {
        if (entry.acl == &parent && entry.isContainer == isContainer && entry.owner == owner &&
            entry.group == group && SameMapping(entry.mapping, mapping))
            return entry.aces;
    }
    // Children with many different owners keep only the latest few kinds.
    constexpr size_t kKindsKept = 8;
    if (kept.inherited.size() == kKindsKept) kept.inherited.clear();
    kept.inherited.push_back(
        {&parent, isContainer, owner, group, mapping, InheritedAces(parent, isContainer, owner, group, mapping)});
    return kept.inherited.back().aces;
}

// The explicit ACEs of `aces`, in order, with room for `more` after them.
AceList ExplicitAces(const AceList& aces, size_t more = 0) {
    AceList out;
    out.reserve(aces.size() + more);
    for (const AceEntry& ace : aces) {
        if (!(ace.Flags() & INHERITED_ACE)) out.push_back(ace);
    }
    return out;
}

// Whether `aces` already are their explicit ACEs followed by `inherited`,
// which is what re-inheriting would make of them; checked in place, as most
// objects of a walk are already up to date.
bool AlreadyInherits(const AceList& aces, const AceList& inherited) {
    if (aces.size() < inherited.size()) return false;
    const size_t explicitCount = aces.size() - inherited.size();
    for (size_t i = 0; i < explicitCount; ++i) {
        if (aces[i].Flags() & INHERITED_ACE) return false;
    }
    for (size_t i = 0; i < inherited.size(); ++i) {
        if (!(aces[explicitCount + i] == inherited[i])) return false;
    }
    return true;
}

// Explicit ACEs in effect on the object hold specific rights only; an
// inherit-only ACE keeps its generic rights for the children to map.
void MapEffectiveGenericRights(AceList* aces, const GENERIC_MAPPING& mapping) {
    for (AceEntry& ace : *aces) {
        if (!(ace.Flags() & INHERIT_ONLY_ACE)) ace.SetMask(MapGenericRights(ace.Mask(), mapping));
    }
}

// Reads a caller's SID, trusting the pointer as Windows does but checking
// the structure. ERROR_SUCCESS, ERROR_INVALID_PARAMETER or ERROR_INVALID_SID.
DWORD ReadCallerSid(PSID sid, Bytes* out) {
    if (sid == nullptr) return ERROR_INVALID_PARAMETER;
    const BYTE* p = static_cast<const BYTE*>(sid);
    const size_t size = CheckedSidLength(p, SECURITY_MAX_SID_SIZE);
    if (size == 0) return ERROR_INVALID_SID;
    out->assign(p, p + size);
    return ERROR_SUCCESS;
}

// Reads a caller's ACL; null stands for a NULL ACL.
DWORD ReadCallerAcl(PACL acl, AclPart* out) {
    out->present = true;
    out->isNull = acl == nullptr;
    out->aces.clear();
    if (acl == nullptr) return ERROR_SUCCESS;
    const BYTE* p = reinterpret_cast<const BYTE*>(acl);
    return ReadAceList(p, AclSizeOf(p), &out->aces) ? ERROR_SUCCESS : ERROR_INVALID_ACL;
}

struct AclBits {
    SECURITY_DESCRIPTOR_CONTROL present, defaulted, autoInherited, autoInheritReq, isProtected;
    SECURITY_INFORMATION protectInfo, unprotectInfo;
};
constexpr AclBits kDaclBits{SE_DACL_PRESENT,        SE_DACL_DEFAULTED, SE_DACL_AUTO_INHERITED, SE_DACL_AUTO_INHERIT_REQ,
                            SE_DACL_PROTECTED,      PROTECTED_DACL_SECURITY_INFORMATION,
                            UNPROTECTED_DACL_SECURITY_INFORMATION};
constexpr AclBits kSaclBits{SE_SACL_PRESENT,        SE_SACL_DEFAULTED, SE_SACL_AUTO_INHERITED, SE_SACL_AUTO_INHERIT_REQ,
                            SE_SACL_PROTECTED,      PROTECTED_SACL_SECURITY_INFORMATION,
                            UNPROTECTED_SACL_SECURITY_INFORMATION};

// Merges a written ACL into the object's descriptor. A protected ACL is kept
// as written, all of it now explicit; an unprotected one keeps the written
// explicit ACEs and takes its inherited ACEs from the parent, after them.
DWORD MergeWrittenAcl(const AclBits& bits, SECURITY_INFORMATION info, AclPart written, const AclPart* parentAcl,
                      bool isContainer, const GENERIC_MAPPING& mapping, OwnedDescriptor* sd, AclPart* target) {
    bool isProtected = (sd->control & bits.isProtected) != 0;
    if (info & bits.protectInfo) {
        isProtected = true;
    } else if (info & bits.unprotectInfo) {
        isProtected = false;
    }
    if (written.IsList()) {
        if (isProtected) {
            for (AceEntry& ace : written.aces) ace.SetFlags(static_cast<BYTE>(ace.Flags() & ~INHERITED_ACE));
            MapEffectiveGenericRights(&written.aces, mapping);
        } else {
            AceList explicitAces = ExplicitAces(written.aces);
            MapEffectiveGenericRights(&explicitAces, mapping);
            if (parentAcl != nullptr) {
                AceList scratch;
                const AceList& inherited =
                    InheritedAcesOnce(*parentAcl, isContainer, sd->owner, sd->group, mapping, &scratch);
                explicitAces.insert(explicitAces.end(), inherited.begin(), inherited.end());
            }
            written.aces = std::move(explicitAces);
        }
    }
    *target = std::move(written);
    sd->control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~(bits.defaulted | bits.autoInheritReq | bits.isProtected));
    sd->control |= bits.present | bits.autoInherited;
    if (isProtected) sd->control |= bits.isProtected;
    return ERROR_SUCCESS;
}

// Recomputes the inherited ACEs of one unprotected ACL; true when they changed.
// A DACL that is absent or NULL opens the object to everyone; that stays so
// rather than quietly turning into the parent's restrictions. An absent
// SACL merely audits nothing and may take on inherited audit ACEs.
bool ReinheritAcl(const AclPart& parentAcl, bool isContainer, const Bytes& owner, const Bytes& group,
                  const GENERIC_MAPPING& mapping, bool mayCreate, AclPart* child) {
    if (child->isNull || (!child->present && !mayCreate)) return false;
    AceList scratch;
    const AceList& inherited = InheritedAcesOnce(parentAcl, isContainer, owner, group, mapping, &scratch);
    if (!child->present && inherited.empty()) return false;
    if (child->present && AlreadyInherits(child->aces, inherited)) return false;
    AceList updated = ExplicitAces(child->aces, inherited.size());
    updated.insert(updated.end(), inherited.begin(), inherited.end());
    child->present = true;
    child->aces = std::move(updated);
    return true;
}

const GENERIC_MAPPING kFileMapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
const GENERIC_MAPPING kRegistryMapping{KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};
// Service rights: query config 0x1, change config 0x2, query status 0x4,
// enumerate dependents 0x8, start 0x10, stop 0x20, pause 0x40,
// interrogate 0x80, user-defined control 0x100.
const GENERIC_MAPPING kServiceMapping{READ_CONTROL | 0x1 | 0x4 | 0x8 | 0x80, READ_CONTROL | 0x2,
                                      READ_CONTROL | 0x10 | 0x20 | 0x40 | 0x100, STANDARD_RIGHTS_REQUIRED | 0x1FF};
// Printer rights: administer 0x4, use 0x8.
const GENERIC_MAPPING kPrinterMapping{READ_CONTROL | 0x8, READ_CONTROL | 0x8, READ_CONTROL | 0x8,
                                      STANDARD_RIGHTS_REQUIRED | 0x4 | 0x8};

}  // namespace

const GENERIC_MAPPING& FileGenericMapping() { return kFileMapping; }
const GENERIC_MAPPING& RegistryGenericMapping() { return kRegistryMapping; }
const GENERIC_MAPPING& ServiceGenericMapping() { return kServiceMapping; }
const GENERIC_MAPPING& PrinterGenericMapping() { return kPrinterMapping; }
// Share permissions are file rights (full 0x1F01FF, change 0x1301BF, read 0x1200A9).
const GENERIC_MAPPING& ShareGenericMapping() { return kFileMapping; }

Bytes CreateInheritedDescriptor(const Bytes& parentSd, bool isContainer, const Bytes& owner, const Bytes& group,
                                const GENERIC_MAPPING& mapping) {
    OwnedDescriptor parent;
    const bool parentUsable = Load(parentSd, &parent);

    OwnedDescriptor child;
    if (CheckedSidLength(owner.data(), owner.size())) child.owner = owner;
    if (CheckedSidLength(group.data(), group.size())) child.group = group;

    child.dacl.present = true;
    if (parentUsable) child.dacl.aces = InheritedAces(parent.dacl, isContainer, child.owner, child.group, mapping);
    if (!child.dacl.aces.empty()) {
        if (parent.control & SE_DACL_AUTO_INHERITED) child.control |= SE_DACL_AUTO_INHERITED;
    } else {
        // Nothing to inherit: the object gets what a token's default DACL
        // gives, full control for its owner and for SYSTEM, rather than an
        // empty DACL that would lock everyone out.
        if (!child.owner.empty()) child.dacl.aces.push_back(AllowAce(child.owner, mapping.GenericAll));
        child.dacl.aces.push_back(AllowAce(LocalSystemSid(), mapping.GenericAll));
    }

    if (parentUsable) {
        AceList sacl = InheritedAces(parent.sacl, isContainer, child.owner, child.group, mapping);
        if (!sacl.empty()) {
            child.sacl.present = true;
            child.sacl.aces = std::move(sacl);
            if (parent.control & SE_SACL_AUTO_INHERITED) child.control |= SE_SACL_AUTO_INHERITED;
        }
    }
    return Store(child);
}

DWORD ApplySecurityInformation(const Bytes& currentSd, const Bytes* parentSd, bool isContainer,
                               SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl, PACL sacl,
                               const GENERIC_MAPPING& mapping, Bytes* result) {
    OwnedDescriptor sd;
    if (!Load(currentSd, &sd)) return ERROR_INVALID_SECURITY_DESCR;

    // Validate everything written before changing anything.
    Bytes newOwner, newGroup;
    AclPart newDacl, newSacl;
    DWORD status = ERROR_SUCCESS;
    if ((info & OWNER_SECURITY_INFORMATION) && (status = ReadCallerSid(owner, &newOwner)) != ERROR_SUCCESS) return status;
    if ((info & GROUP_SECURITY_INFORMATION) && (status = ReadCallerSid(group, &newGroup)) != ERROR_SUCCESS) return status;
    if ((info & DACL_SECURITY_INFORMATION) && (status = ReadCallerAcl(dacl, &newDacl)) != ERROR_SUCCESS) return status;
    if ((info & SACL_SECURITY_INFORMATION) && (status = ReadCallerAcl(sacl, &newSacl)) != ERROR_SUCCESS) return status;

    const bool haveParent = parentSd != nullptr;
    const OwnedDescriptor* parent = haveParent ? LoadParent(*parentSd) : nullptr;
    if (haveParent && parent == nullptr) {
        // A damaged parent only matters where inherited ACEs are to be computed.
        auto needsParent = [&](const AclBits& bits, SECURITY_INFORMATION written) {
            if (!(info & written)) return false;
            if (info & bits.protectInfo) return false;
            return (info & bits.unprotectInfo) || !(sd.control & bits.isProtected);
        };
        if (needsParent(kDaclBits, DACL_SECURITY_INFORMATION) || needsParent(kSaclBits, SACL_SECURITY_INFORMATION)) {
            return ERROR_INVALID_SECURITY_DESCR;
        }
    }

    if (info & OWNER_SECURITY_INFORMATION) {
        sd.owner = std::move(newOwner);
        sd.control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~SE_OWNER_DEFAULTED);
    }
    if (info & GROUP_SECURITY_INFORMATION) {
        sd.group = std::move(newGroup);
        sd.control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~SE_GROUP_DEFAULTED);
    }
    // A damaged parent got this far only when no inherited ACE is computed.
    static const OwnedDescriptor kNoParent;
    if (haveParent && parent == nullptr) parent = &kNoParent;
    const AclPart* parentDacl = haveParent ? &parent->dacl : nullptr;
    const AclPart* parentSacl = haveParent ? &parent->sacl : nullptr;
    if (info & DACL_SECURITY_INFORMATION) {
        MergeWrittenAcl(kDaclBits, info, std::move(newDacl), parentDacl, isContainer, mapping, &sd, &sd.dacl);
    }
    if (info & SACL_SECURITY_INFORMATION) {
        MergeWrittenAcl(kSaclBits, info, std::move(newSacl), parentSacl, isContainer, mapping, &sd, &sd.sacl);
    }
    Bytes stored = Store(sd);
    if (stored.empty()) return ERROR_INVALID_ACL;
    *result = std::move(stored);
    return ERROR_SUCCESS;
}

DWORD Reinherit(const Bytes& childSd, const Bytes& parentSd, bool isContainer, const GENERIC_MAPPING& mapping,
                Bytes* result, bool* changed) {
    *changed = false;
    OwnedDescriptor child;
    if (!Load(childSd, &child)) return ERROR_INVALID_SECURITY_DESCR;
    const OwnedDescriptor* parent = LoadParent(parentSd);
    if (parent == nullptr) return ERROR_INVALID_SECURITY_DESCR;
    bool differs = false;
    if (!(child.control & SE_DACL_PROTECTED) &&
        ReinheritAcl(parent->dacl, isContainer, child.owner, child.group, mapping, false, &child.dacl)) {
        child.control |= SE_DACL_AUTO_INHERITED;
        differs = true;
    }
    if (!(child.control & SE_SACL_PROTECTED) &&
        ReinheritAcl(parent->sacl, isContainer, child.owner, child.group, mapping, true, &child.sacl)) {
        child.control |= SE_SACL_AUTO_INHERITED;
        differs = true;
    }
    if (!differs) return ERROR_SUCCESS;
    // A list past 64 KiB cannot be stored: the descendant keeps what it
    // should lose, which is a failure, never "unchanged".
    Bytes stored = Store(child);
    if (stored.empty()) return ERROR_ALLOTTED_SPACE_EXCEEDED;
    *result = std::move(stored);
    *changed = true;
    return ERROR_SUCCESS;
}

}  // namespace winapi
