// Walking a directory tree: the per-object callback for the start object and
// the directories and files below it, depth first, each directory before its
// contents.
#include <algorithm>

#include "engine/tavrik.h"
#include "engine/text.h"

namespace {

// Closes a search handle on every way out of an enumeration.
class SearchHandle {
public:
    explicit SearchHandle(HANDLE handle) : m_handle(handle) {}
    ~SearchHandle() {
        if (m_handle != INVALID_HANDLE_VALUE) FindClose(m_handle);
    }
    SearchHandle(const SearchHandle&) = delete;
    SearchHandle& operator=(const SearchHandle&) = delete;
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

bool IsShareRoot(const std::wstring& path) {
    return tavrik::StartsWithNoCase(path, L"\\\\?\\UNC") && std::count(path.begin(), path.end(), L'\\') == 5;
}

std::wstring EntryName(const WIN32_FIND_DATAW& data) {
    const size_t capacity = sizeof(data.cFileName) / sizeof(data.cFileName[0]);
    return std::wstring(data.cFileName, std::find(data.cFileName, data.cFileName + capacity, L'\0'));
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

    path = tavrik::WithoutTrailingBackslashes(path);
    const bool driveRoot = !path.empty() && path.back() == L':';
    if (driveRoot || IsShareRoot(path)) {
        if (m_recursion & RECURSE_CONTAINERS) {
            if (DWORD code = (this->*callback)(driveRoot ? path + L"\\" : path); code != RTN_OK) return code;
        }
        path += L"\\*.*";
    }

    WIN32_FIND_DATAW data = {};
    SearchHandle search(FindFirstFileW(path.c_str(), &data));
    if (search.get() == INVALID_HANDLE_VALUE) {
        m_lastOsError = GetLastError();
        return RTN_ERR_FIND_FILE;
    }
    const size_t lastBackslash = path.rfind(L'\\');
    const std::wstring prefix = lastBackslash == std::wstring::npos ? std::wstring() : path.substr(0, lastBackslash + 1);

    do {
        const std::wstring name = EntryName(data);
        if (name == L"." || name == L"..") continue;
        // Links (reparse points) are never followed: a link could lead the
        // walk out of its tree or back into one of its own ancestors.
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (m_recursion & RECURSE_CONTAINERS) {
                if (DWORD code = (this->*callback)(prefix + name); code != RTN_OK) return code;
            }
            if (DWORD code = WalkFileSystem(prefix + name + L"\\*.*", callback); code != RTN_OK) return code;
        } else if (m_recursion & RECURSE_OBJECTS) {
            if (DWORD code = (this->*callback)(prefix + name); code != RTN_OK) return code;
        }
    } while (FindNextFileW(search.get(), &data));
    return RTN_OK;
}
