// tavrik run: one job combining any of the engine's actions, run in the
// engine's order (restore, changes, reset of the children, listing).
#include <memory>
#include <tuple>

#include "cli/command.h"
#include "cli/job_runner.h"
#include "cli/listing_options.h"

namespace tavrik::cli {
namespace {

struct RunArguments {
    JobOptions job;
    ListingOptions listing;
    std::vector<std::string> grant, set, deny, revoke, audit, auditSuccess, auditFailure, revokeAudit;
    std::string owner, group, daclProtection, saclProtection;
    bool clearDacl = false, clearSacl = false, resetDacl = false, resetSacl = false;
    std::vector<std::string> replaceTrustee, removeTrustee, copyTrustee;
    std::string trusteeAcls = "dacl";
    std::vector<std::string> migrateDomain, removeDomain, copyDomain;
    std::string domainAcls = "dacl";
    bool list = false;
    std::string backup, restore;
    // The subcommand and its entry options, to add the entries in the order
    // in which they were typed.
    CLI::App* command = nullptr;
    std::vector<CLI::Option*> entryOptions;
    CLI::Option* what = nullptr;
};

struct EntryText {
    std::wstring trustee, permissions;
    DWORD inheritance = 0;
    bool inheritanceGiven = false;
};

// TRUSTEE:PERMISSIONS[:INHERITANCE]
EntryText SplitEntry(const std::string& text) {
    EntryText entry;
    size_t first = text.find(':');
    size_t second = first == std::string::npos ? std::string::npos : text.find(':', first + 1);
    entry.trustee = FromConsole(text.substr(0, first));
    if (first != std::string::npos)
        entry.permissions = FromConsole(text.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                                            : second - first - 1));
    if (second != std::string::npos) {
        entry.inheritance = ParseInheritance(text.substr(second + 1));
        entry.inheritanceGiven = true;
    }
    return entry;
}

// OLD=NEW
std::pair<std::wstring, std::wstring> SplitPair(const std::string& text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos) throw CLI::ValidationError(text, "expected OLD=NEW");
    return {FromConsole(text.substr(0, eq)), FromConsole(text.substr(eq + 1))};
}

// The OLD=NEW of a replace or copy, or just the OLD of a remove.
std::pair<std::wstring, std::wstring> RewritePair(const std::string& text, DWORD flag) {
    if (flag == TRUSTEE_REMOVE) return {FromConsole(text), std::wstring()};
    return SplitPair(text);
}

int RunCombined(RunArguments& a) {
    // With --json the listing's records are JSON too, with what `list
    // --json` shows; a listing written to a --backup file keeps its format.
    if (a.listing.format == "json") a.job.json = true;
    if (a.job.json && a.list && a.backup.empty()) {
        a.listing.format = "json";
        if (a.what && a.what->count() == 0) a.listing.what = "dacl,owner,group";
    }
    ConsoleJob cj(a.job);
    if (cj.status != RTN_OK) return static_cast<int>(cj.status);
    CTavrik& job = cj.job;
    if (!ApplyListingOptions(job, a.listing)) return RTN_ERR_PARAMETER;

    auto addEntries = [&](const std::vector<std::string>& texts, DWORD mode, DWORD aclType) -> DWORD {
        for (const auto& text : texts) {
            EntryText e = SplitEntry(text);
            DWORD code = job.AddACE(e.trustee, LooksLikeSid(e.trustee) ? TRUE : FALSE, e.permissions, e.inheritance,
                                    e.inheritanceGiven ? TRUE : FALSE, mode, aclType);
            if (code != RTN_OK) return code;
            job.SetAction(ACTION_ADD_ACE);
        }
        return RTN_OK;
    };
    // The engine applies the entries in the order they were added, and a
    // later entry may undo an earlier one (--revoke alice --grant
    // alice:write), so they are added in the order they were typed. The
    // entry options are in the same order as `kinds`.
    const std::tuple<std::vector<std::string>*, DWORD, DWORD> kinds[] = {
        {&a.grant, DWORD(GRANT_ACCESS), ACL_DACL},
        {&a.set, DWORD(SET_ACCESS), ACL_DACL},
        {&a.deny, DWORD(DENY_ACCESS), ACL_DACL},
        {&a.revoke, DWORD(REVOKE_ACCESS), ACL_DACL},
        {&a.audit, AUDIT_SUCCESS_AND_FAILURE, ACL_SACL},
        {&a.auditSuccess, DWORD(SET_AUDIT_SUCCESS), ACL_SACL},
        {&a.auditFailure, DWORD(SET_AUDIT_FAILURE), ACL_SACL},
        {&a.revokeAudit, DWORD(REVOKE_ACCESS), ACL_SACL}};
    std::vector<size_t> taken(std::size(kinds), 0);
    if (a.command && a.entryOptions.size() == std::size(kinds)) {
        for (const CLI::Option* option : a.command->parse_order()) {
            for (size_t kind = 0; kind < std::size(kinds); ++kind) {
                if (a.entryOptions[kind] != option) continue;
                auto [texts, mode, acl] = kinds[kind];
                if (taken[kind] >= texts->size()) break;
                const std::vector<std::string> one{(*texts)[taken[kind]++]};
                if (DWORD code = addEntries(one, mode, acl); code != RTN_OK) return static_cast<int>(code);
            }
        }
    }
    // Whatever the typed order did not account for, by kind.
    for (size_t kind = 0; kind < std::size(kinds); ++kind) {
        auto [texts, mode, acl] = kinds[kind];
        const std::vector<std::string> rest(texts->begin() + static_cast<std::ptrdiff_t>(taken[kind]), texts->end());
        if (DWORD code = addEntries(rest, mode, acl); code != RTN_OK) return static_cast<int>(code);
    }
    if (!a.owner.empty()) {
        std::wstring owner = FromConsole(a.owner);
        job.SetOwner(owner, LooksLikeSid(owner) ? TRUE : FALSE);
        job.SetAction(ACTION_SET_OWNER);
    }
    if (!a.group.empty()) {
        std::wstring group = FromConsole(a.group);
        job.SetGroup(group, LooksLikeSid(group) ? TRUE : FALSE);
        job.SetAction(ACTION_SET_GROUP);
    }
    if (!a.daclProtection.empty() || !a.saclProtection.empty()) {
        job.SetDaclProtection(ProtectionMode(a.daclProtection));
        job.SetSaclProtection(ProtectionMode(a.saclProtection));
        job.SetAction(ACTION_SET_PROTECTION);
    }
    if (a.clearDacl) job.SetAction(ACTION_CLEAR_DACL);
    if (a.clearSacl) job.SetAction(ACTION_CLEAR_SACL);
    if (a.resetDacl || a.resetSacl) {
        job.SetAction(ACTION_RESET_CHILDREN);
        job.SetResetDacl(a.resetDacl ? TRUE : FALSE);
        job.SetResetSacl(a.resetSacl ? TRUE : FALSE);
    }
    auto addTrustees = [&](const std::vector<std::string>& texts, DWORD flag) {
        for (const auto& text : texts) {
            auto [from, to] = RewritePair(text, flag);
            job.AddTrustee(from, LooksLikeSid(from) ? TRUE : FALSE, to, LooksLikeSid(to) ? TRUE : FALSE, flag);
            job.SetAction(ACTION_TRUSTEE);
        }
    };
    addTrustees(a.replaceTrustee, TRUSTEE_REPLACE);
    addTrustees(a.removeTrustee, TRUSTEE_REMOVE);
    addTrustees(a.copyTrustee, TRUSTEE_COPY);
    job.SetTrusteeDacl(a.trusteeAcls != "sacl" ? TRUE : FALSE);
    job.SetTrusteeSacl(a.trusteeAcls != "dacl" ? TRUE : FALSE);
    auto addDomains = [&](const std::vector<std::string>& texts, DWORD flag) {
        for (const auto& text : texts) {
            auto [from, to] = RewritePair(text, flag);
            job.AddDomain(from, to, flag);
            job.SetAction(ACTION_DOMAIN);
        }
    };
    addDomains(a.migrateDomain, TRUSTEE_REPLACE);
    addDomains(a.removeDomain, TRUSTEE_REMOVE);
    addDomains(a.copyDomain, TRUSTEE_COPY);
    job.SetDomainDacl(a.domainAcls != "sacl" ? TRUE : FALSE);
    job.SetDomainSacl(a.domainAcls != "dacl" ? TRUE : FALSE);
    if (!a.restore.empty()) {
        job.SetBackupFile(FromConsole(a.restore));
        job.SetAction(ACTION_RESTORE);
    }
    if (a.list || !a.backup.empty()) {
        job.SetAction(ACTION_LIST);
        if (!a.backup.empty()) job.SetBackupFile(FromConsole(a.backup));
    }
    return RunJob(job, cj.console, a.job);
}

const CommandRegistration registration(600, {"run"}, [](CLI::App& app, int& exitCode) {
    auto a = std::make_shared<RunArguments>();
    auto* cmd = app.add_subcommand("run", "Run one job combining any of the actions below");
    AddJobOptions(cmd, a->job);
    const char* entry = "TRUSTEE:PERMISSIONS[:INHERIT]; repeatable, applied in the order given";
    a->command = cmd;
    // One value per occurrence, so that each occurrence is one entry at its
    // place in the command line.
    auto entryOption = [&](const char* name, std::vector<std::string>& values, const std::string& help) {
        a->entryOptions.push_back(
            cmd->add_option(name, values, help)->allow_extra_args(false)->group("Entries"));
    };
    entryOption("--grant", a->grant, std::string("Grant rights: ") + entry);
    entryOption("--set", a->set, std::string("Set rights: ") + entry);
    entryOption("--deny", a->deny, std::string("Deny rights: ") + entry);
    entryOption("--revoke", a->revoke, "Remove the allow entries of TRUSTEE[:]; repeatable");
    entryOption("--audit", a->audit, std::string("Audit success and failure: ") + entry);
    entryOption("--audit-success", a->auditSuccess, std::string("Audit success: ") + entry);
    entryOption("--audit-failure", a->auditFailure, std::string("Audit failure: ") + entry);
    entryOption("--revoke-audit", a->revokeAudit, "Remove the audit entries of TRUSTEE; repeatable");
    cmd->add_option("--owner", a->owner, "New owner")->group("Owner, group, protection");
    cmd->add_option("--group", a->group, "New primary group")->group("Owner, group, protection");
    const auto modes = CLI::IsMember({"keep", "remove", "inherit"}, CLI::ignore_case);
    cmd->add_option("--dacl-protection", a->daclProtection, "keep, remove (protect) or inherit")
        ->transform(modes)->group("Owner, group, protection");
    cmd->add_option("--sacl-protection", a->saclProtection, "keep, remove (protect) or inherit")
        ->transform(modes)->group("Owner, group, protection");
    cmd->add_flag("--clear-dacl", a->clearDacl, "Delete the explicit DACL entries")->group("Owner, group, protection");
    cmd->add_flag("--clear-sacl", a->clearSacl, "Delete the explicit SACL entries")->group("Owner, group, protection");
    cmd->add_flag("--reset-children-dacl", a->resetDacl, "Make every DACL below the object inherit again")
        ->group("Owner, group, protection");
    cmd->add_flag("--reset-children-sacl", a->resetSacl, "Make every SACL below the object inherit again")
        ->group("Owner, group, protection");
    cmd->add_option("--replace-trustee", a->replaceTrustee, "OLD=NEW; repeatable")->group("Trustees and domains");
    cmd->add_option("--remove-trustee", a->removeTrustee, "TRUSTEE; repeatable")->group("Trustees and domains");
    cmd->add_option("--copy-trustee", a->copyTrustee, "OLD=NEW; repeatable")->group("Trustees and domains");
    const auto acls = CLI::IsMember({"dacl", "sacl", "both"}, CLI::ignore_case);
    cmd->add_option("--trustee-acls", a->trusteeAcls, "ACLs the trustee actions rewrite: dacl, sacl or both")
        ->transform(acls)->capture_default_str()->group("Trustees and domains");
    cmd->add_option("--migrate-domain", a->migrateDomain, "OLDDOM=NEWDOM; repeatable")->group("Trustees and domains");
    cmd->add_option("--remove-domain", a->removeDomain, "DOMAIN; repeatable")->group("Trustees and domains");
    cmd->add_option("--copy-domain", a->copyDomain, "OLDDOM=NEWDOM; repeatable")->group("Trustees and domains");
    cmd->add_option("--domain-acls", a->domainAcls, "ACLs the domain actions rewrite: dacl, sacl or both")
        ->transform(acls)->capture_default_str()->group("Trustees and domains");
    cmd->add_flag("--list", a->list, "List the descriptors after the changes")->group("Listing");
    AddListingOptions(cmd, a->listing);
    a->what = cmd->get_option("--what");
    // The job has one backup file: the restore reads it, the listing writes it.
    auto* backup = cmd->add_option("--backup", a->backup,
                                   "Write the listing to this file (use --format sddl for a backup)")
                       ->group("Listing");
    cmd->add_option("--restore", a->restore, "First restore the descriptors saved in this file")
        ->excludes(backup)
        ->group("Listing");
    AddDryRunOption(cmd, a->job);
    AddForceOption(cmd, a->job);
    cmd->footer("Example:\n  tavrik run 'C:\\Data' --recurse --grant 'BUILTIN\\Users:read_ex' "
                "--deny 'Guest:write:ci,oi' --owner 'BUILTIN\\Administrators' --list --format text");
    cmd->callback([a, &exitCode] { exitCode = RunCombined(*a); });
});

}  // namespace
}  // namespace tavrik::cli
