#include "winapi/files/file_paths.h"

#include <dirent.h>
#include <linux/openat2.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>

#include "winapi/files/link_policy.h"
#include "winapi/files/listed_directories.h"
#include "winapi/files/recent_directories.h"
#include "winapi/win32.h"

namespace winapi {

UniqueFd UniqueFd::Duplicate() const {
    if (fd_ < 0) return UniqueFd();
    return UniqueFd(::fcntl(fd_, F_DUPFD_CLOEXEC, 0));
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

namespace {

// Bytes of a host name that are not UTF-8 (0x80..0xFF) become the lone low
// surrogates U+DC80..U+DCFF and back, as Python's surrogateescape does: no
// valid UTF-8 decodes to those, so every host name round-trips exactly and
// two names never collapse into one.
constexpr uint32_t kEscapeBase = 0xDC00;
constexpr uint32_t kEscapedByteFirst = 0xDC80;
constexpr uint32_t kEscapedByteLast = 0xDCFF;

}  // namespace

// ---- names -------------------------------------------------------------------------

bool WideToHostName(std::wstring_view wide, std::string* host) {
    host->clear();
    host->reserve(wide.size());
    for (wchar_t wc : wide) {
        auto c = static_cast<uint32_t>(wc);
        if (c >= kEscapedByteFirst && c <= kEscapedByteLast) {
            host->push_back(static_cast<char>(c - kEscapeBase));  // a byte that was not UTF-8
            continue;
        }
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        if (c < 0x80) {
            host->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            host->push_back(static_cast<char>(0xC0 | (c >> 6)));
            host->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            host->push_back(static_cast<char>(0xE0 | (c >> 12)));
            host->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            host->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            host->push_back(static_cast<char>(0xF0 | (c >> 18)));
            host->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            host->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            host->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

std::wstring HostNameToWide(std::string_view host) {
    std::wstring wide;
    HostNameToWide(host, &wide);
    return wide;
}

void HostNameToWide(std::string_view host, std::wstring* out) {
    std::wstring& wide = *out;
    wide.clear();
    wide.reserve(host.size());
    size_t i = 0;
    while (i < host.size()) {
        auto b = static_cast<unsigned char>(host[i]);
        uint32_t c = 0;
        size_t length = 0;
        uint32_t minimum = 0;
        if (b < 0x80) {
            c = b, length = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, length = 2, minimum = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, length = 3, minimum = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07, length = 4, minimum = 0x10000;
        }
        bool valid = length != 0 && i + length <= host.size();
        for (size_t k = 1; valid && k < length; ++k) {
            auto cont = static_cast<unsigned char>(host[i + k]);
            if ((cont & 0xC0) != 0x80) valid = false;
            c = (c << 6) | (cont & 0x3F);
        }
        if (valid && (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) valid = false;
        if (!valid) {
            wide.push_back(static_cast<wchar_t>(kEscapeBase + b));
            ++i;
            continue;
        }
        wide.push_back(static_cast<wchar_t>(c));
        i += length;
    }
}

namespace {

// Windows folds with its Unicode upper-case table; the C.UTF-8 locale's
// table is the closest the host offers, independent of the process locale.
locale_t NameLocale() {
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

}  // namespace

wchar_t UpcaseNameChar(wchar_t c) {
    if (c < 0x80) return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
    locale_t locale = NameLocale();
    return locale ? static_cast<wchar_t>(towupper_l(static_cast<wint_t>(c), locale)) : c;
}

std::wstring UpcaseName(std::wstring_view name) {
    std::wstring upper(name);
    for (auto& c : upper) c = UpcaseNameChar(c);
    return upper;
}

bool NamesEqualIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && UpcaseNameChar(a[i]) != UpcaseNameChar(b[i])) return false;
    }
    return true;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM: return ERROR_ACCESS_DENIED;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case ENOSPC:
        case EDQUOT: return ERROR_DISK_FULL;
        case EROFS: return ERROR_WRITE_PROTECT;
        case ENOTSUP: return ERROR_NOT_SUPPORTED;
        case EIO: return ERROR_GEN_FAILURE;
        default: return ERROR_GEN_FAILURE;
    }
}

// ---- parsing ----------------------------------------------------------------------

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && NamesEqualIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::vector<std::wstring_view> SplitComponents(std::wstring_view rest, bool* trailingSeparator) {
    std::vector<std::wstring_view> parts;
    *trailingSeparator = !rest.empty() && IsSeparator(rest.back());
    size_t start = 0;
    for (size_t i = 0; i <= rest.size(); ++i) {
        if (i == rest.size() || IsSeparator(rest[i])) {
            if (i > start) parts.push_back(rest.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

bool IsValidComponent(std::wstring_view component, bool wildcards) {
    for (wchar_t c : component) {
        // Control characters are legal in Linux names, and such names are
        // found by walks; only NUL can never be part of one.
        if (c == 0 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|') return false;
        if ((c == L'*' || c == L'?') && !wildcards) return false;
    }
    return true;
}

// A long-path ("\\?\") name goes to the file system as it is, and the
// names a walk builds are of that form. A Linux file system takes every
// character but NUL and '/' in a name (a '"', '<', '>', ':', '|', '*' or
// '?' included), so such names must reach their files: refusing them
// stopped whole recursive jobs at the first one. In the last component of
// a search '*' and '?' are still its wildcards.
// '/' separates host names, so no component of such a name holds it either.
bool RefusedInLiteralName(wchar_t c) { return c == L'\0' || c == L'/'; }

std::optional<machine::Computer> ComputerForServer(std::wstring_view server) {
    if (NamesEqualIgnoringCase(server, L"localhost") || server == L"127.0.0.1" || server == L"." ||
        server == L"::1") {
        return machine::LocalComputer();
    }
    return machine::FindComputer(server);
}

}  // namespace

namespace {

// Fills a name's components in order into the strings a name parsed before
// left there (a thread parses one name after another into one FileName),
// and drops those left over when done.
class ComponentWriter {
public:
    explicit ComponentWriter(std::vector<std::wstring>* components) : components_(components) {}
    ~ComponentWriter() { components_->resize(count_); }
    ComponentWriter(const ComponentWriter&) = delete;
    ComponentWriter& operator=(const ComponentWriter&) = delete;

    void Reserve(size_t count) { components_->reserve(count); }
    void Add(std::wstring_view part) {
        if (count_ < components_->size()) {
            (*components_)[count_].assign(part);
        } else {
            components_->emplace_back(part);
        }
        ++count_;
    }

private:
    std::vector<std::wstring>* components_;
    size_t count_ = 0;
};

DWORD ParseComponents(std::wstring_view rest, bool wildcardsInLast, FileName* out) {
    ComponentWriter components(&out->components);
    bool trailing = false;
    auto parts = SplitComponents(rest, &trailing);
    out->trailingSeparator = trailing;
    components.Reserve(parts.size());
    for (size_t i = 0; i < parts.size(); ++i) {
        bool last = i + 1 == parts.size();
        if (!IsValidComponent(parts[i], wildcardsInLast && last && !trailing)) return ERROR_INVALID_NAME;
        components.Add(parts[i]);
    }
    return ERROR_SUCCESS;
}

// After "\\?\" Windows hands the name to the file system as it is: only a
// backslash separates, and "/", an empty name (two backslashes), "." or
// ".." are names no file can have. `rest` follows the root ("\a\b").
// Wildcards need no leave here: any character may stand in a literal name.
DWORD ParseLiteralComponents(std::wstring_view rest, FileName* out) {
    ComponentWriter components(&out->components);
    if (rest.empty()) return ERROR_SUCCESS;
    if (rest[0] != L'\\') return ERROR_INVALID_NAME;
    rest.remove_prefix(1);
    out->trailingSeparator = !rest.empty() && rest.back() == L'\\';
    if (out->trailingSeparator) rest.remove_suffix(1);
    if (rest.empty()) return ERROR_SUCCESS;
    // One pass splits the name and finds any character refused.
    size_t start = 0;
    for (size_t i = 0; i <= rest.size(); ++i) {
        if (i < rest.size()) {
            if (rest[i] != L'\\') {
                if (RefusedInLiteralName(rest[i])) return ERROR_INVALID_NAME;
                continue;
            }
        }
        std::wstring_view part = rest.substr(start, i - start);
        if (part.empty() || IsDotOrDotDot(part)) return ERROR_INVALID_NAME;
        components.Add(part);
        start = i + 1;
    }
    return ERROR_SUCCESS;
}

DWORD ParseShareForm(std::wstring_view name, bool wildcardsInLast, bool literal, FileName* out);

// "X:" followed by the path below the drive's root. A letter mapped to a
// network share stands for that share: Z:\P is \\server\share\P.
DWORD ParseDriveForm(std::wstring_view name, bool wildcardsInLast, bool literal, FileName* out) {
    if (name.size() < 2 || name[1] != L':') return ERROR_INVALID_NAME;
    wchar_t letter = UpcaseNameChar(name[0]);
    if (letter < L'A' || letter > L'Z') return ERROR_INVALID_NAME;
    // "\\?\C:d" is no drive-relative name but an object "C:d" that does not exist.
    if (literal && name.size() > 2 && name[2] != L'\\') {
        return name.find(L'\\') == std::wstring_view::npos ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    machine::AssignLocalComputer(&out->computer);
    if (!machine::AssignDrive(out->computer, letter, &out->drive)) {
        auto remote = machine::FindNetworkDrive(out->computer, letter);
        if (!remote || remote->size() < 3) return ERROR_PATH_NOT_FOUND;
        const std::wstring full = remote->substr(2) + std::wstring(name.substr(2));
        *out = FileName();
        DWORD error = ParseShareForm(full, wildcardsInLast, literal, out);
        return error;
    }
    return literal ? ParseLiteralComponents(name.substr(2), out)
                   : ParseComponents(name.substr(2), wildcardsInLast, out);
}

// "server\share" followed by the path below the share's root.
DWORD ParseShareForm(std::wstring_view name, bool wildcardsInLast, bool literal, FileName* out) {
    auto separates = [literal](wchar_t c) { return literal ? c == L'\\' : IsSeparator(c); };
    size_t serverEnd = 0;
    while (serverEnd < name.size() && !separates(name[serverEnd])) ++serverEnd;
    std::wstring_view server = name.substr(0, serverEnd);
    if (server.empty() || !IsValidComponent(server, false)) return ERROR_INVALID_NAME;
    std::wstring_view afterServer = serverEnd < name.size() ? name.substr(serverEnd + 1) : std::wstring_view();
    size_t shareEnd = 0;
    while (shareEnd < afterServer.size() && !separates(afterServer[shareEnd])) ++shareEnd;
    std::wstring_view share = afterServer.substr(0, shareEnd);

    auto computer = ComputerForServer(server);
    if (!computer || !computer->reachable) return ERROR_BAD_NETPATH;
    if (share.empty()) return ERROR_BAD_NETPATH;
    if (!IsValidComponent(share, false) || (literal && share.find(L'/') != std::wstring_view::npos))
        return ERROR_INVALID_NAME;

    auto drive = machine::FindFileShare(*computer, share);
    if (!drive && share.size() == 2 && share[1] == L'$') {
        // Administrative share of a drive letter: \\server\C$.
        wchar_t letter = UpcaseNameChar(share[0]);
        if (letter >= L'A' && letter <= L'Z') drive = machine::FindDrive(*computer, letter);
    }
    if (!drive) return ERROR_BAD_NET_NAME;
    out->computer = std::move(*computer);
    out->drive = std::move(*drive);
    out->isShare = true;
    out->share = std::wstring(share);
    return literal ? ParseLiteralComponents(afterServer.substr(shareEnd), out)
                   : ParseComponents(afterServer.substr(shareEnd), wildcardsInLast, out);
}

}  // namespace

namespace {

DWORD ParseForms(std::wstring_view name, bool wildcardsInLast, FileName* out) {
    if (name.empty()) return ERROR_PATH_NOT_FOUND;
    // "\\?\" names are taken literally; "\\.\" ones are still normalized.
    if (name.size() >= 4 && name[0] == L'\\' && name[1] == L'\\' && (name[2] == L'?' || name[2] == L'.') &&
        name[3] == L'\\') {
        const bool literal = name[2] == L'?';
        const std::wstring_view rest = name.substr(4);
        if (StartsWithIgnoringCase(rest, L"UNC\\")) return ParseShareForm(rest.substr(4), wildcardsInLast, literal, out);
        return ParseDriveForm(rest, wildcardsInLast, literal, out);
    }
    if (name.size() >= 2 && IsSeparator(name[0]) && IsSeparator(name[1])) {
        return ParseShareForm(name.substr(2), wildcardsInLast, false, out);
    }
    return ParseDriveForm(name, wildcardsInLast, false, out);
}

}  // namespace

DWORD ParseFileName(std::wstring_view name, bool wildcardsInLast, FileName* out) {
    // Cleared keeping its buffers; the components are written over by the
    // parse (ComponentWriter).
    out->computer.id = 0;
    out->computer.name.clear();
    out->computer.isLocal = false;
    out->computer.reachable = true;
    out->drive.directory.clear();
    out->drive.xattrName.clear();
    out->drive.samba.reset();
    out->isShare = false;
    out->share.clear();
    out->trailingSeparator = false;
    const DWORD error = ParseForms(name, wildcardsInLast, out);
    if (error != ERROR_SUCCESS) out->components.clear();
    return error;
}

bool RootIsVolumeRoot(const FileName& name) {
    if (!name.isShare) return true;
    if (name.share.size() == 2 && name.share[1] == L'$') return true;
    auto canonical = [](const std::string& path) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        std::string result = resolved ? resolved : path;
        ::free(resolved);
        return result;
    };
    std::string shared = canonical(name.drive.directory);
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        auto drive = machine::FindDrive(name.computer, letter);
        if (drive && canonical(drive->directory) == shared) return true;
    }
    return false;
}

DWORD OpenDriveRoot(const machine::Drive& drive, UniqueFd* root) {
    if (drive.directory.empty()) return ERROR_PATH_NOT_FOUND;
    UniqueFd fd(::open(drive.directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid()) {
        int error = errno;
        return error == EACCES || error == EPERM ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
    }
    *root = std::move(fd);
    return ERROR_SUCCESS;
}

// ---- the walk ----------------------------------------------------------------------

namespace {

constexpr int kMaxLinks = 40;

}  // namespace

int OpenDirectoryEntry(int dirFd, const std::string& name, std::string* stored, UniqueFd* entry) {
    constexpr int kFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    *entry = UniqueFd(::openat(dirFd, name.c_str(), kFlags));
    if (entry->Valid()) {
        *stored = name;
        return 0;
    }
    int error = errno;
    if (error != ENOENT) return error;

    int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) return errno == EACCES ? EACCES : ENOENT;
    DIR* dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return ENOENT;
    }
    std::wstring wanted = HostNameToWide(name);
    bool found = false;
    while (dirent* item = ::readdir(dir)) {
        std::string_view candidate(item->d_name);
        if (candidate == "." || candidate == "..") continue;
        if (!NamesEqualIgnoringCase(HostNameToWide(candidate), wanted)) continue;
        if (!found || candidate < *stored) *stored = std::string(candidate);
        found = true;
    }
    ::closedir(dir);
    if (!found) return ENOENT;
    *entry = UniqueFd(::openat(dirFd, stored->c_str(), kFlags));
    return entry->Valid() ? 0 : errno;
}

bool OpenReadableEntry(int dirFd, const char* name, const struct stat* known, UniqueFd* entry, struct stat* status) {
    struct stat seen;
    if (!known) {
        if (::fstatat(dirFd, name, &seen, AT_SYMLINK_NOFOLLOW) != 0) return false;
        known = &seen;
    }
    if (!S_ISREG(known->st_mode) && !S_ISDIR(known->st_mode)) return false;
    UniqueFd readable(::openat(dirFd, name, kAttributeOpenFlags));
    if (!readable.Valid()) return false;
    if (::fstat(readable.Get(), status) != 0 || (status->st_mode & S_IFMT) != (known->st_mode & S_IFMT) ||
        (known->st_ino != 0 && (status->st_dev != known->st_dev || status->st_ino != known->st_ino))) {
        return false;
    }
    *entry = std::move(readable);
    return true;
}

namespace {

std::deque<std::string> SplitHostPath(std::string_view path) {
    std::deque<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            if (i > start) parts.emplace_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

// The part of an absolute link target below `rootDirectory`, if it lies there.
bool TargetBelowRoot(const std::string& target, const std::string& rootDirectory, std::string* below) {
    std::string root = rootDirectory;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (target == root) {
        below->clear();
        return true;
    }
    if (target.size() > root.size() && target.compare(0, root.size(), root) == 0 && target[root.size()] == '/') {
        *below = target.substr(root.size() + 1);
        return true;
    }
    return false;
}

// Names spelt exactly as stored, with no link, `.` or `..` on the way, are
// by far the most common: the kernel resolves their directory part in one
// call that can neither follow a link nor climb above the root. Anything
// else (another case, a link, a missing entry, an older kernel) returns
// false and takes the walk, which also gives the precise error.
bool ResolveSpeltExactly(int rootFd, const std::deque<std::string>& names, FinalLink finalLink,
                         ResolvedPath* out) {
    static std::atomic<bool> unsupported{false};
    if (names.size() < 2 || unsupported.load(std::memory_order_relaxed)) return false;
    std::string directory;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (name.empty() || name.size() > 255 || name == "." || name == ".." ||
            name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
            return false;
        if (i + 1 == names.size()) break;
        if (!directory.empty()) directory += '/';
        directory += name;
    }
    open_how how{};
    how.flags = kDirectoryOpenFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    UniqueFd parent(static_cast<int>(::syscall(SYS_openat2, rootFd, directory.c_str(), &how, sizeof how)));
    if (!parent.Valid()) {
        if (errno == ENOSYS) unsupported.store(true, std::memory_order_relaxed);
        return false;
    }
    UniqueFd object;
    struct stat status;
    if (!OpenReadableEntry(parent.Get(), names.back().c_str(), nullptr, &object, &status)) {
        object = UniqueFd(::openat(parent.Get(), names.back().c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!object.Valid()) return false;
        if (::fstat(object.Get(), &status) != 0) return false;
        if (S_ISLNK(status.st_mode) && finalLink == FinalLink::Follow) return false;
    }
    out->object = std::move(object);
    out->parent = std::move(parent);
    out->name = names.back();
    out->status = status;
    out->isRoot = false;
    return true;
}

struct WalkLevel {
    UniqueFd fd;
    std::string name;  // as stored in the level above
};

}  // namespace

DWORD ResolveBelowRoot(int rootFd, const std::string& rootDirectory, const std::vector<std::wstring>& components,
                       FinalLink finalLink, ResolvedPath* out) {
    *out = ResolvedPath();
    std::deque<std::string> pending;
    for (const auto& component : components) {
        std::string host;
        if (!WideToHostName(component, &host)) return ERROR_INVALID_NAME;
        pending.push_back(std::move(host));
    }

    if (ResolveSpeltExactly(rootFd, pending, finalLink, out)) return ERROR_SUCCESS;
    *out = ResolvedPath();

    // The directories from the root down to where the walk stands; `..`
    // pops one and can never pop the root. The root level borrows the
    // caller's descriptor; it is duplicated only when the result keeps it.
    std::vector<WalkLevel> levels;
    levels.push_back({UniqueFd(), std::string()});
    auto levelFd = [&](size_t index) { return index == 0 ? rootFd : levels[index].fd.Get(); };
    auto takeLevelFd = [&](size_t index) {
        return index == 0 ? UniqueFd(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0)) : std::move(levels[index].fd);
    };

    // Whether a component came from the caller (a miss is then reported as
    // missing file or path) or from a link target (then the link is broken).
    int links = 0;
    std::string realRoot;
    while (!pending.empty()) {
        std::string component = std::move(pending.front());
        pending.pop_front();
        bool last = pending.empty();
        if (component == ".") continue;
        if (component == "..") {
            if (levels.size() == 1) return ERROR_ACCESS_DENIED;
            levels.pop_back();
            continue;
        }
        if (component.size() > 255) return ERROR_FILENAME_EXCED_RANGE;

        if (!last) {
            // The common case of a directory on the way, spelt exactly: the
            // open itself proves it is a directory and no link, so it needs
            // no status call. Anything else takes the general way below.
            UniqueFd directory(::openat(levelFd(levels.size() - 1), component.c_str(), kDirectoryOpenFlags));
            if (directory.Valid()) {
                levels.push_back({std::move(directory), std::move(component)});
                continue;
            }
        }

        // One open of the entry itself, then questions to that descriptor
        // only: whatever is swapped in under the name afterwards is not seen.
        std::string stored;
        UniqueFd entry;
        struct stat status;
        if (last && OpenReadableEntry(levelFd(levels.size() - 1), component.c_str(), nullptr, &entry, &status)) {
            out->object = std::move(entry);
            out->parent = takeLevelFd(levels.size() - 1);
            if (!out->parent.Valid()) return ErrorFromErrno(errno);
            out->name = std::move(component);
            out->status = status;
            out->isRoot = false;
            return ERROR_SUCCESS;
        }
        int error = OpenDirectoryEntry(levelFd(levels.size() - 1), component, &stored, &entry);
        if (error == ENOENT) return last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        if (error != 0) return error == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(error);
        if (::fstat(entry.Get(), &status) != 0) return ErrorFromErrno(errno);

        if (S_ISLNK(status.st_mode) && (!last || finalLink == FinalLink::Follow)) {
            if (DirectoryLinksRefused()) return ERROR_ACCESS_DENIED;
            if (++links > kMaxLinks) return ERROR_CANT_RESOLVE_FILENAME;
            std::string target(PATH_MAX, '\0');
            ssize_t length = ::readlinkat(entry.Get(), "", target.data(), target.size());
            if (length < 0) return ErrorFromErrno(errno);
            if (static_cast<size_t>(length) >= target.size()) return ERROR_CANT_RESOLVE_FILENAME;
            target.resize(static_cast<size_t>(length));
            if (target.empty()) return ERROR_CANT_ACCESS_FILE;
            if (target.front() == '/') {
                std::string below;
                if (!TargetBelowRoot(target, rootDirectory, &below)) {
                    // The drive's directory may itself be reached through a
                    // link (e.g. /tmp); compare with its resolved spelling too.
                    if (realRoot.empty()) {
                        char* resolved = ::realpath(rootDirectory.c_str(), nullptr);
                        realRoot = resolved ? resolved : "/";
                        ::free(resolved);
                    }
                    if (realRoot == "/" || !TargetBelowRoot(target, realRoot, &below)) return ERROR_CANT_ACCESS_FILE;
                }
                levels.resize(1);
                target = below;
            }
            auto parts = SplitHostPath(target);
            for (auto it = parts.rbegin(); it != parts.rend(); ++it) pending.push_front(std::move(*it));
            continue;
        }

        if (!last) {
            if (!S_ISDIR(status.st_mode)) return ERROR_PATH_NOT_FOUND;
            levels.push_back({std::move(entry), std::move(stored)});
            continue;
        }

        out->object = std::move(entry);
        out->parent = takeLevelFd(levels.size() - 1);
        if (!out->parent.Valid()) return ErrorFromErrno(errno);
        out->name = std::move(stored);
        out->status = status;
        out->isRoot = false;
        return ERROR_SUCCESS;
    }

    // The walk ended on a directory of the stack (the root, or after `.`/`..`
    // or a link to a directory).
    const size_t self = levels.size() - 1;
    if (::fstat(levelFd(self), &out->status) != 0) return ErrorFromErrno(errno);
    out->object = takeLevelFd(self);
    if (!out->object.Valid()) return ErrorFromErrno(errno);
    out->name = std::move(levels[self].name);
    out->isRoot = self == 0;
    if (self > 0) {
        out->parent = takeLevelFd(self - 1);
        if (!out->parent.Valid()) return ErrorFromErrno(errno);
    }
    return ERROR_SUCCESS;
}

DWORD ResolveParsedFileName(const FileName& parsed, FinalLink finalLink, ResolvedPath* out) {
    DWORD error = ERROR_SUCCESS;
    if (ResolveBelowListedDirectory(parsed, finalLink, out, &error)) return error;
    // Names a file lists (a restore) come in the order a walk listed them.
    if (DirectoryLinksRefused() && ResolveThroughRecentDirectories(parsed, finalLink, out, &error)) return error;
    UniqueFd root;
    error = OpenDriveRoot(parsed.drive, &root);
    if (error != ERROR_SUCCESS) return error;
    return ResolveBelowRoot(root.Get(), parsed.drive.directory, parsed.components, finalLink, out);
}

DWORD ResolveFileName(std::wstring_view name, FinalLink finalLink, ResolvedPath* out, machine::Drive* drive) {
    // Parsed into the same FileName name after name: its strings keep
    // their buffers. Nothing below parses a name on this thread meanwhile.
    thread_local FileName parsed;
    DWORD error = ParseFileName(name, false, &parsed);
    if (error != ERROR_SUCCESS) return error;
    error = ResolveParsedFileName(parsed, finalLink, out);
    if (error != ERROR_SUCCESS) return error;
    if (drive) *drive = parsed.drive;
    return ERROR_SUCCESS;
}

void RaiseOpenFileLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace winapi
