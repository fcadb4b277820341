// FindFirstFileW / FindNextFileW / FindClose over the simulated drives.
//
// A search lists one directory: the matching names are read once, sorted
// as NTFS returns them (by their upper-case UTF-16 form, "." and ".."
// first), and each is described when it is handed out, so a search costs
// memory in proportion to its directory and never more than one stream.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "winapi/files/deferred_propagation.h"
#include "winapi/files/file_paths.h"
#include "winapi/files/file_security.h"
#include "winapi/files/file_xattr.h"
#include "winapi/files/listed_directories.h"
#include "winapi/files/step_objects.h"
#include "winapi/base/handles.h"
#include "winapi/security/access_check.h"
#include "winapi/security/inheritance.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/network_cache.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

namespace winapi {
namespace {

// ---- Windows' wildcards ----------------------------------------------------------------
// FindFirstFileW hands the file system a pattern in which `?` means "one
// character, or none before a dot or the end", `.` before a wildcard or at
// the end means "a dot, or the end of the name", and `*` before a dot
// stops at the last dot of the name; "*.*" is "*".
enum class Token : wchar_t { Star = 0x110000, DosStar, DosQm, DosDot };

std::wstring CompilePattern(std::wstring_view pattern) {
    if (pattern == L"*.*") return std::wstring(1, static_cast<wchar_t>(Token::Star));
    std::wstring compiled;
    for (size_t i = 0; i < pattern.size(); ++i) {
        wchar_t c = pattern[i];
        wchar_t next = i + 1 < pattern.size() ? pattern[i + 1] : L'\0';
        if (c == L'?') {
            compiled.push_back(static_cast<wchar_t>(Token::DosQm));
        } else if (c == L'*') {
            compiled.push_back(static_cast<wchar_t>(next == L'.' ? Token::DosStar : Token::Star));
        } else if (c == L'.' && (next == L'\0' || next == L'?' || next == L'*')) {
            compiled.push_back(static_cast<wchar_t>(Token::DosDot));
        } else {
            compiled.push_back(UpcaseNameChar(c));
        }
    }
    return compiled;
}

class PatternMatcher {
public:
    PatternMatcher(const std::wstring& pattern, const std::wstring& upperName)
        : p_(pattern), n_(upperName), memo_((p_.size() + 1) * (n_.size() + 1), -1) {
        lastDot_ = n_.rfind(L'.');
    }
    bool Matches() { return Match(0, 0); }

private:
    bool Match(size_t i, size_t j) {
        signed char& memo = memo_[i * (n_.size() + 1) + j];
        if (memo >= 0) return memo != 0;
        bool result = Compute(i, j);
        memo = result ? 1 : 0;
        return result;
    }

    bool Compute(size_t i, size_t j) {
        if (i == p_.size()) return j == n_.size();
        bool more = j < n_.size();
        switch (static_cast<Token>(p_[i])) {
            case Token::Star: return Match(i + 1, j) || (more && Match(i, j + 1));
            case Token::DosStar: return Match(i + 1, j) || (more && j != lastDot_ && Match(i, j + 1));
            case Token::DosQm:
                if (more && n_[j] != L'.') return Match(i + 1, j + 1);
                {
                    size_t k = i;
                    while (k < p_.size() && static_cast<Token>(p_[k]) == Token::DosQm) ++k;
                    return Match(k, j);
                }
            case Token::DosDot:
                if (!more) return Match(i + 1, j);
                return n_[j] == L'.' && Match(i + 1, j + 1);
            default: return more && n_[j] == p_[i] && Match(i + 1, j + 1);
        }
    }

    const std::wstring& p_;
    const std::wstring& n_;
    std::vector<signed char> memo_;
    size_t lastDot_;
};

bool MatchesEveryName(const std::wstring& compiledPattern) {
    return compiledPattern.size() == 1 && compiledPattern[0] == static_cast<wchar_t>(Token::Star);
}

bool NameMatches(const std::wstring& compiledPattern, std::wstring_view name) {
    // A walk lists with "*": every name matches, without upper-casing it
    // and matching it character by character.
    if (MatchesEveryName(compiledPattern)) return true;
    std::wstring upper = UpcaseName(name);
    return PatternMatcher(compiledPattern, upper).Matches();
}

// NTFS orders a directory by the upper-case UTF-16 code units of its names.
std::u16string CollationKey(std::wstring_view name) {
    std::u16string key;
    key.reserve(name.size());
    for (wchar_t c : UpcaseName(name)) {
        auto code = static_cast<uint32_t>(c);
        if (code >= 0x10000) {
            code -= 0x10000;
            key.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            key.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            key.push_back(static_cast<char16_t>(code));
        }
    }
    return key;
}

bool IsAscii(std::string_view host) {
    for (char c : host) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// The same key for a host name of ASCII bytes, which is its own wide form:
// only a-z fold. Nearly every name of a tree is such a one, and is keyed
// without being widened and upper-cased through the locale.
std::u16string AsciiCollationKey(std::string_view host) {
    std::u16string key(host.size(), u'\0');
    for (size_t i = 0; i < host.size(); ++i) {
        const char c = host[i];
        key[i] = static_cast<char16_t>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
    }
    return key;
}

// ---- the search -------------------------------------------------------------------------

struct FoundName {
    std::u16string key;
    std::string host;  // "." and ".." stand for the directory and its parent
    bool ascii = false;  // `host` is all ASCII, so its wide form is its bytes
};

// One descriptor per open search: the listed directory, held by its lease
// so that the names the search hands out resolve below it (see
// listed_directories.h). Its path is not copied: nested searches share
// their ancestors' names through the leases.
class SearchHandle : public HandleObject {
public:
    machine::Drive drive;
    std::unique_ptr<ListedDirectoryLease> directory;
    // The names as the directory gave them, and the order to hand them out
    // in: "." and ".." first, then by collation key.
    std::vector<FoundName> names;
    std::vector<uint32_t> order;
    size_t next = 0;
    machine::WalkUnderway walk;
    // What propagation deferred below the directory, or while the search
    // was open, is owed when it closes (deferred_propagation.h).
    uint64_t deferredMark = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

FILETIME ToFileTime(const struct timespec& time) {
    // 100-nanosecond intervals since 1601-01-01.
    constexpr int64_t kEpochDifference = 11644473600LL;
    int64_t ticks = (static_cast<int64_t>(time.tv_sec) + kEpochDifference) * 10000000LL + time.tv_nsec / 100;
    if (ticks < 0) ticks = 0;
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
    result.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return result;
}

// Whether a link found in the listed directory leads to a directory of the
// same drive; links leading elsewhere count as files.
bool LinkLeadsToDirectory(const SearchHandle& search, const std::string& host) {
    std::vector<std::wstring> components;
    for (const auto& name : search.directory->HostComponents()) components.push_back(HostNameToWide(name));
    components.push_back(HostNameToWide(host));
    UniqueFd root;
    if (OpenDriveRoot(search.drive, &root) != ERROR_SUCCESS) return false;
    ResolvedPath target;
    if (ResolveBelowRoot(root.Get(), search.drive.directory, components, FinalLink::Follow, &target) !=
        ERROR_SUCCESS) {
        return false;
    }
    return S_ISDIR(target.status.st_mode);
}

// Describes the next name still present; false when none is left.
bool FillNext(SearchHandle& search, WIN32_FIND_DATAW* data) {
    while (search.next < search.order.size()) {
        const FoundName& found = search.names[search.order[search.next++]];
        struct stat status;
        int rc;
        const int directoryFd = search.directory->Fd();
        if (found.host == ".") {
            rc = ::fstat(directoryFd, &status);
        } else if (found.host == "..") {
            rc = ::fstatat(directoryFd, "..", &status, 0);
        } else {
            rc = ::fstatat(directoryFd, found.host.c_str(), &status, AT_SYMLINK_NOFOLLOW);
        }
        if (rc != 0) continue;  // removed since the listing
        // Names below this entry must reach the object described here.
        if (found.host != "." && found.host != "..") search.directory->SetCurrentEntry(found.host, status);

        // Everything before the name, and the short name; the long name is
        // written up to its terminator below (zeroing the whole structure
        // cost more than the rest of describing an entry).
        std::memset(data, 0, offsetof(WIN32_FIND_DATAW, cFileName));
        std::memset(data->cAlternateFileName, 0, sizeof data->cAlternateFileName);
        DWORD attributes = 0;
        if (S_ISDIR(status.st_mode)) {
            attributes |= FILE_ATTRIBUTE_DIRECTORY;
        } else if (S_ISLNK(status.st_mode)) {
            attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            data->dwReserved0 = IO_REPARSE_TAG_SYMLINK;
            if (LinkLeadsToDirectory(search, found.host)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
        }
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            attributes |= FILE_ATTRIBUTE_ARCHIVE;
            if (!(status.st_mode & S_IWUSR) && !S_ISLNK(status.st_mode)) attributes |= FILE_ATTRIBUTE_READONLY;
        }
        if (found.host.size() > 1 && found.host[0] == '.' && found.host != "..") {
            attributes |= FILE_ATTRIBUTE_HIDDEN;  // as Samba shows dot files
        }
        data->dwFileAttributes = attributes;
        data->ftCreationTime = ToFileTime(status.st_mtim);
        data->ftLastAccessTime = ToFileTime(status.st_atim);
        data->ftLastWriteTime = ToFileTime(status.st_mtim);
        if (S_ISREG(status.st_mode)) {
            auto size = static_cast<uint64_t>(status.st_size);
            data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
            data->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
        }
        size_t length;
        if (found.ascii) {
            length = std::min<size_t>(found.host.size(), MAX_PATH - 1);
            std::copy_n(found.host.begin(), length, data->cFileName);
        } else {
            std::wstring wide = HostNameToWide(found.host);
            length = std::min<size_t>(wide.size(), MAX_PATH - 1);
            std::copy_n(wide.begin(), length, data->cFileName);
        }
        data->cFileName[length] = L'\0';
        return true;
    }
    return false;
}

// Lists the names of `search.directory` that match, sorted.
DWORD ListDirectory(SearchHandle& search, const std::wstring& compiledPattern, bool isRoot) {
    int listFd = ::openat(search.directory->Fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    // Room for as many names as the directory listed before held: the
    // directories of a tree are mostly alike, and growing the vector name
    // by name moved every name found so far several times over.
    thread_local size_t lastCount = 0;
    std::vector<FoundName>& found = search.names;
    found.clear();
    found.reserve(std::min<size_t>(lastCount, 4096));
    const bool everyName = MatchesEveryName(compiledPattern);
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view host(entry->d_name);
        if (isRoot && (host == "." || host == "..")) continue;  // roots list no "." and ".."
        FoundName name{{}, std::string(host), IsAscii(host)};
        if (name.ascii && everyName) {
            name.key = AsciiCollationKey(host);
        } else {
            std::wstring wide = HostNameToWide(host);
            if (!NameMatches(compiledPattern, wide)) continue;
            name.key = name.ascii ? AsciiCollationKey(host) : CollationKey(wide);
        }
        found.push_back(std::move(name));
    }
    ::closedir(dir);
    lastCount = found.size();
    // The names stay where they were found and are put in order through
    // their indices: sorting the entries themselves moved two strings per
    // swap. "." comes before "..", and both before every other name.
    std::vector<uint32_t>& order = search.order;
    order.resize(found.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    const auto isDotName = [&found](uint32_t i) { return found[i].host == "." || found[i].host == ".."; };
    const auto firstOther = std::partition(order.begin(), order.end(), isDotName);
    std::sort(order.begin(), firstOther, [&found](uint32_t a, uint32_t b) { return found[a].host < found[b].host; });
    std::sort(firstOther, order.end(), [&found](uint32_t a, uint32_t b) {
        const int byKey = found[a].key.compare(found[b].key);
        return byKey != 0 ? byKey < 0 : found[a].host < found[b].host;
    });
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace winapi

namespace winapi {
namespace {

DWORD StartSearch(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData, HANDLE* handle) {
    if (!lpFileName || !lpFindFileData) return ERROR_INVALID_PARAMETER;
    RaiseOpenFileLimit();
    if (DWORD injected = machine::InjectedFailure("FindFirstFileW", lpFileName)) return injected;

    FileName parsed;
    DWORD error = ParseFileName(lpFileName, true, &parsed);
    if (error != ERROR_SUCCESS) return error;
    // A root or a name ending in a separator names no entry to look for.
    if (parsed.components.empty() || parsed.trailingSeparator) return ERROR_FILE_NOT_FOUND;

    auto search = std::make_unique<SearchHandle>();
    std::wstring pattern = std::move(parsed.components.back());
    parsed.components.pop_back();
    ResolvedPath directory;
    error = ResolveSearchDirectory(parsed, &directory, &search->directory);
    if (error != ERROR_SUCCESS) return error;
    search->deferredMark = DeferredMark();
    search->device = directory.status.st_dev;
    search->inode = directory.status.st_ino;
    if (RecursiveWalkUnderway()) {
        std::wstring_view whole(lpFileName);
        const size_t separator = whole.rfind(L'\\');
        const std::wstring directoryName(whole.substr(0, separator == std::wstring_view::npos ? 0 : separator));
        BringListedDirectoryUpToDate(directory, directoryName, parsed.drive);
        LendToSearch(search->device, search->inode);
    }
    // Listing takes FILE_LIST_DIRECTORY on the directory for the caller's
    // token: who may not list it learns none of its names. Windows'
    // FindFirstFileW opens the directory with FILE_OPEN_FOR_BACKUP_INTENT,
    // so an enabled SeBackupPrivilege stands in, and only that.
    Bytes sd;
    error = ReadFileDescriptor(search->directory->Fd(), directory.status, parsed.drive.xattrName, &sd);
    if (error != ERROR_SUCCESS) return error;
    ACCESS_MASK granted = 0;
    error = CheckAccess(sd.data(), sd.size(), *machine::SharedToken(), FILE_LIST_DIRECTORY, FileGenericMapping(),
                        true, &granted);
    if (error != ERROR_SUCCESS) return error;
    search->drive = std::move(parsed.drive);
    error = ListDirectory(*search, CompilePattern(pattern), directory.isRoot);
    if (error != ERROR_SUCCESS) return error;
    if (!FillNext(*search, lpFindFileData)) return ERROR_FILE_NOT_FOUND;
    *handle = RegisterHandle(std::move(search));
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace winapi

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    winapi::machine::BeginWalkStep();
    DWORD error = winapi::machine::GuardedCall(
        [&] { return winapi::StartSearch(lpFileName, lpFindFileData, &handle); });
    SetLastError(error);
    return error == ERROR_SUCCESS ? handle : INVALID_HANDLE_VALUE;
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    using namespace winapi;
    auto* search = LookupHandleAs<SearchHandle>(hFindFile);
    if (!search) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    machine::BeginWalkStep();
    if (!FillNext(*search, lpFindFileData)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    using namespace winapi;
    auto* search = LookupHandleAs<SearchHandle>(hFindFile);
    if (!search) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The walk is done with this directory: what it did not reach below
    // it gets its propagation now. Failures are reported by name to the
    // host (descendant_failures.h); closing the search still succeeds.
    const uint64_t mark = search->deferredMark;
    const dev_t device = search->device;
    const ino_t inode = search->inode;
    const int listingFd = search->directory ? search->directory->Fd() : -1;
    DropStepObject();
    machine::GuardedCall([&] {
        FlushDeferred(mark, device, inode, listingFd);
        return static_cast<DWORD>(ERROR_SUCCESS);
    });
    if (!ReleaseHandle(hFindFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
