// tavrik access OBJECT ACCOUNT: the rights an account (with its groups) has
// on an object, and the entries that grant and deny them.
#include <iostream>
#include <memory>

#include "acl/trustee.h"
#include "cli/access_report.h"
#include "cli/command.h"
#include "cli/console_colour.h"
#include "cli/job_runner.h"
#include "engine/local_memory.h"
#include "objects/csd.h"

namespace tavrik::cli {
namespace {

struct AccessArguments {
    JobOptions job;
    std::string account;
    bool json = false;
};

const wchar_t* TypeWord(DWORD type) {
    switch (type) {
        case SE_FILE_OBJECT: return L"file";
        case SE_REGISTRY_KEY: return L"registry";
        case SE_SERVICE: return L"service";
        case SE_PRINTER: return L"printer";
        case SE_LMSHARE: return L"share";
        default: return L"unknown";
    }
}

// Generic rights in an entry mean the object type's specific ones.
ACCESS_MASK MappedForType(ACCESS_MASK mask, DWORD type) {
    GENERIC_MAPPING file = {0x120089, 0x120116, 0x1200A0, 0x1F01FF};
    GENERIC_MAPPING registry = {0x20019, 0x20006, 0x20019, 0xF003F};
    if (type == SE_FILE_OBJECT) MapGenericMask(&mask, &file);
    if (type == SE_REGISTRY_KEY) MapGenericMask(&mask, &registry);
    return mask;
}

std::wstring SidString(PSID sid) {
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"?";
    LocalPtr<wchar_t> owned(text);
    return text;
}

// Whether an entry for `sid` speaks for the account: asked of the same
// check, with a one-entry list that grants READ_CONTROL to `sid`.
bool SidAppliesTo(PSID sid, TRUSTEE_W& account) {
    const DWORD size = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* acl = reinterpret_cast<PACL>(buffer.data());
    if (!InitializeAcl(acl, size, ACL_REVISION) || !AddAccessAllowedAce(acl, ACL_REVISION, READ_CONTROL, sid))
        return false;
    ACCESS_MASK rights = 0;
    return GetEffectiveRightsFromAclW(acl, &account, &rights) == ERROR_SUCCESS && (rights & READ_CONTROL) != 0;
}

void ToStderr(const std::string& text) {
    std::cout << std::flush;
    std::cerr << Coloured(text, ToneOf(text), StderrTakesColour()) << "\n" << std::flush;
}

int Fail(JobConsole& console, DWORD code, const std::wstring& line) {
    console.Finish();
    ToStderr(ToConsole(line));
    ToStderr("\nTavrik finished with error(s): [" + ReturnCodeLabel(code) + "]");
    return static_cast<int>(code);
}

std::wstring OsText(CTavrik& job, DWORD error) {
    std::wstring text = job.GetOSErrorText(error);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
}

std::wstring Shown(const Rights& rights) {
    wchar_t hex[16];
    swprintf(hex, sizeof hex / sizeof hex[0], L"0x%08x", static_cast<unsigned>(rights.mask));
    return (rights.mask == 0 ? std::wstring(L"nothing") : rights.words) + L" (" + hex + L")";
}

void PrintText(const AccessReport& report) {
    std::wstring text = L"<" + report.object + L"> for " + report.account + L" (" + report.accountSid + L"): " +
                        (report.rights.mask == 0 ? L"no access (0x00000000)" : Shown(report.rights)) + L"\n";
    if (report.nullDacl) text += L"   no DACL: everyone has every right\n";
    for (const auto& entry : report.entries) {
        text += std::wstring(L"   ") + (entry.allow ? L"allow" : L"deny ") + L"   " + entry.trustee + L"   " +
                entry.rights.words + L"   " + (entry.inherited ? L"inherited" : L"explicit") + L"   " +
                (entry.effect.mask == 0 ? std::wstring(L"no effect: decided by earlier entries")
                                        : (entry.allow ? L"grants " : L"denies ") + Shown(entry.effect)) +
                L"\n";
    }
    if (report.ownerRights.mask != 0)
        text += L"   owner   " + report.account + L"   grants " + Shown(report.ownerRights) + L" as the owner\n";
    if (report.entries.empty() && !report.nullDacl && report.ownerRights.mask == 0)
        text += L"   no entry applies to the account or its groups\n";
    std::cout << ToConsole(text) << std::flush;
}

int RunAccess(const AccessArguments& a) {
    ConsoleJob cj(a.job);
    if (cj.status != RTN_OK) return static_cast<int>(cj.status);
    CTavrik& job = cj.job;

    const std::wstring accountText = FromConsole(a.account);
    CTrustee account(accountText, LooksLikeSid(accountText) ? TRUE : FALSE, 0, 0, 0);
    if (accountText.empty() || account.Resolve() != RTN_OK || account.m_sid == nullptr)
        return Fail(cj.console, RTN_ERR_RESOLVE_TRUSTEE, L"Error: cannot resolve the account '" + accountText + L"'");

    if (DWORD code = job.PrepareRun(); code != RTN_OK)
        return Fail(cj.console, code,
                    L"Error: cannot open <" + job.m_objectName + L">: " + OsText(job, job.m_lastOsError));
    CSD sd(&job);
    if (DWORD code = sd.GetSD(job.m_objectName, job.m_objectType,
                              DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION);
        code != RTN_OK) {
        return Fail(cj.console, code,
                    L"Error: cannot read the security descriptor of <" + job.m_objectName + L">: " +
                        OsText(job, sd.m_lastError));
    }

    AccessReport report;
    report.object = job.m_objectName;
    report.type = TypeWord(job.m_objectType);
    report.account = job.SidToText(account.m_sid);
    if (report.account.empty()) report.account = accountText;
    job.m_lastOsError = 0;
    report.accountSid = SidString(account.m_sid);
    auto rights = [&job](ACCESS_MASK mask) {
        Rights r;
        r.mask = MappedForType(mask, job.m_objectType);
        r.words = job.MaskToText(r.mask);
        return r;
    };

    TRUSTEE_W trustee = {};
    trustee.pMultipleTrustee = nullptr;
    trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    trustee.TrusteeForm = TRUSTEE_IS_SID;
    trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    trustee.ptstrName = reinterpret_cast<LPWSTR>(account.m_sid);

    ACCESS_MASK granted = 0;
    if (DWORD error = GetEffectiveRightsFromAclW(sd.m_dacl, &trustee, &granted); error != ERROR_SUCCESS)
        return Fail(cj.console, RTN_ERR_READ_ACL,
                    L"Error: cannot check the access of '" + accountText + L"' to <" + job.m_objectName +
                        L">: " + OsText(job, error));
    report.nullDacl = sd.m_dacl == nullptr;

    // The owner may read and change the permissions whatever the entries
    // say, unless an OWNER RIGHTS entry says what the owner gets.
    bool ownerRightsEntry = false;
    ACL_SIZE_INFORMATION size = {};
    if (sd.m_dacl != nullptr) GetAclInformation(sd.m_dacl, &size, sizeof size, AclSizeInformation);
    PSID ownerRightsSid = nullptr;
    ConvertStringSidToSidW(L"S-1-3-4", &ownerRightsSid);
    LocalPtr<void> ownerRightsOwned(ownerRightsSid);
    std::vector<std::pair<ACE_HEADER*, PSID>> effective;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(sd.m_dacl, i, &raw)) continue;
        auto* header = static_cast<ACE_HEADER*>(raw);
        if (header->AceFlags & INHERIT_ONLY_ACE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
        PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(raw)->SidStart;
        if (ownerRightsSid != nullptr && EqualSid(sid, ownerRightsSid)) ownerRightsEntry = true;
        effective.emplace_back(header, sid);
    }
    ACCESS_MASK allowed = 0, denied = 0;
    if (!ownerRightsEntry && sd.m_owner != nullptr && SidAppliesTo(sd.m_owner, trustee)) {
        report.ownerRights = rights(READ_CONTROL | WRITE_DAC);
        allowed = report.ownerRights.mask;
    }
    // Each entry in order, as the check reads them: the first to speak of a
    // right decides it.
    for (const auto& [header, sid] : effective) {
        if (!SidAppliesTo(sid, trustee)) continue;
        AccessEntry entry;
        entry.trustee = job.SidToText(sid);
        if (entry.trustee.empty()) entry.trustee = SidString(sid);
        job.m_lastOsError = 0;
        entry.sid = SidString(sid);
        entry.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
        entry.rights = rights(reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->Mask);
        entry.inherited = (header->AceFlags & INHERITED_ACE) != 0;
        const ACCESS_MASK fresh = entry.rights.mask & ~allowed & ~denied;
        entry.effect = rights(fresh);
        if (entry.allow) {
            allowed |= fresh;
        } else {
            denied |= fresh;
        }
        report.entries.push_back(std::move(entry));
    }
    report.rights = rights(granted | report.ownerRights.mask);

    cj.console.Finish();
    if (a.json) {
        std::cout << AccessJson(report) << "\n" << std::flush;
    } else {
        PrintText(report);
    }
    return 0;
}

const CommandRegistration registration(550, {"access"}, [](CLI::App& app, int& exitCode) {
    auto args = std::make_shared<AccessArguments>();
    auto* cmd = app.add_subcommand(
        "access", "Show the rights an account (with its groups) has on an object, and the entries that decide them");
    AddJobOptions(cmd, args->job, true, false);
    cmd->add_option("ACCOUNT", args->account, "Account or group, by name (DOMAIN\\name) or SID (S-1-...)")
        ->required();
    cmd->add_flag("--json", args->json,
                  "Print one JSON object: object, type, account {name, sid}, rights (words), mask, null_dacl, "
                  "owner {rights, mask} or null, and entries, each with trustee {name, sid}, type, rights, mask, "
                  "inherited and what it grants or denies {rights, mask}");
    cmd->footer(
        "The rights come from the access check every open of the object goes through, for a token holding the\n"
        "account and the groups it belongs to (Everyone, Authenticated Users and BUILTIN\\Users included); the\n"
        "owner may also read and change the permissions. Each entry that applies to the account is named with\n"
        "what it grants or denies; entries are read in order, and the first to speak of a right decides it.\n"
        "Examples:\n"
        "  tavrik access 'C:\\Data\\Projects' 'OLDDOM\\jane'\n"
        "  tavrik access HKLM\\SOFTWARE\\Vendor 'BUILTIN\\Users'\n"
        "  tavrik access Spooler S-1-5-32-545 --type service --json");
    cmd->callback([args, &exitCode] { exitCode = RunAccess(*args); });
});

}  // namespace
}  // namespace tavrik::cli
