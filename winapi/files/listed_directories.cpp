#include "winapi/files/listed_directories.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <span>

#include "winapi/machine/network_cache.h"
#include "winapi/win32.h"

namespace winapi {

class ListedDirectory {
public:
    std::string drive;                  // the drive's host directory
    ListedDirectory* parent = nullptr;  // the open listed directory it was found in
    // Where it was not found in an open listed directory: its upper-case
    // components below the drive's root, and their host spelling.
    std::vector<std::wstring> topPath;
    std::vector<std::string> topHost;
    bool reachable = true;              // false once its parent closed first
    std::string hostName;               // its name in `parent`
    std::wstring upperName;
    // Shared with the results of resolutions below it (ResolvedPath::parent).
    std::shared_ptr<const UniqueFd> fd;
    dev_t dev = 0;
    ino_t ino = 0;
    std::vector<ListedDirectory*> children;
    uint64_t nameCheckedInStep = 0;     // the step in which it last still had its name
    size_t depth = 0;                   // components of its path below the drive's root

    bool hasCurrent = false;            // the entry the search handed out last
    std::string currentHost;            // its name as stored
    std::wstring currentUpper;          // in upper case, once asked for
    bool currentUpperKnown = false;

    // Whether `host` (upper case `upper`) names the current entry: the
    // walk names it as the search spelt it, else it may differ in case.
    bool IsCurrent(const std::string& host, std::wstring_view upper) {
        if (!hasCurrent) return false;
        if (host == currentHost) return true;
        if (!currentUpperKnown) {
            HostNameToWide(currentHost, &currentUpper);
            for (wchar_t& c : currentUpper) c = UpcaseNameChar(c);
            currentUpperKnown = true;
        }
        return upper == currentUpper;
    }
    dev_t currentDev = 0;
    ino_t currentIno = 0;
    struct stat currentStatus {};

    std::vector<std::string> HostComponents() const {
        std::vector<std::string> reversed;
        const ListedDirectory* node = this;
        for (; node->parent; node = node->parent) reversed.push_back(node->hostName);
        std::vector<std::string> components = node->topHost;
        components.insert(components.end(), reversed.rbegin(), reversed.rend());
        return components;
    }
};

namespace {

std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

// Directories not found in another open listed directory, oldest first.
std::vector<ListedDirectory*>& Tops() {
    static std::vector<ListedDirectory*> tops;
    return tops;
}

size_t& Count() {
    static size_t count = 0;
    return count;
}

bool SameObject(const struct stat& status, dev_t dev, ino_t ino) { return status.st_dev == dev && status.st_ino == ino; }

struct Match {
    ListedDirectory* directory = nullptr;
    size_t consumed = 0;  // components of the name the directory stands for
};

// A name in upper case, its components one after the other, each followed
// by a separator no component can hold: comparing the beginnings of two
// names is one pass over contiguous memory.
struct UpperName {
    std::wstring text;
    std::vector<size_t> ends;  // where each component's separator is in `text`
    size_t Count() const { return ends.size(); }
    std::wstring_view Component(size_t index) const {
        const size_t begin = index == 0 ? 0 : ends[index - 1] + 1;
        return std::wstring_view(text).substr(begin, ends[index] - begin);
    }
};

void MakeUpperName(const std::vector<std::wstring>& components, UpperName* out) {
    size_t length = 0;
    for (const auto& component : components) length += component.size() + 1;
    out->text.resize(length);
    out->ends.clear();
    wchar_t* text = out->text.data();
    size_t at = 0;
    for (const auto& component : components) {
        for (wchar_t c : component) {
            // ASCII, nearly every character of a path, without a call
            text[at++] = c < 0x80 ? (c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c) : UpcaseNameChar(c);
        }
        out->ends.push_back(at);
        text[at++] = L'\\';
    }
}

// How many leading components `a` shares with `b`.
size_t SharedComponents(const UpperName& a, const UpperName& b) {
    const size_t length = std::min(a.text.size(), b.text.size());
    const auto first = a.text.begin();
    const auto at = static_cast<size_t>(
        std::mismatch(first, first + static_cast<std::ptrdiff_t>(length), b.text.begin()).first - first);
    // the components of `a` whose separator lies before the first difference
    return static_cast<size_t>(std::lower_bound(a.ends.begin(), a.ends.end(), at) - a.ends.begin());
}

// The lookup before, kept so that the next one (in a walk, a sibling or a
// child of the last name) does not start again from the top: found[k] is
// the listed directory standing for the name's first k components on the
// way the lookup took, null where none does. Registering a directory below
// one of them, or closing one, cuts it back to that point, so every entry
// left is open and is still the most recent directory of its name.
struct LastLookup {
    std::string drive;
    UpperName name;
    std::vector<ListedDirectory*> found;

    void CutBelow(const ListedDirectory& directory, bool keepIt) {
        if (found.size() > directory.depth && found[directory.depth] == &directory) {
            found.resize(directory.depth + (keepIt ? 1 : 0));
        }
    }
};

LastLookup& Memo() {
    static LastLookup memo;
    return memo;
}

// Follows the name's components down the children of `from`, recording each
// directory reached in `found`.
Match WalkDown(Match from, const UpperName& upper, std::vector<ListedDirectory*>* found) {
    while (from.consumed < upper.Count()) {
        const std::wstring_view name = upper.Component(from.consumed);
        const auto& children = from.directory->children;
        auto child = std::find_if(children.rbegin(), children.rend(),
                                  [&](const ListedDirectory* c) { return c->upperName == name; });
        if (child == children.rend()) break;
        from = {*child, from.consumed + 1};
        found->push_back(*child);
    }
    return from;
}

// The deepest open listed directory whose path begins the name; the most
// recent one among equals. A lookup starts from the deepest directory the
// last one found on the components both names share, so a walk pays for
// the few components it has not seen yet, not for its depth.
Match FindListedPrefix(const std::string& drive, const UpperName& upper) {
    LastLookup& memo = Memo();
    std::vector<ListedDirectory*>& found = memo.found;
    if (memo.drive != drive) found.clear();
    found.resize(std::min(found.size(), SharedComponents(upper, memo.name) + 1));
    Match best;
    for (size_t k = found.size(); k-- > 0;) {
        if (found[k]) {
            best = {found[k], k};
            break;
        }
    }
    found.resize(best.directory ? best.consumed + 1 : 0);
    if (best.directory) best = WalkDown(best, upper, &found);

    // Searches opened on a name that no listed directory held: the walk's
    // first, or one opened by a name more than one level below.
    for (ListedDirectory* top : Tops()) {
        const size_t depth = top->topPath.size();
        if (top->drive != drive || depth > upper.Count() || (best.directory && depth < best.consumed)) continue;
        bool equal = true;
        for (size_t i = 0; equal && i < depth; ++i) equal = top->topPath[i] == upper.Component(i);
        if (!equal) continue;
        std::vector<ListedDirectory*> chain(depth + 1, nullptr);
        chain[depth] = top;
        const Match reached = WalkDown({top, depth}, upper, &chain);
        if (!best.directory || reached.consumed >= best.consumed) {
            best = reached;
            found = std::move(chain);
        }
    }
    memo.drive = drive;
    memo.name = upper;
    return best;
}

// A listed directory serves names only while it is still found under its
// own name in the directory above it.
//
// Within one step (the calls the host makes for the entry a search just
// handed out, see network_cache.h) the directory is asked once, at the
// step's first call that goes through it. A rename or replacement that
// completed before the step began is seen by that first call, as it was
// by every call before; one made while the step runs is seen from the next
// step on, the rule the calls of a step already follow for other
// processes' commits. A rename between the question and the use of the
// descriptor was never kept out by the question itself: what keeps every
// object inside the tree is that names are opened below the directory's
// descriptor, one component at a time, following no link.
bool StillHasItsName(ListedDirectory& directory) {
    if (!directory.parent) return true;
    const uint64_t step = machine::CurrentStep();
    if (step != 0 && directory.nameCheckedInStep == step) return true;
    struct stat status;
    if (::fstatat(directory.parent->fd->Get(), directory.hostName.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    if (!SameObject(status, directory.dev, directory.ino)) return false;
    directory.nameCheckedInStep = step;
    return true;
}

// Opens `rest` below `base` one component at a time without following any
// link. `firstUpper` is the first component in upper case; `stored`, when
// given, receives the names as found on disk.
DWORD OpenBelow(ListedDirectory& base, std::span<const std::wstring> rest, std::wstring_view firstUpper,
                FinalLink finalLink, ResolvedPath* out, std::vector<std::string>* stored) {
    UniqueFd held;  // the directory reached so far, when it is not `base`
    int directoryFd = base.fd->Get();
    for (size_t i = 0; i < rest.size(); ++i) {
        const bool last = i + 1 == rest.size();
        std::string host;
        if (!WideToHostName(rest[i], &host)) return ERROR_INVALID_NAME;
        if (host.size() > 255) return ERROR_FILENAME_EXCED_RANGE;
        const bool isCurrent = i == 0 && base.IsCurrent(host, firstUpper);
        std::string found;
        UniqueFd entry;
        struct stat status;
        // The last component opens for reading when it is a regular file or
        // a directory; the entry the search handed out last is known to be
        // one from the search's own status, and must still be that object.
        if (last && OpenReadableEntry(directoryFd, host.c_str(), isCurrent ? &base.currentStatus : nullptr, &entry,
                                      &status)) {
            out->object = std::move(entry);
            if (held.Valid()) {
                out->parent = std::move(held);
            } else {
                out->parent.Share(base.fd, base.dev, base.ino);
            }
            if (stored) stored->push_back(host);
            out->name = std::move(host);
            out->status = status;
            out->isRoot = false;
            return ERROR_SUCCESS;
        }
        int error = OpenDirectoryEntry(directoryFd, host, &found, &entry);
        if (error == ENOENT) return last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        if (error != 0) return error == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(error);
        if (::fstat(entry.Get(), &status) != 0) return ErrorFromErrno(errno);
        // The entry the search described must still be that object.
        if (isCurrent && !SameObject(status, base.currentDev, base.currentIno)) {
            return ERROR_ACCESS_DENIED;
        }
        if (S_ISLNK(status.st_mode) && (!last || finalLink == FinalLink::Follow)) return ERROR_ACCESS_DENIED;
        if (stored) stored->push_back(found);
        if (!last) {
            if (!S_ISDIR(status.st_mode)) return ERROR_PATH_NOT_FOUND;
            held = std::move(entry);
            directoryFd = held.Get();
            continue;
        }
        out->object = std::move(entry);
        if (held.Valid()) {
            out->parent = std::move(held);
        } else {
            out->parent.Share(base.fd, base.dev, base.ino);
        }
        out->name = std::move(found);
        out->status = status;
        out->isRoot = false;
        return ERROR_SUCCESS;
    }
    // The name is the listed directory itself.
    out->object = base.fd->Duplicate();
    if (!out->object.Valid() || ::fstat(out->object.Get(), &out->status) != 0) return ErrorFromErrno(errno);
    const bool isRoot = !base.parent && base.topPath.empty();
    out->isRoot = isRoot;
    if (!isRoot) {
        if (base.parent) {
            out->parent.Share(base.parent->fd, base.parent->dev, base.parent->ino);
        } else {
            out->parent = UniqueFd(::openat(base.fd->Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
        if (!out->parent.Valid()) return ErrorFromErrno(errno);
        out->name = base.parent ? base.hostName : (base.topHost.empty() ? std::string() : base.topHost.back());
    }
    return ERROR_SUCCESS;
}

bool PlainComponents(const std::vector<std::wstring>& components) {
    return std::none_of(components.begin(), components.end(),
                        [](const std::wstring& c) { return IsDotOrDotDot(c); });
}

// The upper-case form of the name being looked up; kept from call to call
// so that its buffers are allocated once.
UpperName& Scratch() {
    static UpperName upper;
    return upper;
}

}  // namespace

ListedDirectoryLease::~ListedDirectoryLease() {
    if (!directory_) return;
    std::lock_guard guard(RegistryLock());
    ListedDirectory* self = directory_;
    for (ListedDirectory* child : self->children) {
        // A nested search outlives this one: it keeps its descriptor but is
        // no longer found by name.
        child->topHost = child->HostComponents();
        child->parent = nullptr;
        child->reachable = false;
    }
    if (self->parent) {
        auto& siblings = self->parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), self), siblings.end());
    } else {
        auto& tops = Tops();
        tops.erase(std::remove(tops.begin(), tops.end(), self), tops.end());
    }
    Memo().CutBelow(*self, false);
    --Count();
    delete self;
}

int ListedDirectoryLease::Fd() const { return directory_ ? directory_->fd->Get() : -1; }

void ListedDirectoryLease::SetCurrentEntry(const std::string& host, const struct stat& status) {
    if (!directory_) return;
    std::lock_guard guard(RegistryLock());
    directory_->hasCurrent = true;
    directory_->currentHost.assign(host);
    directory_->currentUpperKnown = false;
    directory_->currentDev = status.st_dev;
    directory_->currentIno = status.st_ino;
    directory_->currentStatus = status;
}

std::vector<std::string> ListedDirectoryLease::HostComponents() const {
    if (!directory_) return {};
    std::lock_guard guard(RegistryLock());
    return directory_->HostComponents();
}

bool ResolveBelowListedDirectory(const FileName& parsed, FinalLink finalLink, ResolvedPath* out, DWORD* error) {
    if (!PlainComponents(parsed.components)) return false;
    std::lock_guard guard(RegistryLock());
    if (Tops().empty()) return false;
    UpperName& upper = Scratch();
    MakeUpperName(parsed.components, &upper);
    Match match = FindListedPrefix(parsed.drive.directory, upper);
    if (!match.directory) return false;
    *out = ResolvedPath();
    if (!StillHasItsName(*match.directory)) {
        *error = ERROR_ACCESS_DENIED;
        return true;
    }
    const std::span<const std::wstring> rest(parsed.components.begin() + static_cast<std::ptrdiff_t>(match.consumed),
                                             parsed.components.end());
    *error = OpenBelow(*match.directory, rest, rest.empty() ? std::wstring_view() : upper.Component(match.consumed),
                       finalLink, out, nullptr);
    return true;
}

DWORD ResolveSearchDirectory(const FileName& parsed, ResolvedPath* directory,
                             std::unique_ptr<ListedDirectoryLease>* lease) {
    auto listed = std::make_unique<ListedDirectory>();
    listed->drive = parsed.drive.directory;

    std::lock_guard guard(RegistryLock());
    UpperName& upper = Scratch();
    MakeUpperName(parsed.components, &upper);
    auto upperPath = [&upper] {
        std::vector<std::wstring> path;
        for (size_t i = 0; i < upper.Count(); ++i) path.emplace_back(upper.Component(i));
        return path;
    };
    Match match;
    if (PlainComponents(parsed.components)) match = FindListedPrefix(parsed.drive.directory, upper);
    DWORD error = ERROR_SUCCESS;
    if (match.directory) {
        if (!StillHasItsName(*match.directory)) return ERROR_ACCESS_DENIED;
        const std::span<const std::wstring> rest(
            parsed.components.begin() + static_cast<std::ptrdiff_t>(match.consumed), parsed.components.end());
        std::vector<std::string> stored;
        error = OpenBelow(*match.directory, rest,
                          rest.empty() ? std::wstring_view() : upper.Component(match.consumed), FinalLink::Follow,
                          directory, &stored);
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_PATH_NOT_FOUND;
        if (error != ERROR_SUCCESS) return error;
        if (!S_ISDIR(directory->status.st_mode)) return ERROR_PATH_NOT_FOUND;
        if (rest.size() == 1) {
            listed->parent = match.directory;
            listed->hostName = stored.front();
            listed->upperName = upper.Component(upper.Count() - 1);
            listed->depth = match.directory->depth + 1;
        } else {
            listed->topPath = upperPath();
            listed->depth = listed->topPath.size();
            listed->topHost = match.directory->HostComponents();
            listed->topHost.insert(listed->topHost.end(), stored.begin(), stored.end());
        }
    } else {
        // Below no open search: the directory is found from the drive's
        // root, links inside the drive followed as for any other name.
        UniqueFd root;
        error = OpenDriveRoot(parsed.drive, &root);
        if (error != ERROR_SUCCESS) return error;
        error = ResolveBelowRoot(root.Get(), parsed.drive.directory, parsed.components, FinalLink::Follow, directory);
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_PATH_NOT_FOUND;
        if (error != ERROR_SUCCESS) return error;
        if (!S_ISDIR(directory->status.st_mode)) return ERROR_PATH_NOT_FOUND;
        listed->topPath = upperPath();
        listed->depth = listed->topPath.size();
        for (const auto& component : parsed.components) {
            std::string host;
            WideToHostName(component, &host);
            listed->topHost.push_back(std::move(host));
        }
    }
    listed->fd = std::make_shared<const UniqueFd>(std::move(directory->object));
    listed->dev = directory->status.st_dev;
    listed->ino = directory->status.st_ino;

    ListedDirectory* raw = listed.release();
    if (raw->parent) {
        // Lookups that went through the parent find the new directory.
        Memo().CutBelow(*raw->parent, true);
        raw->parent->children.push_back(raw);
    } else {
        Tops().push_back(raw);
    }
    ++Count();
    *lease = std::make_unique<ListedDirectoryLease>();
    (*lease)->directory_ = raw;
    return ERROR_SUCCESS;
}

size_t ListedDirectoryCount() {
    std::lock_guard guard(RegistryLock());
    return Count();
}

}  // namespace winapi
