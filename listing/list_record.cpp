#include "listing/list_record.h"

#include "engine/local_memory.h"
#include "engine/tavrik.h"
#include "listing/backup_record.h"
#include "listing/json_records.h"
#include "objects/csd.h"

namespace tavrik {

namespace {

void Replace(std::wstring& text, wchar_t from, const std::wstring& to) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == from) {
            out += to;
        } else {
            out += c;
        }
    }
    text.swap(out);
}

const wchar_t* const kNullDaclText = L"no_DACL(everyone_has_full_access)";
const wchar_t* const kEmptyDaclText = L"empty_DACL(nobody_has_access)";

DWORD AceCountOf(PACL acl) {
    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) return MAXDWORD;
    return size.AceCount;
}

// The texts of the sections of a CSV or text record; empty when the
// section is left out.
struct Sections {
    std::wstring dacl, sacl, owner, group;
};

// Makes the texts of the requested and present parts, the owner and group
// first when `ownerFirst`, else the ACLs first (the order each format shows
// them in, which is also the order in which a failure is met); stops at the
// first that fails.
DWORD MakeSectionTexts(CTavrik& job, const CSD& sd, bool ownerFirst, Sections& out, bool& lineBreakFree) {
    auto acl = [&](PACL list, std::wstring& text) {
        text = job.AclToText(list);
        if (job.m_lastOsError != 0) return RTN_ERR_SID_TO_NAME;
        if (HasLineBreak(text)) lineBreakFree = false;
        return RTN_OK;
    };
    auto sid = [&](PSID sidValue, std::wstring& text) {
        text = job.SidToText(sidValue);
        if (job.m_lastOsError != 0) return RTN_ERR_SID_TO_NAME;
        if (HasLineBreak(text)) lineBreakFree = false;
        return RTN_OK;
    };
    const DWORD what = job.m_listWhat;
    DWORD code = RTN_OK;
    auto aclSections = [&] {
        if (code == RTN_OK && (what & LIST_DACL)) {
            // A missing (NULL) DACL lets everyone do everything and an empty
            // one lets nobody do anything; neither has entries to show, and
            // without a word of its own either would look like an object
            // with inherited entries only.
            if (!sd.m_dacl) {
                out.dacl = kNullDaclText;
            } else if (AceCountOf(sd.m_dacl) == 0) {
                out.dacl = kEmptyDaclText;
            } else {
                code = acl(sd.m_dacl, out.dacl);
            }
        }
        if (code == RTN_OK && (what & LIST_SACL) && sd.m_sacl) code = acl(sd.m_sacl, out.sacl);
    };
    auto sidSections = [&] {
        if (code == RTN_OK && (what & LIST_OWNER) && sd.m_owner) code = sid(sd.m_owner, out.owner);
        if (code == RTN_OK && (what & LIST_GROUP) && sd.m_group) code = sid(sd.m_group, out.group);
    };
    if (ownerFirst) {
        sidSections();
        aclSections();
    } else {
        aclSections();
        sidSections();
    }
    return code;
}

}  // namespace

SECURITY_INFORMATION RequestedParts(DWORD listWhat) {
    SECURITY_INFORMATION info = 0;
    if (listWhat & LIST_DACL) info |= DACL_SECURITY_INFORMATION;
    if (listWhat & LIST_SACL) info |= SACL_SECURITY_INFORMATION;
    if (listWhat & LIST_OWNER) info |= OWNER_SECURITY_INFORMATION;
    if (listWhat & LIST_GROUP) info |= GROUP_SECURITY_INFORMATION;
    return info;
}

std::wstring ProtectionText(bool isProtected, bool autoInherited) {
    std::wstring text = isProtected ? L"(protected" : L"(not_protected";
    text += autoInherited ? L"+auto_inherited)" : L")";
    return text;
}

DWORD BuildListRecord(CTavrik& job, const CSD& sd, SECURITY_DESCRIPTOR_CONTROL control, const std::wstring& name,
                      ListRecord& record) {
    record.text.clear();
    record.lineBreakFree = !HasLineBreak(name);
    // Only the CSV and text formats show these; made on demand.
    auto daclProtection = [control] {
        return ProtectionText((control & SE_DACL_PROTECTED) != 0, (control & SE_DACL_AUTO_INHERITED) != 0);
    };
    auto saclProtection = [control] {
        return ProtectionText((control & SE_SACL_PROTECTED) != 0, (control & SE_SACL_AUTO_INHERITED) != 0);
    };

    switch (job.m_listFormat) {
        case LIST_SDDL: {
            LPWSTR raw = nullptr;
            ULONG length = 0;  // with the terminating null
            if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.m_sd, SDDL_REVISION_1,
                                                                      RequestedParts(job.m_listWhat), &raw, &length)) {
                job.m_lastOsError = GetLastError();
                return RTN_ERR_SD_CONVERT;
            }
            LocalPtr<wchar_t> sddl(raw);
            // The length counts the null; should it not, the text is measured.
            std::wstring_view sddlText;
            if (sddl) {
                sddlText = length > 0 && sddl.get()[length - 1] == L'\0' ? std::wstring_view(sddl.get(), length - 1)
                                                                          : std::wstring_view(sddl.get());
            }
            if (SddlHasLineBreak(sddlText)) record.lineBreakFree = false;
            FormatSddlRecord(name, job.m_objectType, sddlText, &record.text);
            return RTN_OK;
        }
        case LIST_CSV: {
            Sections sections;
            if (DWORD code = MakeSectionTexts(job, sd, false, sections, record.lineBreakFree); code != RTN_OK) {
                return code;
            }
            std::wstring parts;
            auto add = [&](const std::wstring& section) {
                if (!parts.empty()) parts += L';';
                parts += section;
            };
            if (!sections.dacl.empty()) add(L"DACL" + daclProtection() + L":" + sections.dacl);
            if (!sections.sacl.empty()) add(L"SACL" + saclProtection() + L":" + sections.sacl);
            if (!sections.owner.empty()) add(L"Owner:" + sections.owner);
            if (!sections.group.empty()) add(L"Group:" + sections.group);
            if (parts.empty() && !job.m_listEveryObject) return RTN_OK;
            record.text = QuotedObjectName(name);
            record.text += L',';
            record.text += std::to_wstring(static_cast<int>(job.m_objectType));
            record.text += L",\"";
            record.text += parts;
            record.text += L'"';
            return RTN_OK;
        }
        case LIST_TEXT: {
            Sections sections;
            if (DWORD code = MakeSectionTexts(job, sd, true, sections, record.lineBreakFree); code != RTN_OK) {
                return code;
            }
            auto entries = [](std::wstring text) {
                Replace(text, L':', L"\n   ");
                Replace(text, L',', L"   ");
                return text;
            };
            std::wstring body;
            if (!sections.owner.empty()) body += L"\n   Owner: " + sections.owner + L"\n";
            if (!sections.group.empty()) body += L"\n   Group: " + sections.group + L"\n";
            if (!sections.dacl.empty()) {
                body += L"\n   DACL" + daclProtection() + L":\n   " + entries(sections.dacl) + L"\n";
            }
            if (!sections.sacl.empty()) {
                body += L"\n   SACL" + saclProtection() + L":\n   " + entries(sections.sacl) + L"\n";
            }
            if (body.empty() && !job.m_listEveryObject) return RTN_OK;
            record.text = name + L"\n" + body;
            return RTN_OK;
        }
        case LIST_JSON: {
            // Names are escaped inside the JSON string, so any name fits one line.
            record.text = json::WideLine(json::ObjectRecord(job, name, job.m_objectType, sd.m_sd,
                                                            RequestedParts(job.m_listWhat), job.m_listInherited));
            return RTN_OK;
        }
        default:
            return RTN_OK;
    }
}

}  // namespace tavrik
