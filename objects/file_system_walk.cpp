// Walking a directory tree: the per-object callback for the start object and
// the directories and files below it, depth first, each directory before its
// contents.
#include <algorithm>
#include <string_view>
#include <vector>

#include "engine/tavrik.h"
#include "engine/text.h"
#include "objects/walk_announcement.h"

namespace {

// The open searches of a walk, one per level, each with the length of the
// path prefix its entries share; closed on every way out of the walk.
class SearchStack {
public:
    SearchStack() = default;
    ~SearchStack() {
        while (!Empty()) Close();
    }
    SearchStack(const SearchStack&) = delete;
    SearchStack& operator=(const SearchStack&) = delete;

    // Starts a search of `pattern` whose entries are named by the pattern up
    // to `lastBackslash`, inclusive. False when FindFirstFileW fails.
    bool Open(const std::wstring& pattern, WIN32_FIND_DATAW* data, size_t lastBackslash) {
        HANDLE handle = FindFirstFileW(pattern.c_str(), data);
        if (handle == INVALID_HANDLE_VALUE) return false;
        m_levels.push_back({handle, lastBackslash == std::wstring::npos ? 0 : lastBackslash + 1});
        return true;
    }
    void Close() {
        FindClose(m_levels.back().handle);
        m_levels.pop_back();
    }
    bool Empty() const { return m_levels.empty(); }
    size_t Depth() const { return m_levels.size(); }
    HANDLE Top() const { return m_levels.back().handle; }
    size_t PrefixLength() const { return m_levels.back().prefixLength; }

private:
    struct Level {
        HANDLE handle;
        size_t prefixLength;
    };
    std::vector<Level> m_levels;
};

bool IsShareRoot(const std::wstring& path) {
    return tavrik::StartsWithNoCase(path, L"\\\\?\\UNC") && std::count(path.begin(), path.end(), L'\\') == 5;
}

// The entry's name, read in place: it lasts until the search's next call
// writes `data` again.
std::wstring_view EntryName(const WIN32_FIND_DATAW& data) {
    const size_t capacity = sizeof(data.cFileName) / sizeof(data.cFileName[0]);
    return std::wstring_view(data.cFileName,
                             static_cast<size_t>(std::find(data.cFileName, data.cFileName + capacity, L'\0') -
                                                 data.cFileName));
}

}  // namespace

DWORD CTavrik::WalkFileSystem(std::wstring path, ObjectCallback callback) {
    if (m_recursion & RECURSE_NONE) return (this->*callback)(path);

    if (!path.empty() && path.back() == L':') {
        if (m_recursion & (RECURSE_CONTAINERS | RECURSE_OBJECTS)) {
            OutputMessage(
                L"WARNING: Recursion is not possible for local file system roots. You may want to append a backslash "
                L"('c:\\').");
        }
        return (this->*callback)(path);
    }

    RecursiveWalkAnnouncement announcement;
    path = tavrik::WithoutTrailingBackslashes(path);
    const bool driveRoot = !path.empty() && path.back() == L':';
    if (driveRoot || IsShareRoot(path)) {
        if (m_recursion & RECURSE_CONTAINERS) {
            if (DWORD code = (this->*callback)(driveRoot ? path + L"\\" : path); code != RTN_OK) return code;
        }
        path += L"\\*.*";
    }

    // The walk keeps one open search per level and one path for all of
    // them, and loops instead of recursing: memory grows linearly with the
    // depth of the tree, and deep trees cannot exhaust the stack.
    WIN32_FIND_DATAW data = {};
    SearchStack levels;
    if (!levels.Open(path, &data, path.rfind(L'\\'))) {
        m_lastOsError = GetLastError();
        return RTN_ERR_FIND_FILE;
    }
    // Without a wildcard the first search finds the start object itself.
    const size_t lastBackslash = path.rfind(L'\\');
    const size_t wildcard = path.find_last_of(L"*?");
    const bool startIsNamed =
        wildcard == std::wstring::npos || (lastBackslash != std::wstring::npos && wildcard < lastBackslash);
    std::wstring current = path;
    bool haveEntry = true;
    while (!levels.Empty()) {
        if (!haveEntry) {
            // This level is done; go on with the entry after it in its parent.
            levels.Close();
            haveEntry = !levels.Empty() && FindNextFileW(levels.Top(), &data);
            continue;
        }
        const std::wstring_view name = EntryName(data);
        current.resize(levels.PrefixLength());
        current += name;
        // Links (reparse points) are never followed: a link could lead the
        // walk out of its tree or back into one of its own ancestors.
        const bool isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool skipped = name == L"." || name == L".." || isLink;
        // A job aimed at a link would otherwise end having done nothing
        // without a word.
        if (isLink && startIsNamed && levels.Depth() == 1) {
            ReportObjectNotProcessed(L"ERROR: <" + current +
                                     L"> is a link (reparse point); a recursive job does not descend into it and "
                                     L"did not process it.");
        }
        if (!skipped && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (m_recursion & RECURSE_CONTAINERS) {
                if (DWORD code = (this->*callback)(current); code != RTN_OK) return code;
            }
            current += L"\\*.*";
            if (!levels.Open(current, &data, current.rfind(L'\\'))) {
                m_lastOsError = GetLastError();
                return RTN_ERR_FIND_FILE;
            }
            continue;  // the new level's first entry is in `data`
        }
        if (!skipped && (m_recursion & RECURSE_OBJECTS)) {
            if (DWORD code = (this->*callback)(current); code != RTN_OK) return code;
        }
        haveEntry = FindNextFileW(levels.Top(), &data);
    }
    return RTN_OK;
}
