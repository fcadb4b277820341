// tavrik orphans: entries, owners and groups whose SIDs no longer name an
// account, found by a listing of the tree; --remove deletes the explicit
// entries of those SIDs with a trustee-remove job over the same tree.
#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <set>

#include "cli/command.h"
#include "cli/job_runner.h"
#include "engine/local_memory.h"
#include "engine/text.h"
#include "listing/backup_record.h"
#include "listing/json_records.h"

namespace tavrik::cli {
namespace {

struct OrphansArguments {
    JobOptions job;
    bool remove = false;
};

// What a SID's lookup on the object's computer said.
struct Lookup {
    enum Kind { Account, Orphan, Failed } kind = Account;
    DWORD error = 0;  // the failed lookup's system error
};

struct SidFindings {
    Lookup lookup;
    std::set<std::wstring> objects;
    long explicitEntries = 0;
    long inheritedEntries = 0;
    long ownerOf = 0;
    long groupOf = 0;
    std::set<std::wstring> explicitAt;      // objects holding an explicit entry
    std::set<std::wstring> inheritableAt;   // ... one that children inherit
    std::set<std::wstring> inheritedAt;     // objects holding an inherited entry
};

std::wstring SidText(PSID sid) {
    LPWSTR raw = nullptr;
    if (!ConvertSidToStringSidW(sid, &raw)) return {};
    LocalPtr<WCHAR> owned(raw);
    return raw;
}

std::wstring ComputerOfLookups(const CTavrik& job) {
    std::wstring server = job.m_serverName;
    while (!server.empty() && server.front() == L'\\') server.erase(server.begin());
    if (!server.empty()) return server;
    WCHAR name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(name, &size) ? std::wstring(name) : std::wstring();
}

// Looks `sid` up on the job's computer. A SID no account has counts as an
// orphan only when its domain could be asked: a domain account whose
// domain's controller is out of reach is a failed lookup, never an orphan.
Lookup LookUp(const CTavrik& job, PSID sid) {
    LPCWSTR server = job.m_serverName.empty() ? nullptr : job.m_serverName.c_str();
    auto lookup = [server](PSID which, std::wstring& domain, DWORD& error) {
        WCHAR name[1024] = {}, domainName[1024] = {};
        DWORD nameSize = 1024, domainSize = 1024;
        SID_NAME_USE use = SidTypeUnknown;
        if (LookupAccountSidW(server, which, name, &nameSize, domainName, &domainSize, &use)) {
            domainName[1023] = L'\0';
            name[1023] = L'\0';
            domain = use == SidTypeDomain ? name : domainName;
            return true;
        }
        error = GetLastError();
        return false;
    };
    std::wstring domain;
    DWORD error = 0;
    if (lookup(sid, domain, error)) return {Lookup::Account, 0};
    if (error != ERROR_NONE_MAPPED) return {Lookup::Failed, error};

    // S-1-5-21-a-b-c-RID: an account of the domain (or computer) S-1-5-21-a-b-c.
    const std::wstring text = SidText(sid);
    const std::wstring prefix = L"S-1-5-21-";
    const size_t lastDash = text.rfind(L'-');
    if (text.compare(0, prefix.size(), prefix) != 0 || *GetSidSubAuthorityCount(sid) != 5 ||
        lastDash == std::wstring::npos)
        return {Lookup::Orphan, 0};
    PSID domainSidRaw = nullptr;
    if (!ConvertStringSidToSidW(text.substr(0, lastDash).c_str(), &domainSidRaw)) return {Lookup::Failed, GetLastError()};
    LocalPtr<> domainSidOwned(domainSidRaw);
    PSID domainSid = domainSidOwned.get();
    if (!lookup(domainSid, domain, error)) {
        // No one knows the domain itself: nothing is left to ask.
        return error == ERROR_NONE_MAPPED ? Lookup{Lookup::Orphan, 0} : Lookup{Lookup::Failed, error};
    }
    // The computer's own accounts: it answered for itself.
    if (EqualsNoCase(domain, ComputerOfLookups(job))) return {Lookup::Orphan, 0};
    PDOMAIN_CONTROLLER_INFOW info = nullptr;
    const DWORD reach = DsGetDcNameW(server, domain.c_str(), nullptr, nullptr, 0, &info);
    if (info) NetApiBufferFree(info);
    if (reach != ERROR_SUCCESS) return {Lookup::Failed, reach};
    return {Lookup::Orphan, 0};
}

class OrphanScan {
public:
    explicit OrphanScan(CTavrik& job) : job_(job) {}

    // One listing record: "name",type,"SDDL".
    void Take(const std::wstring& line) {
        const BackupEntry entry = ParseBackupEntry(line);
        if (!entry.exactShape) return;
        PSECURITY_DESCRIPTOR raw = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(entry.sddl.c_str(), SDDL_REVISION_1, &raw, nullptr))
            return;
        LocalPtr<> sd(raw);
        const std::wstring& object = entry.name;
        PSID sid = nullptr;
        BOOL defaulted = FALSE;
        if (GetSecurityDescriptorOwner(sd.get(), &sid, &defaulted) && sid) {
            if (SidFindings* f = Note(sid, object)) ++f->ownerOf;
        }
        if (GetSecurityDescriptorGroup(sd.get(), &sid, &defaulted) && sid) {
            if (SidFindings* f = Note(sid, object)) ++f->groupOf;
        }
        BOOL present = FALSE;
        PACL dacl = nullptr;
        ACL_SIZE_INFORMATION size = {};
        if (!GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) || !dacl ||
            !GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
            return;
        for (DWORD i = 0; i < size.AceCount; ++i) {
            LPVOID ace = nullptr;
            if (!GetAce(dacl, i, &ace)) break;
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            // Only the layouts that hold their SID at the end of the basic form.
            if (header->AceType > ACCESS_DENIED_ACE_TYPE) continue;
            PSID entrySid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
            SidFindings* f = Note(entrySid, object);
            if (!f) continue;
            if (header->AceFlags & INHERITED_ACE) {
                ++f->inheritedEntries;
                f->inheritedAt.insert(object);
            } else {
                ++f->explicitEntries;
                f->explicitAt.insert(object);
                if (header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) f->inheritableAt.insert(object);
            }
        }
    }

    std::map<std::wstring, SidFindings>& findings() { return findings_; }

private:
    // The findings of `sid` when it does not name an account (looked up
    // once per SID), else null.
    SidFindings* Note(PSID sid, const std::wstring& object) {
        const std::wstring text = SidText(sid);
        auto known = accounts_.find(text);
        if (known != accounts_.end()) return nullptr;
        auto it = findings_.find(text);
        if (it == findings_.end()) {
            const Lookup lookup = LookUp(job_, sid);
            if (lookup.kind == Lookup::Account) {
                accounts_.insert(text);
                return nullptr;
            }
            it = findings_.emplace(text, SidFindings{}).first;
            it->second.lookup = lookup;
        }
        it->second.objects.insert(object);
        return &it->second;
    }

    CTavrik& job_;
    std::set<std::wstring> accounts_;
    std::map<std::wstring, SidFindings> findings_;
};

// Where the inherited entries of one SID come from: for each object that
// inherits one, the nearest object above it in the scan holding an
// inheritable explicit entry of the SID, or the object above the scanned
// tree when none does.
std::set<std::wstring> InheritedFrom(const SidFindings& f, const std::wstring& top) {
    std::set<std::wstring> holders;
    for (const auto& object : f.inheritedAt) {
        std::wstring path = object;
        std::wstring found;
        while (true) {
            const size_t slash = path.rfind(L'\\');
            if (slash == std::wstring::npos || path.size() <= top.size()) break;
            path.resize(slash);
            if (f.inheritableAt.count(path)) {
                found = path;
                break;
            }
        }
        if (found.empty()) {
            const size_t slash = top.rfind(L'\\');
            found = slash == std::wstring::npos ? top : top.substr(0, slash);
        }
        holders.insert(found);
    }
    return holders;
}

std::string Joined(const std::set<std::wstring>& names, size_t most) {
    std::string text;
    size_t shown = 0;
    for (const auto& name : names) {
        if (shown == most) {
            text += ", ... (" + std::to_string(names.size()) + " in all)";
            break;
        }
        text += (shown++ ? ", <" : "<") + ToConsole(name) + ">";
    }
    return text;
}

std::string Plural(long count, const std::string& one, const std::string& many = {}) {
    return std::to_string(count) + " " + (count == 1 ? one : many.empty() ? one + "s" : many);
}

json::Record ToJsonArray(const std::set<std::wstring>& names) {
    json::Record out = json::Record::array();
    for (const auto& name : names) out.push_back(json::Utf8(name));
    return out;
}

void Report(CTavrik& job, std::map<std::wstring, SidFindings>& findings, const std::wstring& top, bool asJson) {
    long orphans = 0, failed = 0;
    for (auto& [sid, f] : findings) {
        const std::set<std::wstring> from = InheritedFrom(f, top);
        if (asJson) {
            json::Record r;
            if (f.lookup.kind == Lookup::Orphan) {
                r = {{"record", "orphan"},
                     {"sid", json::Utf8(sid)},
                     {"objects", f.objects.size()},
                     {"explicit_entries", f.explicitEntries},
                     {"inherited_entries", f.inheritedEntries},
                     {"owner_of", f.ownerOf},
                     {"group_of", f.groupOf},
                     {"explicit_at", ToJsonArray(f.explicitAt)},
                     {"inherited_from", ToJsonArray(from)}};
            } else {
                std::wstring text = job.GetOSErrorText(f.lookup.error);
                while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
                r = {{"record", "unresolved"},    {"sid", json::Utf8(sid)},
                     {"objects", f.objects.size()}, {"lookup_error", f.lookup.error},
                     {"lookup_error_text", json::Utf8(text)}};
            }
            std::cout << json::Line(r) << "\n";
            continue;
        }
        if (f.lookup.kind != Lookup::Orphan) continue;
        ++orphans;
        std::cout << ToConsole(sid) << ": " << Plural(static_cast<long>(f.objects.size()), "object") << ", "
                  << Plural(f.explicitEntries, "explicit entry", "explicit entries") << ", "
                  << Plural(f.inheritedEntries, "inherited entry", "inherited entries") << ", owner of " << f.ownerOf << ", group of "
                  << f.groupOf << "\n";
        if (!f.explicitAt.empty()) std::cout << "   explicit at " << Joined(f.explicitAt, 5) << "\n";
        if (!from.empty()) std::cout << "   inherited from " << Joined(from, 5) << "\n";
        if (f.ownerOf || f.groupOf)
            std::cout << "   (owners and groups are not removed: set them with 'tavrik owner' or 'tavrik group')\n";
    }
    if (asJson) return;
    for (auto& [sid, f] : findings) {
        if (f.lookup.kind != Lookup::Failed) continue;
        if (failed++ == 0) std::cout << "Not checked (the lookup itself failed; not treated as orphans):\n";
        std::wstring text = job.GetOSErrorText(f.lookup.error);
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
        std::cout << "   " << ToConsole(sid) << ": " << Plural(static_cast<long>(f.objects.size()), "object")
                  << ": " << ToConsole(text) << " (" << f.lookup.error << ")\n";
    }
    std::cout << (orphans == 0 ? std::string("No orphaned SIDs") : Plural(orphans, "orphaned SID"))
              << " below <" << ToConsole(top) << ">"
              << (failed ? ", " + Plural(failed, "SID") + " not checked" : std::string()) << ".\n";
}

int RunOrphans(const OrphansArguments& args) {
    // The scan: a listing of owner, group and DACL whose records are read
    // here instead of printed.
    JobOptions scanOptions = args.job;
    scanOptions.quiet = true;
    scanOptions.dryRun = false;
    JobConsole console(true);
    OrphanScan* scanRef = nullptr;
    const MessageCallback show = console.Callback();
    CTavrik scanJob([&scanRef, &show](const std::wstring& line) {
        if (scanRef && !line.empty() && line[0] == L'"') {
            scanRef->Take(line);
            return;
        }
        show(line);
    });
    if (args.job.json) console.UseJson(scanJob);
    if (const DWORD status = ConfigureJob(scanJob, scanOptions); status != RTN_OK) return static_cast<int>(status);
    OrphanScan scan(scanJob);
    scanRef = &scan;
    scanJob.SetAction(ACTION_LIST);
    scanJob.SetListFormat(LIST_SDDL);
    scanJob.SetListWhat(LIST_DACL | LIST_OWNER | LIST_GROUP);
    const DWORD code = scanJob.Run();
    console.Finish();
    if (code != RTN_OK) {
        console.ReportFailure(code, FailureLine(scanJob, code, console.progress()), scanJob.m_lastOsError);
        return static_cast<int>(code);
    }
    const std::wstring top = scanJob.m_objectName;
    Report(scanJob, scan.findings(), top, args.job.json);
    const int scanStatus = scanJob.GetObjectsNotProcessed() != 0 ? kExitCompletedWithErrors : 0;
    if (!args.remove) {
        if (args.job.json) {
            std::cout << json::Line({{"record", "summary"},
                                     {"return_code", 0},
                                     {"return_code_name", "OK"},
                                     {"exit_status", scanStatus},
                                     {"objects", console.objectsDone()},
                                     {"objects_not_processed", scanJob.GetObjectsNotProcessed()},
                                     {"dry_run", false}})
                      << std::endl;
        }
        return scanStatus;
    }

    std::vector<std::wstring> removable;
    for (const auto& [sid, f] : scan.findings())
        if (f.lookup.kind == Lookup::Orphan && f.explicitEntries > 0) removable.push_back(sid);
    if (removable.empty()) {
        if (!args.job.json) std::cout << "No explicit entries of orphaned SIDs to remove.\n";
        return scanStatus;
    }
    // Explicit entries only: an inherited one goes when the entry it comes
    // from is removed at the object that holds it.
    ConsoleJob removal(args.job);
    if (removal.status != RTN_OK) return static_cast<int>(removal.status);
    removal.job.SetAction(ACTION_TRUSTEE);
    removal.job.SetTrusteeDacl(TRUE);
    for (const auto& sid : removable) removal.job.AddTrustee(sid, TRUE, L"", FALSE, TRUSTEE_REMOVE);
    const int status = RunJob(removal.job, removal.console, args.job);
    return status != 0 ? status : scanStatus;
}

void AddOrphans(CLI::App& app, int& exitCode) {
    auto args = std::make_shared<OrphansArguments>();
    auto* cmd = app.add_subcommand(
        "orphans", "List (and remove) entries, owners and groups whose SIDs no longer name an account");
    AddJobOptions(cmd, args->job);
    cmd->add_flag("--remove", args->remove,
                  "Delete the explicit DACL entries of the orphaned SIDs (inherited ones go with the entry they "
                  "come from; owners and groups stay)");
    AddDryRunOption(cmd, args->job);
    AddForceOption(cmd, args->job);
    cmd->footer(
        "Each SID of an owner, a group or a DACL entry is looked up on the object's computer (and through it\n"
        "its domains, winbind included where present). A SID no account has is an orphan; a SID whose lookup\n"
        "itself failed (its domain's controller out of reach, an RPC error) is listed as not checked and is\n"
        "never removed. The report groups by SID: objects, explicit and inherited entries, owner and group\n"
        "counts, where the explicit entries are and where the inherited ones come from.\n"
        "Examples:\n"
        "  tavrik orphans 'C:\\Data' --recurse\n"
        "  tavrik orphans 'C:\\Data' --recurse --remove --dry-run\n"
        "  tavrik orphans 'C:\\Data' --recurse --remove --json");
    cmd->callback([args, &exitCode] { exitCode = RunOrphans(*args); });
}

const CommandRegistration registration(450, {"orphans"}, [](CLI::App& app, int& exitCode) { AddOrphans(app, exitCode); });

}  // namespace
}  // namespace tavrik::cli
