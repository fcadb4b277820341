// Options of the listing subcommands and of `tavrik run --list`.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "engine/tavrik.h"

namespace tavrik::cli {

struct ListingOptions {
    std::string format = "csv";
    std::string what = "dacl";
    std::string names = "name";
    bool inherited = false;  // accepted for old command lines: inherited entries show anyway
    bool explicitOnly = false;
};

// A backup (`forBackup`) writes whole descriptors as SDDL: it has no
// --format, and --names and --inherited would change nothing, so it has
// none of them either.
void AddListingOptions(CLI::App* cmd, ListingOptions& options, bool forBackup = false);
// Applies them to `job`; false (with a message on stderr) for a bad --what.
bool ApplyListingOptions(CTavrik& job, const ListingOptions& options);
// LIST_* bits of a "dacl,owner" style list, or 0 when a word is unknown.
DWORD ParseListWhat(const std::string& text);

}  // namespace tavrik::cli
