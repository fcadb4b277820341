#include "winapi/wql/wql_like.h"

#include <vector>

#include "winapi/wql/wql_value.h"

namespace winapi::wql {
namespace {

// Does the set starting at pattern[open] ('[') admit `c`? Sets `end` to the
// index after its ']'; false with end = npos when the set is not closed.
bool SetAdmits(std::wstring_view pattern, size_t open, wchar_t c, size_t& end) {
    size_t i = open + 1;
    bool negate = false;
    if (i < pattern.size() && pattern[i] == L'^') {
        negate = true;
        ++i;
    }
    const wchar_t folded = FoldCase(c);
    bool found = false;
    bool first = true;
    while (i < pattern.size() && (pattern[i] != L']' || first)) {
        // A ']' right after '[' or '[^' belongs to the set.
        first = false;
        wchar_t low = pattern[i];
        if (i + 2 < pattern.size() && pattern[i + 1] == L'-' && pattern[i + 2] != L']') {
            wchar_t high = pattern[i + 2];
            if ((folded >= FoldCase(low) && folded <= FoldCase(high)) || (c >= low && c <= high)) found = true;
            i += 3;
        } else {
            if (FoldCase(low) == folded) found = true;
            ++i;
        }
    }
    if (i >= pattern.size()) {
        end = std::wstring_view::npos;
        return false;
    }
    end = i + 1;
    return found != negate;
}

}  // namespace

// Iterative matching with one backtracking point (the last %), which keeps
// the cost at O(text x pattern) for any pattern.
bool MatchesLike(std::wstring_view text, std::wstring_view pattern) {
    size_t t = 0, p = 0;
    size_t starPattern = std::wstring_view::npos, starText = 0;
    while (t < text.size()) {
        if (p < pattern.size()) {
            const wchar_t pc = pattern[p];
            if (pc == L'%') {
                starPattern = ++p;
                starText = t;
                continue;
            }
            if (pc == L'_') {
                ++p;
                ++t;
                continue;
            }
            if (pc == L'[') {
                size_t end = 0;
                bool admits = SetAdmits(pattern, p, text[t], end);
                if (end == std::wstring_view::npos) return false;
                if (admits) {
                    p = end;
                    ++t;
                    continue;
                }
            } else if (FoldCase(pc) == FoldCase(text[t])) {
                ++p;
                ++t;
                continue;
            }
        }
        if (starPattern == std::wstring_view::npos) return false;
        p = starPattern;
        t = ++starText;
    }
    while (p < pattern.size() && pattern[p] == L'%') ++p;
    return p == pattern.size();
}

}  // namespace winapi::wql
