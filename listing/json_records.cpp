// JSON records: building them from descriptors and writing them as lines.
#include "listing/json_records.h"

#include <string_view>

#include "acl/ace_sid.h"
#include "engine/local_memory.h"
#include "engine/tavrik.h"
#include "listing/descriptor_diff.h"

namespace tavrik::json {
namespace {

struct CodeName {
    DWORD code;
    const char* name;
};

// Short names people can search for and scripts can match; the message
// texts themselves stay as the engine gives them.
constexpr CodeName kCodeNames[] = {
    {RTN_ERR_INTERNAL, "INTERNAL"},
    {RTN_ERR_PARAMETER, "INVALID_PARAMETER"},
    {RTN_ERR_NO_OBJECT, "NO_OBJECT"},
    {RTN_ERR_READ_SD, "READ_SD_FAILED"},
    {RTN_ERR_RESOLVE_TRUSTEE, "TRUSTEE_NOT_FOUND"},
    {RTN_ERR_KEYWORD_FILE, "BAD_FILE_PERMISSION"},
    {RTN_ERR_KEYWORD_PRINTER, "BAD_PRINTER_PERMISSION"},
    {RTN_ERR_KEYWORD_REGISTRY, "BAD_REGISTRY_PERMISSION"},
    {RTN_ERR_KEYWORD_SERVICE, "BAD_SERVICE_PERMISSION"},
    {RTN_ERR_KEYWORD_SHARE, "BAD_SHARE_PERMISSION"},
    {RTN_ERR_PRIVILEGE, "PRIVILEGE_NOT_HELD"},
    {RTN_ERR_FIND_FILE, "PATH_NOT_FOUND"},
    {RTN_ERR_SD_CONTROL, "SD_CONTROL_FAILED"},
    {RTN_ERR_ACE_COUNT, "ACE_COUNT_MISMATCH"},
    {RTN_ERR_BUILD_ACL, "BUILD_ACL_FAILED"},
    {RTN_ERR_REG_PATH, "BAD_REGISTRY_PATH"},
    {RTN_ERR_REG_CONNECT, "REGISTRY_UNREACHABLE"},
    {RTN_ERR_REG_OPEN, "REGISTRY_OPEN_FAILED"},
    {RTN_ERR_REG_ENUM, "REGISTRY_ENUM_FAILED"},
    {RTN_ERR_WRITE_SD, "WRITE_SD_FAILED"},
    {RTN_ERR_NOTHING_TO_LIST, "NOTHING_TO_LIST"},
    {RTN_ERR_SD_CONVERT, "SD_CONVERT_FAILED"},
    {RTN_ERR_SID_TO_NAME, "SID_TO_NAME_FAILED"},
    {RTN_ERR_READ_ACL, "READ_ACL_FAILED"},
    {RTN_ERR_DELETE_ACE, "DELETE_ACE_FAILED"},
    {RTN_ERR_CHANGE_ACE, "CHANGE_ACE_FAILED"},
    {RTN_ERR_NO_BACKUP_FILE, "NO_BACKUP_FILE"},
    {RTN_ERR_OPEN_BACKUP_FILE, "BACKUP_FILE_OPEN_FAILED"},
    {RTN_ERR_READ_BACKUP_FILE, "BACKUP_FILE_READ_FAILED"},
    {RTN_ERR_WRITE_OUTPUT, "WRITE_OUTPUT_FAILED"},
    {RTN_ERR_OS_VERSION, "OS_NOT_SUPPORTED"},
    {RTN_ERR_INVALID_SD, "INVALID_SD"},
    {RTN_ERR_SD_SET_DACL, "SD_SET_DACL_FAILED"},
    {RTN_ERR_SD_SET_SACL, "SD_SET_SACL_FAILED"},
    {RTN_ERR_SD_SET_OWNER, "SD_SET_OWNER_FAILED"},
    {RTN_ERR_SD_SET_GROUP, "SD_SET_GROUP_FAILED"},
    {RTN_ERR_SD_INIT, "SD_INIT_FAILED"},
    {RTN_ERR_SD_ALLOC, "SD_ALLOC_FAILED"},
};

struct NamedBit {
    DWORD bit;
    const char* word;
};

constexpr NamedBit kControlWords[] = {
    {SE_OWNER_DEFAULTED, "owner_defaulted"},
    {SE_GROUP_DEFAULTED, "group_defaulted"},
    {SE_DACL_PRESENT, "dacl_present"},
    {SE_DACL_DEFAULTED, "dacl_defaulted"},
    {SE_SACL_PRESENT, "sacl_present"},
    {SE_SACL_DEFAULTED, "sacl_defaulted"},
    {SE_DACL_AUTO_INHERIT_REQ, "dacl_auto_inherit_req"},
    {SE_SACL_AUTO_INHERIT_REQ, "sacl_auto_inherit_req"},
    {SE_DACL_AUTO_INHERITED, "dacl_auto_inherited"},
    {SE_SACL_AUTO_INHERITED, "sacl_auto_inherited"},
    {SE_DACL_PROTECTED, "dacl_protected"},
    {SE_SACL_PROTECTED, "sacl_protected"},
    {SE_RM_CONTROL_VALID, "rm_control_valid"},
};

constexpr NamedBit kAceFlagWords[] = {
    {OBJECT_INHERIT_ACE, "object_inherit"},       {CONTAINER_INHERIT_ACE, "container_inherit"},
    {NO_PROPAGATE_INHERIT_ACE, "no_propagate_inherit"}, {INHERIT_ONLY_ACE, "inherit_only"},
    {INHERITED_ACE, "inherited"},                 {SUCCESSFUL_ACCESS_ACE_FLAG, "audit_success"},
    {FAILED_ACCESS_ACE_FLAG, "audit_fail"},
};

template <size_t N>
Record Words(const NamedBit (&table)[N], DWORD bits) {
    Record words = Record::array();
    for (const auto& entry : table)
        if (bits & entry.bit) words.push_back(entry.word);
    return words;
}

// The words of a listing's '+'-joined text, as an array.
Record SplitWords(const std::wstring& text) {
    Record words = Record::array();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'+', start);
        if (end == std::wstring::npos) end = text.size();
        if (end > start) words.push_back(Utf8(text.substr(start, end - start)));
        start = end + 1;
    }
    return words;
}

std::string SidString(PSID sid) {
    LPWSTR raw = nullptr;
    if (!ConvertSidToStringSidW(sid, &raw)) return {};
    LocalPtr<WCHAR> owned(raw);
    return Utf8(raw);
}

// The rights words of `mask` as the job's listing shows them for objects of
// `objectType`.
Record RightsWords(CTavrik& job, DWORD objectType, DWORD mask) {
    const DWORD kept = job.m_objectType;
    job.m_objectType = objectType;
    const std::wstring text = job.MaskToText(mask);
    job.m_objectType = kept;
    return SplitWords(text);
}

Record Acl(CTavrik& job, PACL acl, bool isProtected, bool autoInherited, DWORD objectType, bool withInherited) {
    Record out = Record::object();
    out["protected"] = isProtected;
    out["auto_inherited"] = autoInherited;
    Record entries = Record::array();
    ACL_SIZE_INFORMATION size = {};
    if (acl && GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) {
        for (DWORD index = 0; index < size.AceCount; ++index) {
            LPVOID raw = nullptr;
            if (!GetAce(acl, index, &raw)) break;
            const auto* header = static_cast<const ACE_HEADER*>(raw);
            const bool inherited = (header->AceFlags & INHERITED_ACE) != 0;
            if (inherited && !withInherited) continue;
            // The mask sits at the same place in every layout.
            const DWORD mask = static_cast<const ACCESS_ALLOWED_ACE*>(raw)->Mask;
            Record entry = Record::object();
            PSID sid = AceSid(header, AceSidReach::EveryAce);
            entry["trustee"] = sid ? Trustee(job, sid) : Record(nullptr);
            const std::wstring type = job.AceTypeToText(header->AceType);
            entry["type"] = type.empty() ? Record(header->AceType) : Record(Utf8(type));
            entry["rights"] = RightsWords(job, objectType, mask);
            entry["mask"] = mask;
            entry["flags"] = Words(kAceFlagWords, header->AceFlags);
            entry["flags_mask"] = header->AceFlags;
            entry["inherited"] = inherited;
            entries.push_back(std::move(entry));
        }
    }
    out["entries"] = std::move(entries);
    return out;
}

// An entry of a comparison, in the fields of a listed entry plus its SDDL.
Record DiffEntryRecord(const DiffEntry& entry) {
    // The comparison shows a SID no account has as the SID itself.
    Record trustee = {{"name", entry.trustee == entry.sid ? Record(nullptr) : Record(Utf8(entry.trustee))},
                      {"sid", Utf8(entry.sid)}};
    return {{"trustee", std::move(trustee)},
            {"type", Utf8(entry.type)},
            {"rights", SplitWords(entry.rights)},
            {"mask", entry.mask},
            {"flags", Words(kAceFlagWords, entry.aceFlags)},
            {"flags_mask", entry.aceFlags},
            {"inherited", entry.inherited},
            {"sddl", Utf8(entry.sddl)}};
}

Record PartChangeRecord(const PartChange& change) {
    return {{"before", Utf8(change.before)}, {"after", Utf8(change.after)}};
}

Record DifferencesRecord(const DescriptorDiff& diff) {
    Record out = Record::object();
    auto sidPart = [&out](const char* key, const PartChange& change) {
        if (!change.changed) return;
        out[key] = {{"before", Utf8(change.before)},
                    {"after", Utf8(change.after)},
                    {"before_sddl", Utf8(change.beforeSddl)},
                    {"after_sddl", Utf8(change.afterSddl)}};
    };
    sidPart("owner", diff.owner);
    sidPart("group", diff.group);
    if (diff.dacl.changed) out["dacl"] = PartChangeRecord(diff.dacl);
    if (diff.sacl.changed) out["sacl"] = PartChangeRecord(diff.sacl);
    Record entries = Record::array();
    for (const EntryChange& change : diff.entries) {
        Record item = Record::object();
        item["change"] = change.kind == EntryChangeKind::Added     ? "added"
                         : change.kind == EntryChangeKind::Removed ? "removed"
                                                                   : "rights_changed";
        item["acl"] = change.acl == ACL_SACL ? "sacl" : "dacl";
        item["before"] = change.kind == EntryChangeKind::Added ? Record(nullptr) : DiffEntryRecord(change.before);
        item["after"] = change.kind == EntryChangeKind::Removed ? Record(nullptr) : DiffEntryRecord(change.after);
        entries.push_back(std::move(item));
    }
    out["entries"] = std::move(entries);
    out["dacl_reordered"] = diff.daclReordered;
    out["sacl_reordered"] = diff.saclReordered;
    return out;
}

}  // namespace

Record VerifyRecord(const std::wstring& object, DWORD objectType, DWORD verdict, const DescriptorDiff* diff) {
    Record out = {{"record", "verify"},
                  {"object", Utf8(object)},
                  {"type", ObjectTypeName(objectType)},
                  {"verdict", verdict == RECORD_SAME ? "same" : verdict == RECORD_DIFFERS ? "differs" : "missing"}};
    if (verdict == RECORD_DIFFERS && diff) out["differences"] = DifferencesRecord(*diff);
    return out;
}

std::string ReturnCodeName(DWORD code) {
    for (const auto& entry : kCodeNames)
        if (entry.code == code) return entry.name;
    return {};
}

std::string Utf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    auto put = [&out](char32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const char32_t low = static_cast<char32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                put(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
        put(c);
    }
    return out;
}

std::string Line(const Record& record) {
    return record.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

std::wstring WideLine(const Record& record) {
    const std::string line = Line(record);
    return std::wstring(line.begin(), line.end());  // ASCII only
}

std::string ObjectTypeName(DWORD objectType) {
    switch (objectType) {
        case SE_FILE_OBJECT: return "file";
        case SE_SERVICE: return "service";
        case SE_PRINTER: return "printer";
        case SE_REGISTRY_KEY: return "registry";
        case SE_LMSHARE: return "share";
        default: return std::to_string(objectType);
    }
}

Record Trustee(CTavrik& job, PSID sid) {
    Record out = Record::object();
    WCHAR name[1024] = {};
    WCHAR domain[1024] = {};
    DWORD nameSize = 1024, domainSize = 1024;
    SID_NAME_USE use = SidTypeUnknown;
    if (LookupAccountSidW(job.m_serverName.empty() ? nullptr : job.m_serverName.c_str(), sid, name, &nameSize,
                          domain, &domainSize, &use)) {
        name[1023] = domain[1023] = L'\0';
        out["name"] = Utf8(domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name));
    } else {
        const DWORD error = GetLastError();
        out["name"] = nullptr;
        if (error != ERROR_NONE_MAPPED) out["lookup_error"] = error;
    }
    out["sid"] = SidString(sid);
    return out;
}

Record Descriptor(CTavrik& job, PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION parts, DWORD objectType,
                  bool withInherited) {
    Record out = Record::object();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(sd, &control, &revision)) control = 0;
    control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~SE_SELF_RELATIVE);
    auto sidPart = [&](SECURITY_INFORMATION bit, const char* key, BOOL (*get)(PSECURITY_DESCRIPTOR, PSID*, LPBOOL)) {
        if (!(parts & bit)) return;
        PSID sid = nullptr;
        BOOL defaulted = FALSE;
        out[key] = get(sd, &sid, &defaulted) && sid ? Trustee(job, sid) : Record(nullptr);
    };
    sidPart(OWNER_SECURITY_INFORMATION, "owner", [](PSECURITY_DESCRIPTOR d, PSID* s, LPBOOL f) {
        return GetSecurityDescriptorOwner(d, s, f);
    });
    sidPart(GROUP_SECURITY_INFORMATION, "group", [](PSECURITY_DESCRIPTOR d, PSID* s, LPBOOL f) {
        return GetSecurityDescriptorGroup(d, s, f);
    });
    out["control"] = {{"mask", control}, {"words", Words(kControlWords, control)}};
    auto aclPart = [&](SECURITY_INFORMATION bit, const char* key, bool isDacl) {
        if (!(parts & bit)) return;
        BOOL present = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        const BOOL read = isDacl ? GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted)
                                 : GetSecurityDescriptorSacl(sd, &present, &acl, &defaulted);
        // A missing DACL lets everyone do everything: null, unlike an empty
        // list, which lets nobody in.
        if (!read || !present || !acl) {
            out[key] = nullptr;
            return;
        }
        const DWORD protectedBit = isDacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED;
        const DWORD autoBit = isDacl ? SE_DACL_AUTO_INHERITED : SE_SACL_AUTO_INHERITED;
        out[key] = Acl(job, acl, (control & protectedBit) != 0, (control & autoBit) != 0, objectType, withInherited);
    };
    aclPart(DACL_SECURITY_INFORMATION, "dacl", true);
    aclPart(SACL_SECURITY_INFORMATION, "sacl", false);
    return out;
}

Record DescriptorFromSddl(CTavrik& job, const std::wstring& sddl, DWORD objectType) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr))
        return nullptr;
    LocalPtr<> sd(raw);
    SECURITY_INFORMATION parts = 0;
    if (sddl.find(L"O:") != std::wstring::npos) parts |= OWNER_SECURITY_INFORMATION;
    if (sddl.find(L"G:") != std::wstring::npos) parts |= GROUP_SECURITY_INFORMATION;
    if (sddl.find(L"D:") != std::wstring::npos) parts |= DACL_SECURITY_INFORMATION;
    if (sddl.find(L"S:") != std::wstring::npos) parts |= SACL_SECURITY_INFORMATION;
    return Descriptor(job, sd.get(), parts, objectType);
}

Record ReadDescriptor(CTavrik& job, const std::wstring& object, DWORD objectType, SECURITY_INFORMATION parts,
                      DWORD& osError) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    osError = GetNamedSecurityInfoW(object.c_str(), static_cast<SE_OBJECT_TYPE>(objectType), parts, nullptr, nullptr,
                                    nullptr, nullptr, &raw);
    LocalPtr<> sd(raw);
    if (osError != ERROR_SUCCESS || !sd) return nullptr;
    return Descriptor(job, sd.get(), parts, objectType);
}

Record ObjectRecord(CTavrik& job, const std::wstring& object, DWORD objectType, PSECURITY_DESCRIPTOR sd,
                    SECURITY_INFORMATION parts, bool withInherited) {
    Record out = {{"record", "object"}, {"object", Utf8(object)}, {"type", ObjectTypeName(objectType)}};
    Record descriptor = Descriptor(job, sd, parts, objectType, withInherited);
    for (auto& [key, value] : descriptor.items()) out[key] = std::move(value);
    return out;
}

Record ChangeRecord(const std::wstring& object, DWORD objectType, const Record& before, const Record& after,
                    bool dryRun) {
    return {{"record", "change"}, {"object", Utf8(object)}, {"type", ObjectTypeName(objectType)},
            {"dry_run", dryRun},  {"changed", before != after}, {"before", before},
            {"after", after}};
}

Record ErrorRecord(CTavrik& job, const std::wstring& object, const std::wstring& message, DWORD returnCode,
                   DWORD osError) {
    Record out = {{"record", "error"}, {"object", object.empty() ? Record(nullptr) : Record(Utf8(object))},
                  {"message", Utf8(message)}};
    if (returnCode != 0) {
        out["return_code"] = returnCode;
        out["return_code_name"] = ReturnCodeName(returnCode);
    }
    if (osError != 0) {
        std::wstring text = job.GetOSErrorText(osError);
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
        out["os_error"] = osError;
        out["os_error_text"] = Utf8(text);
    }
    return out;
}

}  // namespace tavrik::json
