// The keyword texts that listings show for access masks, ACE types, ACE
// flags and whole ACLs. They are for people to read; restore never parses
// them, so they carry no escaping.
#include <array>
#include <string>

#include "engine/tavrik.h"
#include "acl/ace_sid.h"

namespace {

struct NamedBits {
    const wchar_t* word;
    DWORD bits;
};

// How a single-right name is tested against what the combinations left.
enum class Test { Bit, AnyOf };

struct SingleRight {
    const wchar_t* word;
    Test test;
    DWORD bits;
};

constexpr DWORD kSynchronize = 0x100000;

constexpr NamedBits kFileCombinations[] = {
    {L"full+", 0xF01FF}, {L"change+", 0x301BF}, {L"read_execute+", 0x200A9},
    {L"write+", 0x116},  {L"read+", 0x20089},
};
constexpr NamedBits kServiceCombinations[] = {
    {L"full+", 0xF01FF}, {L"start_stop+", 0x201FD}, {L"read+", 0x2018D}};
constexpr NamedBits kPrinterCombinations[] = {
    {L"manage_printer+", 0xF000C}, {L"manage_documents+", 0xF0030}, {L"print+", 0x20008}};
constexpr NamedBits kRegistryCombinations[] = {{L"full+", 0xF003F}, {L"read+", 0x20019}};
constexpr NamedBits kShareCombinations[] = {
    {L"full+", 0x1F01FF}, {L"change+", 0x1301BF}, {L"read+", 0x1200A9}};

constexpr SingleRight kFileRights[] = {
    {L"FILE_LIST_DIRECTORY+", Test::Bit, 0x001},   {L"FILE_ADD_FILE+", Test::Bit, 0x002},
    {L"FILE_ADD_SUBDIRECTORY+", Test::Bit, 0x004}, {L"FILE_READ_EA+", Test::Bit, 0x008},
    {L"FILE_WRITE_EA+", Test::Bit, 0x010},         {L"FILE_TRAVERSE+", Test::Bit, 0x020},
    {L"FILE_DELETE_CHILD+", Test::Bit, 0x040},     {L"FILE_READ_ATTRIBUTES+", Test::Bit, 0x080},
    {L"FILE_WRITE_ATTRIBUTES+", Test::Bit, 0x100},
};
constexpr SingleRight kServiceRights[] = {
    {L"SERVICE_CHANGE_CONFIG+", Test::Bit, 0x002},  {L"SERVICE_ENUMERATE_DEPENDENTS+", Test::Bit, 0x008},
    {L"SERVICE_INTERROGATE+", Test::Bit, 0x080},    {L"SERVICE_PAUSE_CONTINUE+", Test::Bit, 0x040},
    {L"SERVICE_QUERY_CONFIG+", Test::Bit, 0x001},   {L"SERVICE_QUERY_STATUS+", Test::Bit, 0x004},
    {L"SERVICE_START+", Test::Bit, 0x010},          {L"SERVICE_STOP+", Test::Bit, 0x020},
    {L"SERVICE_USER_DEFINED_CONTROL+", Test::Bit, 0x100},
};
constexpr SingleRight kPrinterRights[] = {
    {L"PRINTER_ACCESS_ADMINISTER+", Test::Bit, 0x004},
    {L"PRINTER_ACCESS_USE+", Test::Bit, 0x008},
    {L"JOB_ACCESS_ADMINISTER+", Test::Bit, 0x010},
    {L"JOB_ACCESS_READ+", Test::Bit, 0x020},
};
constexpr SingleRight kRegistryRights[] = {
    {L"KEY_CREATE_LINK+", Test::Bit, 0x020},        {L"KEY_CREATE_SUB_KEY+", Test::Bit, 0x004},
    {L"KEY_ENUMERATE_SUB_KEYS+", Test::Bit, 0x008}, {L"KEY_EXECUTE+", Test::AnyOf, 0x20019},
    {L"KEY_NOTIFY+", Test::Bit, 0x010},             {L"KEY_QUERY_VALUE+", Test::Bit, 0x001},
    {L"KEY_READ+", Test::AnyOf, 0x20019},           {L"KEY_SET_VALUE+", Test::Bit, 0x002},
    {L"KEY_WRITE+", Test::AnyOf, 0x20006},
};
constexpr SingleRight kShareRights[] = {
    {L"SHARE_READ+", Test::AnyOf, 0x1BF},
    {L"SHARE_CHANGE+", Test::AnyOf, 0xA9},
    {L"SHARE_WRITE+", Test::Bit, 0x040},
};

constexpr NamedBits kCommonTail[] = {
    {L"READ_CONTROL+", 0x20000},        {L"WRITE_OWNER+", 0x80000},      {L"WRITE_DAC+", 0x40000},
    {L"DELETE+", 0x10000},              {L"SYNCHRONIZE+", 0x100000},     {L"ACCESS_SYSTEM_SECURITY+", 0x1000000},
    {L"GENERIC_ALL+", 0x10000000},      {L"GENERIC_EXECUTE+", 0x20000000}, {L"GENERIC_READ+", 0x80000000},
    {L"GENERIC_WRITE+", 0x40000000},
};

constexpr NamedBits kAceFlagWords[] = {
    {L"container_inherit+", 0x02}, {L"object_inherit+", 0x01}, {L"inherit_only+", 0x08},
    {L"no_propagate_inherit+", 0x04}, {L"inherited+", 0x10},  {L"audit_success+", 0x40},
    {L"audit_fail+", 0x80},
};

constexpr std::array<const wchar_t*, 9> kAceTypeWords = {
    L"allow", L"deny", L"audit", L"alarm", L"allow_compound", L"allow_object", L"deny_object", L"audit_object",
    L"alarm_object",
};

template <size_t N>
void AppendCombinations(const NamedBits (&table)[N], DWORD& remaining, std::wstring& text) {
    for (const auto& entry : table) {
        if ((remaining & entry.bits) == entry.bits) {
            text += entry.word;
            remaining &= ~entry.bits;
        }
    }
}

template <size_t N>
void AppendSingleRights(const SingleRight (&table)[N], DWORD remaining, std::wstring& text) {
    for (const auto& entry : table) {
        const bool passes = entry.test == Test::Bit ? (remaining & entry.bits) == entry.bits
                                                    : (remaining & entry.bits) != 0;
        if (passes) text += entry.word;
    }
}

void TrimTrailing(std::wstring& text, wchar_t c) {
    while (!text.empty() && text.back() == c) text.pop_back();
}

constexpr BYTE kInheritedAce = 0x10;

}  // namespace

std::wstring CTavrik::MaskToText(DWORD mask) {
    std::wstring text;
    DWORD remaining = mask;
    switch (m_objectType) {
        case SE_FILE_OBJECT: {
            GENERIC_MAPPING mapping = {0x120089, 0x120116, 0x1200A0, 0x1F01FF};
            MapGenericMask(&remaining, &mapping);
            remaining &= ~kSynchronize;
            AppendCombinations(kFileCombinations, remaining, text);
            AppendSingleRights(kFileRights, remaining, text);
            break;
        }
        case SE_SERVICE:
            AppendCombinations(kServiceCombinations, remaining, text);
            AppendSingleRights(kServiceRights, remaining, text);
            break;
        case SE_PRINTER:
            AppendCombinations(kPrinterCombinations, remaining, text);
            AppendSingleRights(kPrinterRights, remaining, text);
            break;
        case SE_REGISTRY_KEY: {
            GENERIC_MAPPING mapping = {0x120019, 0x20006, 0x20019, 0xF003F};
            MapGenericMask(&remaining, &mapping);
            AppendCombinations(kRegistryCombinations, remaining, text);
            AppendSingleRights(kRegistryRights, remaining, text);
            break;
        }
        case SE_LMSHARE:
            AppendCombinations(kShareCombinations, remaining, text);
            AppendSingleRights(kShareRights, remaining, text);
            break;
        default:
            return text;
    }
    for (const auto& entry : kCommonTail) {
        if (remaining & entry.bits) text += entry.word;
    }
    TrimTrailing(text, L'+');
    return text;
}

std::wstring CTavrik::AceTypeToText(BYTE aceType) {
    if (aceType < kAceTypeWords.size()) return kAceTypeWords[aceType];
    return std::wstring();
}

std::wstring CTavrik::AceFlagsToText(BYTE aceFlags) {
    std::wstring text;
    for (const auto& entry : kAceFlagWords) {
        if (aceFlags & entry.bits) text += entry.word;
    }
    TrimTrailing(text, L'+');
    if (text.empty()) text = L"no_inheritance";
    return text;
}

std::wstring CTavrik::AclToText(PACL acl) {
    std::wstring text;
    if (!acl) return text;

    ACL_SIZE_INFORMATION sizeInfo = {};
    if (!GetAclInformation(acl, &sizeInfo, sizeof sizeInfo, AclSizeInformation)) {
        m_lastOsError = GetLastError();
        return text;
    }
    for (DWORD index = 0; index < sizeInfo.AceCount; ++index) {
        LPVOID raw = nullptr;
        if (!GetAce(acl, index, &raw)) {
            m_lastOsError = GetLastError();
            return text;
        }
        const auto* header = static_cast<const ACE_HEADER*>(raw);
        if ((header->AceFlags & kInheritedAce) && !m_listInherited) continue;

        // The mask sits at the same place in every layout.
        const auto* basic = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        PSID trustee = tavrik::AceSid(header, tavrik::AceSidReach::EveryAce);
        if (!trustee) {
            m_lastOsError = ERROR_INVALID_SID;
            return text;
        }
        std::wstring trusteeText = SidToText(trustee);
        if (m_lastOsError != 0) return text;

        text += trusteeText;
        text += L',';
        text += MaskToText(basic->Mask);
        text += L',';
        text += AceTypeToText(header->AceType);
        text += L',';
        text += AceFlagsToText(header->AceFlags);
        text += L':';
    }
    TrimTrailing(text, L':');
    return text;
}
