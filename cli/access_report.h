// What `tavrik access` finds out: the rights an account has on an object,
// and which entries of the object's DACL grant and deny them. Plain data,
// so that the text and the JSON forms are made from the same answer.
#pragma once

#include <string>
#include <vector>

#include "winapi/win32.h"

namespace tavrik::cli {

// Rights as a mask and in the listing's words ("read_execute+WRITE_DAC").
struct Rights {
    ACCESS_MASK mask = 0;
    std::wstring words;
};

struct AccessEntry {
    std::wstring trustee;  // as the listing shows it
    std::wstring sid;      // S-1-...
    bool allow = true;     // else deny
    Rights rights;         // the entry's own, generic rights mapped for the object type
    bool inherited = false;
    // What it granted (allow) or denied (deny) that no earlier entry had
    // decided: entries are read in order, and the first to speak of a right
    // decides it.
    Rights effect;
};

struct AccessReport {
    std::wstring object;  // the object's name as the engine uses it
    std::wstring type;    // file, registry, service, printer, share
    std::wstring account, accountSid;
    bool nullDacl = false;  // no DACL: everyone has every right
    Rights rights;          // all the account is granted
    Rights ownerRights;     // granted because the account owns the object
    std::vector<AccessEntry> entries;  // the entries that apply to the account, in DACL order
};

// The report as one JSON object on one line.
std::string AccessJson(const AccessReport& report);

}  // namespace tavrik::cli
