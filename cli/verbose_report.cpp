#include "cli/verbose_report.h"

#include <cstdio>
#include <iostream>

#include "acl/ace.h"
#include "acl/trustee.h"
#include "cli/command.h"

namespace tavrik::cli {
namespace {

const char* ObjectTypeWord(DWORD type) {
    switch (type) {
        case SE_FILE_OBJECT: return "file";
        case SE_SERVICE: return "service";
        case SE_PRINTER: return "printer";
        case SE_REGISTRY_KEY: return "registry";
        case SE_LMSHARE: return "share";
        default: return "unknown type";
    }
}

std::string ModeWord(DWORD mode) {
    switch (mode) {
        case GRANT_ACCESS: return "grant";
        case SET_ACCESS: return "set";
        case DENY_ACCESS: return "deny";
        case REVOKE_ACCESS: return "revoke";
        case SET_AUDIT_SUCCESS: return "audit success";
        case SET_AUDIT_FAILURE: return "audit failure";
        case AUDIT_SUCCESS_AND_FAILURE: return "audit";
        default: return "entry mode " + std::to_string(mode);
    }
}

std::string InheritanceWords(DWORD flags) {
    std::string words;
    auto add = [&words](const char* word) { words += (words.empty() ? "" : ",") + std::string(word); };
    if (flags & CONTAINER_INHERIT_ACE) add("ci");
    if (flags & OBJECT_INHERIT_ACE) add("oi");
    if (flags & NO_PROPAGATE_INHERIT_ACE) add("np");
    if (flags & INHERIT_ONLY_ACE) add("io");
    return words.empty() ? "none" : words;
}

const char* ProtectionWord(DWORD mode) {
    switch (mode) {
        case PROT_INHERIT: return "inherit";
        case PROT_PROTECT_KEEP: return "protect, keeping inherited entries";
        case PROT_PROTECT_REMOVE: return "protect, removing inherited entries";
        default: return nullptr;
    }
}

std::string Quoted(const std::wstring& text) { return "'" + ToConsole(text) + "'"; }

}  // namespace

std::string DescribeJob(const CTavrik& job) {
    std::string text;
    auto part = [&text](const std::string& piece) { text += (text.empty() ? "" : "; ") + piece; };
    const DWORD actions = job.m_actions;
    if (actions & ACTION_RESTORE) part("restore from " + Quoted(job.m_backupFileName));
    for (const CACE* entry : job.m_aces) {
        std::string piece = ModeWord(entry->m_accessMode) + " " + Quoted(entry->m_trustee->m_name);
        if (entry->m_accessMode != REVOKE_ACCESS) piece += " " + ToConsole(entry->m_permissions);
        if (entry->m_inheritanceGiven) piece += " (inherit " + InheritanceWords(entry->m_inheritance) + ")";
        part(piece);
    }
    if ((actions & ACTION_SET_OWNER) && job.m_ownerTrustee) part("owner " + Quoted(job.m_ownerTrustee->m_name));
    if ((actions & ACTION_SET_GROUP) && job.m_groupTrustee) part("group " + Quoted(job.m_groupTrustee->m_name));
    if (actions & ACTION_CLEAR_DACL) part("clear the DACL's explicit entries");
    if (actions & ACTION_CLEAR_SACL) part("clear the SACL's explicit entries");
    if (actions & ACTION_SET_PROTECTION) {
        if (const char* word = ProtectionWord(job.m_daclProtection)) part(std::string("DACL: ") + word);
        if (const char* word = ProtectionWord(job.m_saclProtection)) part(std::string("SACL: ") + word);
    }
    if (actions & ACTION_TRUSTEE) part("rewrite " + std::to_string(job.m_trustees.size()) + " account(s)");
    if (actions & ACTION_DOMAIN) part("rewrite " + std::to_string(job.m_domains.size()) + " domain(s)");
    if (actions & ACTION_RESET_CHILDREN) part("reset the children to inherit");
    if (actions & ACTION_LIST) {
        const char* format = job.m_listFormat == LIST_SDDL ? "sddl" : job.m_listFormat == LIST_TEXT ? "text" : "csv";
        part(std::string(job.m_backupFileName.empty() || (actions & ACTION_RESTORE) ? "list" : "list and save") +
             " (" + format + (job.m_listInherited ? ", inherited entries too" : ", explicit entries") + ")");
    }
    if (text.empty()) text = "no action";
    if (!(actions & ACTION_RESTORE) || (actions & ~ACTION_RESTORE)) {
        std::string recursion;
        if (job.m_recursion & RECURSE_CONTAINERS) recursion = "containers";
        if (job.m_recursion & RECURSE_OBJECTS) recursion += recursion.empty() ? "objects" : " and objects";
        part("object " + Quoted(job.m_objectName) + " (" + ObjectTypeWord(job.m_objectType) + ")" +
             (recursion.empty() ? "" : ", with the " + recursion + " below it"));
    }
    return text;
}

void VerboseReport::Line(const std::string& text) {
    std::cout << std::flush;
    std::cerr << "verbose: " << text << "\n" << std::flush;
}

void VerboseReport::Begin(const CTavrik& job) {
    start_ = std::chrono::steady_clock::now();
    begun_ = true;
    if (on_) Line("job: " + DescribeJob(job));
}

void VerboseReport::FlushPending() {
    if (pendingOutcome_ == nullptr) return;
    Line("<" + ToConsole(pending_) + ">: " + (pendingFailed_ ? "failed" : pendingOutcome_));
    pendingOutcome_ = nullptr;
    pending_.clear();
    pendingFailed_ = false;
}

void VerboseReport::Announce(const std::wstring& object, const char* outcome) {
    if (!on_) return;
    FlushPending();
    ++objects_;
    pending_ = object;
    pendingOutcome_ = outcome;
}

void VerboseReport::Done(const std::wstring& object, const char* outcome) {
    if (!on_) return;
    FlushPending();
    ++objects_;
    Line("<" + ToConsole(object) + ">: " + outcome);
}

void VerboseReport::Error(const std::wstring& named) {
    if (!on_) return;
    if (pendingOutcome_ != nullptr && (named.empty() || named == pending_)) {
        if (!pendingFailed_) ++failed_;
        pendingFailed_ = true;
        return;
    }
    if (named.empty()) return;
    // An object that failed before the engine announced it (a listing
    // that could not read it, say).
    FlushPending();
    ++objects_;
    ++failed_;
    Line("<" + ToConsole(named) + ">: failed");
}

void VerboseReport::End() {
    if (!on_ || !begun_ || ended_) return;
    ended_ = true;
    FlushPending();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char buffer[200];
    std::snprintf(buffer, sizeof buffer, "%ld object%s (%ld failed) in %.3f s, %.3f ms per object, %.0f objects/s",
                  objects_, objects_ == 1 ? "" : "s", failed_, seconds,
                  objects_ > 0 ? seconds * 1000.0 / static_cast<double>(objects_) : 0.0,
                  seconds > 0 ? static_cast<double>(objects_) / seconds : 0.0);
    Line(std::string("timings: ") + buffer);
}

}  // namespace tavrik::cli
