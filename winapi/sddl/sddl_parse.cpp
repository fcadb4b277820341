// ConvertStringSecurityDescriptorToSecurityDescriptorW: SDDL text to a
// self-relative descriptor, accepting what Windows accepts and nothing more.
//
// The descriptor is assembled byte by byte here rather than through AddAce
// and MakeSelfRelativeSD, so that a failure anywhere leaves nothing to undo.
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "winapi/security/bytes.h"
#include "winapi/sddl/sddl_aliases.h"
#include "winapi/sddl/sddl_characters.h"
#include "winapi/sddl/sddl_context.h"
#include "winapi/sddl/sddl_numbers.h"
#include "winapi/security/string_sid.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

constexpr size_t kAclHeaderSize = 8;
constexpr size_t kMaxAclSize = 0xFFFF;
constexpr std::wstring_view kNullAcl = L"NO_ACCESS_CONTROL";

bool IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

void PutWord(Bytes& out, WORD value) {
    out.push_back(static_cast<BYTE>(value));
    out.push_back(static_cast<BYTE>(value >> 8));
}

void PutDword(Bytes& out, DWORD value) {
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<BYTE>(value >> (8 * b)));
}

void SetDword(Bytes& out, size_t at, DWORD value) {
    for (int b = 0; b < 4; ++b) out[at + b] = static_cast<BYTE>(value >> (8 * b));
}

// A GUID written as 8-4-4-4-12 hex digits, in the byte order of the GUID
// structure (first three fields little-endian).
std::optional<Bytes> ParseGuid(std::wstring_view text) {
    if (text.size() != 36) return std::nullopt;
    std::vector<BYTE> nibbles;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != L'-') return std::nullopt;
            continue;
        }
        int v = HexValue(text[i]);
        if (v < 0) return std::nullopt;
        nibbles.push_back(static_cast<BYTE>(v));
    }
    BYTE big[16];
    for (int i = 0; i < 16; ++i) big[i] = static_cast<BYTE>(nibbles[2 * i] << 4 | nibbles[2 * i + 1]);
    Bytes guid = {big[3], big[2], big[1], big[0], big[5], big[4], big[7], big[6]};
    guid.insert(guid.end(), big + 8, big + 16);
    return guid;
}

BYTE PlainAceType(BYTE objectType) {
    switch (objectType) {
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE: return ACCESS_ALLOWED_ACE_TYPE;
        case ACCESS_DENIED_OBJECT_ACE_TYPE: return ACCESS_DENIED_ACE_TYPE;
        case SYSTEM_AUDIT_OBJECT_ACE_TYPE: return SYSTEM_AUDIT_ACE_TYPE;
        default: return SYSTEM_ALARM_ACE_TYPE;
    }
}

struct AclText {
    bool present = false;
    bool isNull = false;  // NO_ACCESS_CONTROL
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    Bytes acl;
};

class SddlParser {
public:
    SddlParser(std::wstring_view text, SddlDomainContext context) : text_(text), context_(std::move(context)) {}

    // ERROR_SUCCESS with the self-relative descriptor in `descriptor`, or the
    // error Windows reports for the text.
    DWORD Parse(Bytes* descriptor) {
        SkipBlanks();
        while (!AtEnd()) {
            if (!AtSectionStart()) return ERROR_INVALID_PARAMETER;
            wchar_t section = text_[pos_];
            pos_ += 2;
            DWORD error = ERROR_SUCCESS;
            switch (section) {
                case L'O': error = ParseSidSection(&owner_); break;
                case L'G': error = ParseSidSection(&group_); break;
                case L'D': error = ParseAclSection(&dacl_, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERIT_REQ,
                                                   SE_DACL_AUTO_INHERITED); break;
                default: error = ParseAclSection(&sacl_, SE_SACL_PROTECTED, SE_SACL_AUTO_INHERIT_REQ,
                                                 SE_SACL_AUTO_INHERITED); break;
            }
            if (error != ERROR_SUCCESS) return error;
            SkipBlanks();
        }
        *descriptor = Assemble();
        return ERROR_SUCCESS;
    }

private:
    bool AtEnd() const { return pos_ >= text_.size(); }
    wchar_t Peek(size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : L'\0'; }
    void SkipBlanks() {
        while (!AtEnd() && IsBlank(text_[pos_])) ++pos_;
    }
    // Section tags are upper case only: Windows rejects "d:".
    bool AtSectionStart() const {
        wchar_t c = Peek();
        return (c == L'O' || c == L'G' || c == L'D' || c == L'S') && Peek(1) == L':';
    }

    DWORD ParseSidSection(std::optional<Bytes>* sid) {
        if (sid->has_value()) return ERROR_INVALID_PARAMETER;
        Bytes value;
        DWORD error = ParseSid(&value, /*inAce=*/false);
        if (error != ERROR_SUCCESS) return error;
        *sid = std::move(value);
        return ERROR_SUCCESS;
    }

    // A SID written out or as an alias. Blanks may precede either and may
    // follow an alias, but not a written-out SID (Windows rejects
    // "S-1-3-4 )" yet accepts "WD )").
    DWORD ParseSid(Bytes* sid, bool inAce) {
        SkipBlanks();
        if ((Peek() == L'S' || Peek() == L's') && Peek(1) == L'-') {
            size_t consumed = 0;
            auto parsed = ParseSidPrefix(text_.substr(pos_), &consumed);
            if (!parsed) return ERROR_INVALID_PARAMETER;
            pos_ += consumed;
            *sid = std::move(*parsed);
        } else {
            if (pos_ + 2 > text_.size()) return ERROR_INVALID_PARAMETER;
            auto alias = ResolveSidAlias(text_.substr(pos_, 2), context_);
            if (alias.status == SidAliasStatus::NotAnAlias) return ERROR_INVALID_PARAMETER;
            if (alias.status == SidAliasStatus::NoDomain) return ERROR_INVALID_SID;
            pos_ += 2;
            SkipBlanks();
            *sid = std::move(alias.sid);
        }
        bool ends = inAce ? Peek() == L')' : (AtEnd() || AtSectionStart());
        return ends ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }

    DWORD ParseAclSection(AclText* acl, SECURITY_DESCRIPTOR_CONTROL protectedBit,
                          SECURITY_DESCRIPTOR_CONTROL requestBit, SECURITY_DESCRIPTOR_CONTROL inheritedBit) {
        if (acl->present) return ERROR_INVALID_PARAMETER;
        acl->present = true;
        for (;;) {
            SkipBlanks();
            wchar_t c = Peek();
            if (c == L'P' || c == L'p') {
                acl->control |= protectedBit;
                pos_ += 1;
            } else if ((c == L'A' || c == L'a') && (Peek(1) == L'R' || Peek(1) == L'r')) {
                acl->control |= requestBit;
                pos_ += 2;
            } else if ((c == L'A' || c == L'a') && (Peek(1) == L'I' || Peek(1) == L'i')) {
                acl->control |= inheritedBit;
                pos_ += 2;
            } else if (text_.substr(pos_, kNullAcl.size()) == kNullAcl) {
                acl->isNull = true;
                pos_ += kNullAcl.size();
            } else {
                break;
            }
        }
        std::vector<Bytes> aces;
        bool objectAces = false;
        size_t size = kAclHeaderSize;
        for (;;) {
            SkipBlanks();
            if (Peek() != L'(') break;
            if (acl->isNull) return ERROR_INVALID_PARAMETER;
            ++pos_;
            Bytes ace;
            DWORD error = ParseAce(&ace);
            if (error != ERROR_SUCCESS) return error;
            objectAces = objectAces || IsObjectAceType(ace[0]);
            size += ace.size();
            if (size > kMaxAclSize) return ERROR_INVALID_PARAMETER;
            aces.push_back(std::move(ace));
        }
        if (acl->isNull) return ERROR_SUCCESS;
        acl->acl.push_back(objectAces ? ACL_REVISION_DS : ACL_REVISION);
        acl->acl.push_back(0);
        PutWord(acl->acl, static_cast<WORD>(size));
        PutWord(acl->acl, static_cast<WORD>(aces.size()));
        PutWord(acl->acl, 0);
        for (const Bytes& ace : aces) acl->acl.insert(acl->acl.end(), ace.begin(), ace.end());
        return ERROR_SUCCESS;
    }

    // The text up to the next ';' (not consumed), or nullopt at the end.
    std::optional<std::wstring_view> FieldUpToSeparator() {
        size_t end = text_.find(L';', pos_);
        if (end == std::wstring_view::npos) return std::nullopt;
        std::wstring_view field = text_.substr(pos_, end - pos_);
        pos_ = end;
        return field;
    }

    bool ExpectSeparator() {
        if (Peek() != L';') return false;
        ++pos_;
        return true;
    }

    DWORD ParseAceType(AceTypeLookup* type) {
        SkipBlanks();
        size_t start = pos_;
        while (IsAsciiLetter(Peek())) ++pos_;
        *type = AceTypeForToken(text_.substr(start, pos_ - start));
        SkipBlanks();
        if (type->support != AceTypeSupport::Supported || !ExpectSeparator()) return ERROR_INVALID_PARAMETER;
        return ERROR_SUCCESS;
    }

    DWORD ParseAceFlags(BYTE* flags) {
        for (;;) {
            SkipBlanks();
            if (ExpectSeparator()) return ERROR_SUCCESS;
            if (pos_ + 2 > text_.size()) return ERROR_INVALID_PARAMETER;
            auto flag = AceFlagForToken(text_.substr(pos_, 2));
            if (!flag) return ERROR_INVALID_PARAMETER;
            *flags |= *flag;
            pos_ += 2;
        }
    }

    // Rights as a number, read as wcstoul reads it with base 0 (0x hex, a
    // leading 0 octal, else decimal; a sign; saturation at 0xffffffff), or
    // as a run of two-letter names that spaces may separate. Either must
    // reach the ';' directly: no blank may end the field.
    DWORD ParseRights(ACCESS_MASK* mask) {
        SkipBlanks();
        wchar_t c = Peek();
        if ((c >= L'0' && c <= L'9') || c == L'-' || c == L'+') {
            auto number = ReadCNumber(text_, pos_, 0, 0xFFFFFFFFu);
            if (!number) return ERROR_INVALID_PARAMETER;
            pos_ = number->end;
            *mask = static_cast<ACCESS_MASK>(number->value);
            return ExpectSeparator() ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
        }
        while (!ExpectSeparator()) {
            // Spaces only, and only between two names: a tab or a space
            // before the ';' is refused, as Windows refuses them.
            if (Peek() == L' ') {
                while (Peek() == L' ') ++pos_;
                if (Peek() == L';') return ERROR_INVALID_PARAMETER;
            }
            if (pos_ + 2 > text_.size()) return ERROR_INVALID_PARAMETER;
            auto right = RightsTokenMask(text_.substr(pos_, 2));
            if (!right) return ERROR_INVALID_PARAMETER;
            *mask |= *right;
            pos_ += 2;
        }
        return ERROR_SUCCESS;
    }

    // An object GUID field: empty or blank, or exactly a GUID (no braces,
    // no surrounding blanks).
    DWORD ParseGuidField(std::optional<Bytes>* guid) {
        auto field = FieldUpToSeparator();
        if (!field) return ERROR_INVALID_PARAMETER;
        ExpectSeparator();
        bool blank = true;
        for (wchar_t c : *field) blank = blank && IsBlank(c);
        if (blank) return ERROR_SUCCESS;
        *guid = ParseGuid(*field);
        return guid->has_value() ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }

    // One ACE after its '(' up to and including its ')'.
    DWORD ParseAce(Bytes* ace) {
        AceTypeLookup type;
        BYTE flags = 0;
        ACCESS_MASK mask = 0;
        std::optional<Bytes> objectType, inheritedObjectType;
        Bytes sid;
        DWORD error = ParseAceType(&type);
        if (error == ERROR_SUCCESS) error = ParseAceFlags(&flags);
        if (error == ERROR_SUCCESS) error = ParseRights(&mask);
        if (error == ERROR_SUCCESS) error = ParseGuidField(&objectType);
        if (error == ERROR_SUCCESS) error = ParseGuidField(&inheritedObjectType);
        if (error == ERROR_SUCCESS) error = ParseSid(&sid, /*inAce=*/true);
        if (error != ERROR_SUCCESS) return error;
        ++pos_;  // ')'

        bool objectLayout = IsObjectAceType(type.type);
        if (!objectLayout && (objectType || inheritedObjectType)) return ERROR_INVALID_PARAMETER;
        // An object ACE naming no GUID is stored as the plain ACE it amounts to.
        if (objectLayout && !objectType && !inheritedObjectType) {
            type.type = PlainAceType(type.type);
            objectLayout = false;
        }
        ace->push_back(type.type);
        ace->push_back(flags);
        PutWord(*ace, 0);  // size, set below
        PutDword(*ace, mask);
        if (objectLayout) {
            DWORD present = (objectType ? ACE_OBJECT_TYPE_PRESENT : 0u) |
                            (inheritedObjectType ? ACE_INHERITED_OBJECT_TYPE_PRESENT : 0u);
            PutDword(*ace, present);
            if (objectType) ace->insert(ace->end(), objectType->begin(), objectType->end());
            if (inheritedObjectType) ace->insert(ace->end(), inheritedObjectType->begin(), inheritedObjectType->end());
        }
        ace->insert(ace->end(), sid.begin(), sid.end());
        (*ace)[2] = static_cast<BYTE>(ace->size());
        (*ace)[3] = static_cast<BYTE>(ace->size() >> 8);
        return ERROR_SUCCESS;
    }

    // Header, then SACL, DACL, owner and group, as MakeSelfRelativeSD lays
    // them out.
    Bytes Assemble() const {
        SECURITY_DESCRIPTOR_CONTROL control = SE_SELF_RELATIVE | dacl_.control | sacl_.control;
        if (dacl_.present) control |= SE_DACL_PRESENT;
        if (sacl_.present) control |= SE_SACL_PRESENT;
        Bytes out(sizeof(SECURITY_DESCRIPTOR_RELATIVE), 0);
        out[0] = SECURITY_DESCRIPTOR_REVISION;
        out[2] = static_cast<BYTE>(control);
        out[3] = static_cast<BYTE>(control >> 8);
        auto place = [&out](size_t offsetField, const Bytes& part) {
            SetDword(out, offsetField, static_cast<DWORD>(out.size()));
            out.insert(out.end(), part.begin(), part.end());
        };
        if (sacl_.present && !sacl_.isNull) place(12, sacl_.acl);
        if (dacl_.present && !dacl_.isNull) place(16, dacl_.acl);
        if (owner_) place(4, *owner_);
        if (group_) place(8, *group_);
        return out;
    }

    std::wstring_view text_;
    SddlDomainContext context_;
    size_t pos_ = 0;
    std::optional<Bytes> owner_, group_;
    AclText dacl_, sacl_;
};

}  // namespace
}  // namespace winapi

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR StringSecurityDescriptor, DWORD StringSDRevision,
                                                          PSECURITY_DESCRIPTOR* SecurityDescriptor,
                                                          PULONG SecurityDescriptorSize) {
    if (StringSecurityDescriptor == nullptr || SecurityDescriptor == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (StringSDRevision != SDDL_REVISION_1) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    winapi::Bytes descriptor;
    winapi::SddlParser parser(StringSecurityDescriptor, winapi::CurrentSddlDomainContext());
    DWORD error = parser.Parse(&descriptor);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    void* block = LocalAlloc(LMEM_FIXED, descriptor.size());
    if (block == nullptr) return FALSE;
    std::memcpy(block, descriptor.data(), descriptor.size());
    *SecurityDescriptor = block;
    if (SecurityDescriptorSize != nullptr) *SecurityDescriptorSize = static_cast<ULONG>(descriptor.size());
    return TRUE;
}
