// How a restore puts records somewhere else: object names moved by prefix
// (C:\Data to D:\Archive\Data, \\OLDSRV\share to \\NEWSRV\share) and SIDs
// moved to other accounts or whole domains.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "winapi/win32.h"

namespace tavrik {

// Prefixes of object names and what they become. Names are compared as
// Windows compares them (case-insensitively), whole components only, and
// the "\\?\" and "\\?\UNC\" forms of the listing match the plain ones.
class ObjectNameMap {
public:
    // False for an empty prefix.
    bool Add(const std::wstring& from, const std::wstring& to);
    bool Empty() const { return prefixes_.empty(); }
    // The name under the longest prefix that matches, in the form the
    // record used ("\\?\" kept); `name` itself when none does.
    std::wstring Apply(const std::wstring& name) const;

private:
    std::vector<std::pair<std::wstring, std::wstring>> prefixes_;  // plain forms
};

// SIDs and what they become. A domain entry (both sides domain SIDs)
// moves every SID of the domain, keeping its last part (the RID); an entry
// for the SID itself wins over its domain's.
class SidMap {
public:
    void Add(PSID from, PSID to, bool domain);
    bool Empty() const { return entries_.empty(); }
    // The SID `sid` maps to, or null; the block lives as long as the map
    // or until the next call.
    PSID Map(PSID sid);

private:
    struct Entry {
        std::vector<BYTE> from, to;
        bool domain = false;
    };
    std::vector<Entry> entries_;
    std::vector<BYTE> built_;
};

// Whether `sid` names a domain (S-1-5-21 and three more parts), the form
// a domain map takes.
bool IsDomainSid(PSID sid);

// One line of a SID map file ("OLD=NEW", blank, or a comment starting with
// '#' or ';'): false when the line is neither; `from` and `to` stay empty
// for a blank or comment line.
bool ParseSidMapLine(const std::wstring& line, std::wstring& from, std::wstring& to);

}  // namespace tavrik
