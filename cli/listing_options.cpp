#include "cli/listing_options.h"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace tavrik::cli {

DWORD ParseListWhat(const std::string& text) {
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    DWORD what = 0;
    size_t start = 0;
    while (start <= lower.size()) {
        size_t end = lower.find_first_of(",+", start);
        std::string word = lower.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (word == "dacl") what |= LIST_DACL;
        else if (word == "sacl") what |= LIST_SACL;
        else if (word == "owner") what |= LIST_OWNER;
        else if (word == "group") what |= LIST_GROUP;
        else if (word == "all") what |= LIST_DACL | LIST_SACL | LIST_OWNER | LIST_GROUP;
        else return 0;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return what;
}

void AddListingOptions(CLI::App* cmd, ListingOptions& options, bool forBackup) {
    if (!forBackup) {
        cmd->add_option("-f,--format", options.format,
                        "csv: one line per object; text: indented, one entry per line; sddl: Windows' SDDL "
                        "(the backup format); json: one JSON object per object (as --json)")
            ->check(CLI::IsMember({"csv", "text", "sddl", "json"}, CLI::ignore_case))
            ->capture_default_str();
    }
    cmd->add_option("-w,--what", options.what,
                    "Parts to list, joined by ',': dacl, sacl (needs the security privilege), owner, group, or all")
        ->check([](const std::string& text) {
            return ParseListWhat(text) ? std::string() : std::string("use dacl, sacl, owner, group or all");
        })
        ->capture_default_str();
    if (forBackup) return;
    cmd->add_option("--names", options.names, "Show trustees as name, sid or both")
        ->check(CLI::IsMember({"name", "sid", "both"}, CLI::ignore_case))
        ->capture_default_str();
    // People reading a listing want to see who has access, which is mostly
    // inherited; the engine's hosts keep its own default (explicit only).
    cmd->add_flag("--explicit", options.explicitOnly,
                  "Show only the explicit entries (inherited ones are shown by default, flagged 'inherited')");
    cmd->add_flag("--inherited", options.inherited, "Show inherited entries too (the default)")
        ->excludes("--explicit");
}

bool ApplyListingOptions(CTavrik& job, const ListingOptions& options) {
    DWORD what = ParseListWhat(options.what);
    if (what == 0) {
        std::cerr << "tavrik: --what: use dacl, sacl, owner, group or all\n";
        return false;
    }
    job.SetListWhat(what);
    job.SetListFormat(options.format == "sddl"   ? LIST_SDDL
                      : options.format == "text" ? LIST_TEXT
                      : options.format == "json" ? LIST_JSON
                                                 : LIST_CSV);
    job.SetListNameForm(options.names == "sid" ? 2 : options.names == "both" ? 3 : 1);
    job.SetListInherited(options.explicitOnly ? FALSE : TRUE);
    // An object whose entries the options hide still shows its name.
    job.SetListEveryObject(TRUE);
    return true;
}

}  // namespace tavrik::cli
