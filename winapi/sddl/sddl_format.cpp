// ConvertSecurityDescriptorToStringSecurityDescriptorW: a descriptor,
// absolute or self-relative, to the SDDL text Windows itself produces.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "winapi/security/bytes.h"
#include "winapi/sddl/sddl_aliases.h"
#include "winapi/sddl/recent_sddl.h"
#include "winapi/sddl/sddl_context.h"
#include "winapi/security/security_layout.h"
#include "winapi/security/string_sid.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr size_t kBasicAceSidOffset = 8;   // header, mask
constexpr size_t kObjectAceFixedPart = 12;  // header, mask, flags

struct DescriptorView {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    const BYTE* owner = nullptr;
    const BYTE* group = nullptr;
    const BYTE* sacl = nullptr;
    const BYTE* dacl = nullptr;
};

// The parts of a descriptor in either form. Neither form carries its size,
// so, as on Windows, each part is trusted as far as its own length fields;
// an offset into the header itself, though, is plainly damage.
bool ViewDescriptor(const BYTE* sd, DescriptorView* outView) {
    DescriptorView view;
    view.control = ReadWord(sd + 2);
    if (view.control & SE_SELF_RELATIVE) {
        bool sound = true;
        auto at = [sd, &sound](size_t field) -> const BYTE* {
            DWORD offset = ReadDword(sd + field);
            if (offset != 0 && offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) sound = false;
            return offset ? sd + offset : nullptr;
        };
        view.owner = at(4);
        view.group = at(8);
        view.sacl = at(12);
        view.dacl = at(16);
        if (!sound) return false;
    } else {
        SECURITY_DESCRIPTOR absolute;
        std::memcpy(&absolute, sd, sizeof absolute);
        view.owner = static_cast<const BYTE*>(absolute.Owner);
        view.group = static_cast<const BYTE*>(absolute.Group);
        view.sacl = reinterpret_cast<const BYTE*>(absolute.Sacl);
        view.dacl = reinterpret_cast<const BYTE*>(absolute.Dacl);
    }
    *outView = view;
    return true;
}

// Each ACE's text is composed in a buffer on the stack and appended once:
// SDDL is made for every listed object and every undo record, and a
// temporary string per part cost more than the rest.
wchar_t* PutGuid(wchar_t* out, const BYTE* p) {
    static constexpr wchar_t kHex[] = L"0123456789abcdef";
    // Data1, Data2 and Data3 are little-endian; Data4 is printed as stored.
    static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = L'-';
        *out++ = kHex[p[kOrder[i]] >> 4];
        *out++ = kHex[p[kOrder[i]] & 0xF];
    }
    return out;
}

// The bits that have two-letter names (RightBitLetters), the same for
// mandatory labels, whose low three bits merely take other names.
constexpr ACCESS_MASK kNamedRightBits = 0x1FF | 0xF0000 | 0xF0000000;

// At most 34 characters: two letters for each of 17 named bits.
wchar_t* PutRights(wchar_t* out, ACCESS_MASK mask, bool mandatoryLabel) {
    if (mask == 0) return out;
    std::wstring_view alias = WholeRightsAlias(mask);
    if (!alias.empty()) return std::copy(alias.begin(), alias.end(), out);
    if (mask & ~kNamedRightBits) {
        // A bit without a name: Windows prints the whole mask in hex.
        static constexpr wchar_t kHex[] = L"0123456789abcdef";
        *out++ = L'0';
        *out++ = L'x';
        bool leading = true;
        for (int shift = 28; shift >= 0; shift -= 4) {
            unsigned digit = (mask >> shift) & 0xF;
            if (digit == 0 && leading) continue;
            leading = false;
            *out++ = kHex[digit];
        }
        return out;
    }
    // Two letters for each bit, in ascending order.
    for (ACCESS_MASK rest = mask; rest != 0; rest &= rest - 1) {
        std::wstring_view name = RightBitLetters(static_cast<unsigned>(std::countr_zero(rest)), mandatoryLabel);
        *out++ = name[0];
        *out++ = name[1];
    }
    return out;
}

class SddlWriter {
public:
    explicit SddlWriter(const SddlDomainContext& context) : context_(context) {}

    DWORD Write(const BYTE* sd, SECURITY_INFORMATION info, std::wstring* out) {
        if (sd[0] != SECURITY_DESCRIPTOR_REVISION) return ERROR_UNKNOWN_REVISION;
        DescriptorView view;
        if (!ViewDescriptor(sd, &view)) return ERROR_INVALID_SECURITY_DESCR;
        // One allocation for the whole text: an ACE's text is about one and
        // a half times its size in bytes, SIDs included.
        size_t estimate = 64;
        if (view.dacl && (info & DACL_SECURITY_INFORMATION) && (view.control & SE_DACL_PRESENT))
            estimate += 2 * size_t{ReadWord(view.dacl + 2)};
        if (view.sacl && (info & (SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) &&
            (view.control & SE_SACL_PRESENT))
            estimate += 2 * size_t{ReadWord(view.sacl + 2)};
        text_.reserve(estimate);
        DWORD error = ERROR_SUCCESS;
        if ((info & OWNER_SECURITY_INFORMATION) && view.owner) error = WriteSidSection(L"O:", view.owner);
        if (error == ERROR_SUCCESS && (info & GROUP_SECURITY_INFORMATION) && view.group)
            error = WriteSidSection(L"G:", view.group);
        if (error == ERROR_SUCCESS && (info & DACL_SECURITY_INFORMATION) && (view.control & SE_DACL_PRESENT)) {
            error = WriteAclSection(L"D:", view.dacl, view.control, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERIT_REQ,
                                    SE_DACL_AUTO_INHERITED, /*labelsOnly=*/false);
        }
        if (error == ERROR_SUCCESS && (view.control & SE_SACL_PRESENT)) {
            if (info & SACL_SECURITY_INFORMATION) {
                error = WriteAclSection(L"S:", view.sacl, view.control, SE_SACL_PROTECTED, SE_SACL_AUTO_INHERIT_REQ,
                                        SE_SACL_AUTO_INHERITED, /*labelsOnly=*/false);
            } else if ((info & LABEL_SECURITY_INFORMATION) && view.sacl) {
                // Asked for the label alone, the SACL shows only its mandatory-label ACEs.
                error = WriteAclSection(L"S:", view.sacl, 0, 0, 0, 0, /*labelsOnly=*/true);
            }
        }
        if (error == ERROR_SUCCESS) *out = std::move(text_);
        return error;
    }

private:
    // The SID's alias or text at `out` (room for kMaxSidTextLength), or
    // null when it is malformed.
    wchar_t* PutSid(wchar_t* out, const BYTE* sid, size_t available) {
        if (CheckedSidLength(sid, available) == 0) return nullptr;
        const SID* typed = reinterpret_cast<const SID*>(sid);
        std::wstring_view alias = SidAliasFor(typed, context_);
        if (!alias.empty()) return std::copy(alias.begin(), alias.end(), out);
        return PutSidText(out, typed);
    }

    bool AppendSid(const BYTE* sid, size_t available) {
        wchar_t buffer[kMaxSidTextLength];
        wchar_t* end = PutSid(buffer, sid, available);
        if (end == nullptr) return false;
        text_.append(buffer, static_cast<size_t>(end - buffer));
        return true;
    }

    DWORD WriteSidSection(const wchar_t* tag, const BYTE* sid) {
        text_ += tag;
        return AppendSid(sid, SECURITY_MAX_SID_SIZE) ? ERROR_SUCCESS : ERROR_INVALID_SID;
    }

    DWORD WriteAclSection(const wchar_t* tag, const BYTE* acl, SECURITY_DESCRIPTOR_CONTROL control,
                          SECURITY_DESCRIPTOR_CONTROL protectedBit, SECURITY_DESCRIPTOR_CONTROL requestBit,
                          SECURITY_DESCRIPTOR_CONTROL inheritedBit, bool labelsOnly) {
        size_t sectionStart = text_.size();
        text_ += tag;
        if (control & protectedBit) text_ += L'P';
        if (control & requestBit) text_ += L"AR";
        if (control & inheritedBit) text_ += L"AI";
        if (acl == nullptr) {
            text_ += L"NO_ACCESS_CONTROL";
            return ERROR_SUCCESS;
        }
        WORD aclSize = ReadWord(acl + 2);
        WORD count = ReadWord(acl + 4);
        if (acl[0] < ACL_REVISION2 || acl[0] > ACL_REVISION4 || aclSize < 8) return ERROR_INVALID_ACL;
        size_t offset = 8;
        size_t written = 0;
        for (WORD i = 0; i < count; ++i) {
            if (offset + sizeof(ACE_HEADER) > aclSize) return ERROR_INVALID_ACL;
            const BYTE* ace = acl + offset;
            WORD aceSize = ReadWord(ace + 2);
            if (aceSize < sizeof(ACE_HEADER) || offset + aceSize > aclSize) return ERROR_INVALID_ACL;
            if (!labelsOnly || ace[0] == SYSTEM_MANDATORY_LABEL_ACE_TYPE) {
                DWORD error = WriteAce(ace, aceSize);
                if (error != ERROR_SUCCESS) return error;
                ++written;
            }
            offset += aceSize;
        }
        if (labelsOnly && written == 0) text_.resize(sectionStart);
        return ERROR_SUCCESS;
    }

    DWORD WriteAce(const BYTE* ace, size_t size) {
        BYTE type = ace[0];
        std::wstring_view typeName = AceTypeToken(type);
        if (typeName.empty()) return ERROR_NOT_SUPPORTED;
        bool objectLayout = IsObjectAceType(type);
        size_t sidOffset = objectLayout ? kObjectAceFixedPart : kBasicAceSidOffset;
        if (size < sidOffset) return ERROR_INVALID_ACL;
        DWORD objectFlags = objectLayout ? ReadDword(ace + 8) : 0;
        const BYTE* objectType = nullptr;
        const BYTE* inheritedObjectType = nullptr;
        if (objectFlags & ACE_OBJECT_TYPE_PRESENT) {
            objectType = ace + sidOffset;
            sidOffset += sizeof(GUID);
        }
        if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) {
            inheritedObjectType = ace + sidOffset;
            sidOffset += sizeof(GUID);
        }
        if (size < sidOffset) return ERROR_INVALID_ACL;

        // "(", a type of two letters, eight flags of two, rights of at most
        // 34, two GUIDs of 36, the SID, ")" and five separators.
        wchar_t buffer[1 + 2 + 16 + 34 + 2 * 36 + kMaxSidTextLength + 1 + 5];
        wchar_t* out = buffer;
        *out++ = L'(';
        out = std::copy(typeName.begin(), typeName.end(), out);
        *out++ = L';';
        size_t flagCount = 0;
        const AceFlagName* flagNames = AceFlagNames(&flagCount);
        for (size_t i = 0; i < flagCount; ++i) {
            if (ace[1] & flagNames[i].bit) out = std::copy(flagNames[i].name.begin(), flagNames[i].name.end(), out);
        }
        *out++ = L';';
        out = PutRights(out, ReadDword(ace + 4), type == SYSTEM_MANDATORY_LABEL_ACE_TYPE);
        *out++ = L';';
        if (objectType) out = PutGuid(out, objectType);
        *out++ = L';';
        if (inheritedObjectType) out = PutGuid(out, inheritedObjectType);
        *out++ = L';';
        out = PutSid(out, ace + sidOffset, size - sidOffset);
        if (out == nullptr) return ERROR_INVALID_ACL;
        *out++ = L')';
        text_.append(buffer, static_cast<size_t>(out - buffer));
        return ERROR_SUCCESS;
    }

    const SddlDomainContext& context_;
    std::wstring text_;
};

// Every byte of an ACL the writer reads (its header and its entries, as far
// as its count and size fields reach) onto `key`; false when those fields
// do not hold together, which the writer reports as damage.
bool AppendAclBytes(const BYTE* acl, Bytes* key) {
    const WORD aclSize = ReadWord(acl + 2);
    const WORD count = ReadWord(acl + 4);
    if (aclSize < kAclHeaderSize) return false;
    size_t offset = kAclHeaderSize;
    for (WORD i = 0; i < count; ++i) {
        if (offset + kAceHeaderSize > aclSize) return false;
        const WORD aceSize = ReadWord(acl + offset + 2);
        if (aceSize < kAceHeaderSize || offset + aceSize > aclSize) return false;
        offset += aceSize;
    }
    key->insert(key->end(), acl, acl + offset);
    return true;
}

bool AppendSidBytes(const BYTE* sid, Bytes* key) {
    const size_t length = CheckedSidLength(sid, SECURITY_MAX_SID_SIZE);
    if (length == 0) return false;
    key->insert(key->end(), sid, sid + length);
    return true;
}

// What the text of `sd` depends on besides the domain context: the parts
// asked for, the control word and the bytes of each part written, each
// behind a tag (every part says its own length). False when the descriptor
// is damaged: such a one is converted, and fails, every time.
bool ConversionKey(const BYTE* sd, SECURITY_INFORMATION info, Bytes* key) {
    key->clear();
    if (sd[0] != SECURITY_DESCRIPTOR_REVISION) return false;
    DescriptorView view;
    if (!ViewDescriptor(sd, &view)) return false;
    const BYTE head[] = {static_cast<BYTE>(info), static_cast<BYTE>(info >> 8), static_cast<BYTE>(info >> 16),
                         static_cast<BYTE>(info >> 24), static_cast<BYTE>(view.control),
                         static_cast<BYTE>(view.control >> 8)};
    key->insert(key->end(), std::begin(head), std::end(head));
    auto part = [key](BYTE tag, const BYTE* bytes, bool acl) {
        key->push_back(bytes ? tag : 0);
        if (!bytes) return true;
        return acl ? AppendAclBytes(bytes, key) : AppendSidBytes(bytes, key);
    };
    if ((info & OWNER_SECURITY_INFORMATION) && view.owner && !part('O', view.owner, false)) return false;
    if ((info & GROUP_SECURITY_INFORMATION) && view.group && !part('G', view.group, false)) return false;
    if ((info & DACL_SECURITY_INFORMATION) && (view.control & SE_DACL_PRESENT) && !part('D', view.dacl, true))
        return false;
    if ((info & (SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) && (view.control & SE_SACL_PRESENT) &&
        !part('S', view.sacl, true))
        return false;
    return true;
}

}  // namespace
}  // namespace winapi

BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                          DWORD RequestedStringSDRevision,
                                                          SECURITY_INFORMATION SecurityInformation,
                                                          LPWSTR* StringSecurityDescriptor,
                                                          PULONG StringSecurityDescriptorLen) {
    if (SecurityDescriptor == nullptr || StringSecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (RequestedStringSDRevision != SDDL_REVISION_1) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    std::wstring made;
    const std::wstring* text = &made;
    // Backup information has no SDDL form; Windows answers it with an empty string.
    if (!(SecurityInformation & BACKUP_SECURITY_INFORMATION)) {
        const auto* sd = static_cast<const BYTE*>(SecurityDescriptor);
        const winapi::SharedSddlDomainContext& context = winapi::KeptSddlDomainContext();
        thread_local winapi::Bytes key;
        const bool keyed = winapi::ConversionKey(sd, SecurityInformation, &key);
        winapi::RecentSddl& recent = winapi::ThreadRecentSddl();
        if (const std::wstring* known = keyed ? recent.Find(key, context) : nullptr) {
            text = known;
        } else {
            winapi::SddlWriter writer(*context);
            DWORD error = writer.Write(sd, SecurityInformation, &made);
            if (error != ERROR_SUCCESS) {
                SetLastError(error);
                return FALSE;
            }
            if (keyed) recent.Remember(key, context, made);
        }
    }
    size_t bytes = (text->size() + 1) * sizeof(WCHAR);
    auto* block = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, bytes));
    if (block == nullptr) return FALSE;
    std::memcpy(block, text->c_str(), bytes);
    *StringSecurityDescriptor = block;
    // Windows counts the terminating null: the size of the buffer, not of the text.
    if (StringSecurityDescriptorLen != nullptr) *StringSecurityDescriptorLen = static_cast<ULONG>(text->size() + 1);
    return TRUE;
}
