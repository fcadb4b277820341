// Permission keywords: the host names rights by words whose meaning depends
// on the object type; at the start of each run they become access masks.
#include <cwctype>
#include <new>

#include "acl/ace.h"
#include "engine/tavrik.h"
#include "engine/text.h"

namespace {

struct Keyword {
    const wchar_t* word;
    DWORD mask;
};

constexpr Keyword kFileKeywords[] = {
    {L"read", 0x20089},        {L"write", 0x116},         {L"list_folder", 0x200A9}, {L"read_ex", 0x200A9},
    {L"change", 0x301BF},      {L"profile", 0x701BF},     {L"full", 0xF01FF},        {L"traverse", 0x20},
    {L"list_dir", 0x1},        {L"read_attr", 0x80},      {L"read_ea", 0x8},         {L"add_file", 0x2},
    {L"add_subdir", 0x4},      {L"write_attr", 0x100},    {L"write_ea", 0x10},       {L"del_child", 0x40},
    {L"delete", 0x10000},      {L"read_dacl", 0x20000},   {L"write_dacl", 0x40000},  {L"write_owner", 0x80000},
};

// The words a listing prints for what no documented keyword covers, so that
// a line copied from a listing can be typed back: the combined right
// read_execute and the single rights by their Windows names.
constexpr Keyword kFileListingWords[] = {
    {L"read_execute", 0x200A9},           {L"FILE_LIST_DIRECTORY", 0x1},    {L"FILE_ADD_FILE", 0x2},
    {L"FILE_ADD_SUBDIRECTORY", 0x4},      {L"FILE_READ_EA", 0x8},           {L"FILE_WRITE_EA", 0x10},
    {L"FILE_TRAVERSE", 0x20},             {L"FILE_DELETE_CHILD", 0x40},     {L"FILE_READ_ATTRIBUTES", 0x80},
    {L"FILE_WRITE_ATTRIBUTES", 0x100},
};
constexpr Keyword kRegistryListingWords[] = {
    {L"KEY_QUERY_VALUE", 0x1},     {L"KEY_SET_VALUE", 0x2},  {L"KEY_CREATE_SUB_KEY", 0x4},
    {L"KEY_ENUMERATE_SUB_KEYS", 0x8}, {L"KEY_NOTIFY", 0x10}, {L"KEY_CREATE_LINK", 0x20},
    {L"KEY_READ", 0x20019},        {L"KEY_EXECUTE", 0x20019}, {L"KEY_WRITE", 0x20006},
};
constexpr Keyword kServiceListingWords[] = {
    {L"SERVICE_QUERY_CONFIG", 0x1},    {L"SERVICE_CHANGE_CONFIG", 0x2},       {L"SERVICE_QUERY_STATUS", 0x4},
    {L"SERVICE_ENUMERATE_DEPENDENTS", 0x8}, {L"SERVICE_START", 0x10},         {L"SERVICE_STOP", 0x20},
    {L"SERVICE_PAUSE_CONTINUE", 0x40}, {L"SERVICE_INTERROGATE", 0x80},        {L"SERVICE_USER_DEFINED_CONTROL", 0x100},
};
constexpr Keyword kPrinterListingWords[] = {
    {L"PRINTER_ACCESS_ADMINISTER", 0x4}, {L"PRINTER_ACCESS_USE", 0x8}, {L"JOB_ACCESS_ADMINISTER", 0x10},
    {L"JOB_ACCESS_READ", 0x20},
};
constexpr Keyword kShareListingWords[] = {
    {L"SHARE_READ", 0x1200A9}, {L"SHARE_CHANGE", 0x1301BF}, {L"SHARE_WRITE", 0x40},
};
// Rights every object type has, as the listing names them.
constexpr Keyword kStandardListingWords[] = {
    {L"DELETE", 0x10000},           {L"READ_CONTROL", 0x20000},          {L"WRITE_DAC", 0x40000},
    {L"WRITE_OWNER", 0x80000},      {L"SYNCHRONIZE", 0x100000},          {L"ACCESS_SYSTEM_SECURITY", 0x1000000},
    {L"GENERIC_ALL", 0x10000000},   {L"GENERIC_EXECUTE", 0x20000000},    {L"GENERIC_WRITE", 0x40000000},
    {L"GENERIC_READ", 0x80000000},
};

constexpr Keyword kRegistryKeywords[] = {
    {L"read", 0x20019},        {L"full", 0xF003F},        {L"query_val", 0x1},       {L"set_val", 0x2},
    {L"create_subkey", 0x4},   {L"enum_subkeys", 0x8},    {L"notify", 0x10},         {L"create_link", 0x20},
    {L"delete", 0x10000},      {L"write_dacl", 0x40000},  {L"write_owner", 0x80000}, {L"read_access", 0x20000},
};

constexpr Keyword kServiceKeywords[] = {{L"read", 0x2018D}, {L"start_stop", 0x201FD}, {L"full", 0xF01FF}};

constexpr Keyword kShareKeywords[] = {{L"read", 0x1200A9}, {L"change", 0x1301BF}, {L"full", 0x1F01FF}};

template <size_t N>
const Keyword* FindKeyword(const Keyword (&table)[N], const std::wstring& word) {
    for (const Keyword& keyword : table) {
        if (tavrik::EqualsNoCase(word, keyword.word)) return &keyword;
    }
    return nullptr;
}

constexpr DWORD kInheritObjectAndContainer = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// A documented keyword of the type, else a word its listing prints.
template <size_t N, size_t M>
const Keyword* FindKeyword(const Keyword (&keywords)[N], const Keyword (&listingWords)[M], const std::wstring& word) {
    if (const Keyword* keyword = FindKeyword(keywords, word)) return keyword;
    if (const Keyword* keyword = FindKeyword(listingWords, word)) return keyword;
    return FindKeyword(kStandardListingWords, word);
}

// Applies one keyword to `entry`. Returns false when the keyword is unknown
// for the object type; `documentEntryNeeded` is set for printer keywords
// that need a second entry for the printer's documents.
bool ApplyKeyword(DWORD objectType, const std::wstring& word, CACE& entry, bool& documentEntryNeeded) {
    switch (objectType) {
        case SE_FILE_OBJECT: {
            const Keyword* keyword = FindKeyword(kFileKeywords, kFileListingWords, word);
            if (!keyword) return false;
            entry.m_accessMask |= keyword->mask;
            if (tavrik::EqualsNoCase(word, L"list_folder") && !entry.m_inheritanceGiven) {
                entry.m_inheritance = CONTAINER_INHERIT_ACE;
                entry.m_inheritanceGiven = TRUE;
            }
            if (entry.m_accessMode != DENY_ACCESS) entry.m_accessMask |= SYNCHRONIZE;
            if (!entry.m_inheritanceGiven) entry.m_inheritance = kInheritObjectAndContainer;
            return true;
        }
        case SE_REGISTRY_KEY: {
            const Keyword* keyword = FindKeyword(kRegistryKeywords, kRegistryListingWords, word);
            if (!keyword) return false;
            entry.m_accessMask |= keyword->mask;
            if (!entry.m_inheritanceGiven) entry.m_inheritance = CONTAINER_INHERIT_ACE;
            return true;
        }
        case SE_SERVICE:
        case SE_LMSHARE: {
            const Keyword* keyword = objectType == SE_SERVICE
                                         ? FindKeyword(kServiceKeywords, kServiceListingWords, word)
                                         : FindKeyword(kShareKeywords, kShareListingWords, word);
            if (!keyword) return false;
            entry.m_accessMask |= keyword->mask;
            if (!entry.m_inheritanceGiven) entry.m_inheritance = 0;
            return true;
        }
        case SE_PRINTER: {
            const bool given = entry.m_inheritanceGiven != FALSE;
            // The listing's names of the combined printer rights mean the keywords.
            if (tavrik::EqualsNoCase(word, L"print")) {
                entry.m_accessMask |= 0x20008;
                if (!given) entry.m_inheritance = 0;
            } else if (tavrik::EqualsNoCase(word, L"man_printer") || tavrik::EqualsNoCase(word, L"manage_printer")) {
                entry.m_accessMask |= 0xF000C;
                if (!given) entry.m_inheritance = 0;
            } else if (tavrik::EqualsNoCase(word, L"man_docs") || tavrik::EqualsNoCase(word, L"manage_documents")) {
                if (given) {
                    entry.m_accessMask |= 0xF0030;
                } else {
                    entry.m_accessMask = 0x20000;
                    entry.m_inheritance = CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE;
                    documentEntryNeeded = true;
                }
            } else if (tavrik::EqualsNoCase(word, L"full")) {
                if (given) {
                    entry.m_accessMask |= 0xF000C;
                } else {
                    entry.m_accessMask = 0xF000C;
                    entry.m_inheritance = 0;
                    documentEntryNeeded = true;
                }
            } else if (const Keyword* keyword = FindKeyword(kPrinterListingWords, kStandardListingWords, word)) {
                entry.m_accessMask |= keyword->mask;
                if (!given) entry.m_inheritance = 0;
            } else {
                return false;
            }
            return true;
        }
        default:
            return false;
    }
}

DWORD UnknownKeywordCode(DWORD objectType) {
    switch (objectType) {
        case SE_FILE_OBJECT: return RTN_ERR_KEYWORD_FILE;
        case SE_PRINTER: return RTN_ERR_KEYWORD_PRINTER;
        case SE_REGISTRY_KEY: return RTN_ERR_KEYWORD_REGISTRY;
        case SE_SERVICE: return RTN_ERR_KEYWORD_SERVICE;
        case SE_LMSHARE: return RTN_ERR_KEYWORD_SHARE;
        default: return RTN_ERR_PARAMETER;
    }
}

std::wstring TrimWhiteSpace(const std::wstring& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::iswspace(static_cast<wint_t>(text[first]))) ++first;
    while (last > first && std::iswspace(static_cast<wint_t>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

}  // namespace

BOOL SplitList(const std::wstring& separator, const std::wstring& text, std::vector<std::wstring>& out) {
    try {
        out.clear();
        const std::wstring trimmed = TrimWhiteSpace(text);
        if (separator.empty()) {
            if (!trimmed.empty()) out.push_back(trimmed);
            return TRUE;
        }
        size_t position = 0;
        for (size_t found = trimmed.find(separator); found != std::wstring::npos;
             found = trimmed.find(separator, position)) {
            out.push_back(trimmed.substr(position, found - position));
            position = found + separator.size();
        }
        if (position < trimmed.size()) out.push_back(trimmed.substr(position));
        return TRUE;
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
}

DWORD CTavrik::ParsePermissions() {
    // Document entries are derived from their printer entries; a later run
    // derives them afresh instead of translating (and multiplying) them.
    for (CACE* previous : m_documentEntries) {
        m_aces.remove(previous);
        if (previous->m_aclType == ACL_DACL) --m_daclAceCount;
        if (previous->m_aclType == ACL_SACL) --m_saclAceCount;
        delete previous;
    }
    m_documentEntries.clear();

    std::vector<CACE*> documentEntries;
    auto discardDocumentEntries = [&documentEntries, this] {
        for (CACE* entry : documentEntries) {
            if (entry->m_aclType == ACL_DACL) --m_daclAceCount;
            if (entry->m_aclType == ACL_SACL) --m_saclAceCount;
            delete entry;
        }
    };

    // Entries appended during the loop (split audit entries) are visited too.
    for (auto it = m_aces.begin(); it != m_aces.end(); ++it) {
        CACE* entry = *it;
        if (entry->m_accessMode == AUDIT_SUCCESS_AND_FAILURE) {
            entry->m_accessMode = SET_AUDIT_FAILURE;
            CACE* successEntry = CloneACE(entry);
            if (!successEntry) {
                discardDocumentEntries();
                return RTN_ERR_PARAMETER;
            }
            successEntry->m_accessMode = SET_AUDIT_SUCCESS;
            m_aces.push_back(successEntry);
        }

        entry->m_accessMask = 0;
        // Keywords are joined by ','; '+' joins them too, as listings print them.
        std::wstring permissions = entry->m_permissions;
        for (wchar_t& c : permissions)
            if (c == L'+') c = L',';
        std::vector<std::wstring> words;
        if (!SplitList(L",", permissions, words)) {
            discardDocumentEntries();
            return RTN_ERR_PARAMETER;
        }
        // An entry that grants, denies or audits needs rights; without any it
        // would add an entry that does nothing. Only a revoke names none.
        if (words.empty() && entry->m_accessMode != REVOKE_ACCESS) {
            discardDocumentEntries();
            return UnknownKeywordCode(m_objectType);
        }
        for (const std::wstring& word : words) {
            bool documentEntryNeeded = false;
            if (!ApplyKeyword(m_objectType, word, *entry, documentEntryNeeded)) {
                discardDocumentEntries();
                return UnknownKeywordCode(m_objectType);
            }
            if (documentEntryNeeded) {
                CACE* documentEntry = CloneACE(entry);
                if (!documentEntry) {
                    discardDocumentEntries();
                    return RTN_ERR_PARAMETER;
                }
                documentEntry->m_accessMask = 0xF0030;
                documentEntry->m_inheritance = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
                documentEntries.push_back(documentEntry);
            }
            if (entry->m_accessMode == SET_AUDIT_SUCCESS || entry->m_accessMode == SET_AUDIT_FAILURE) {
                entry->m_accessMask &= ~SYNCHRONIZE;
            }
        }
    }
    for (CACE* entry : documentEntries) m_aces.push_back(entry);
    m_documentEntries = std::move(documentEntries);
    return RTN_OK;
}
