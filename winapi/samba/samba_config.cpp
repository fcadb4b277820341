// smb.conf as smbd reads it, for what this layer needs: the shares, their
// paths, their VFS modules and the acl_xattr options. Names of sections and
// parameters compare without regard to case or white space, as in Samba;
// a share inherits [global]'s value of any parameter it does not set.
#include "winapi/samba/samba_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cctype>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

#include "winapi/machine/network_cache.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/store.h"

namespace winapi::machine {
namespace {

using Section = std::map<std::string, std::string>;

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

// Samba's key: lower case, white space dropped.
std::string Key(const std::string& name) {
    std::string key;
    for (char c : name) {
        if (!std::isspace(static_cast<unsigned char>(c))) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return key;
}

bool Boolean(const std::string& value, bool fallback) {
    std::string v = Key(value);
    if (v == "yes" || v == "true" || v == "1" || v == "on") return true;
    if (v == "no" || v == "false" || v == "0" || v == "off") return false;
    return fallback;
}

// smbd's % variables with the values they have without a client: %L and
// %N the server's NetBIOS name (%N names the NIS home server, which a build
// without NIS takes to be this one), %h the host name, %S the share being
// read ("" outside a share). Every other variable (%U, %m, %I, %H, %T...)
// depends on the connection or the moment; false then, with the variable
// in `variable`.
bool SubstituteWithoutSession(const std::string& text, const std::string& netbiosName, const std::string& shareName,
                              std::string* out, std::string* variable);

std::string HostName() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return host;
}

bool SubstituteWithoutSession(const std::string& text, const std::string& netbiosName, const std::string& shareName,
                              std::string* out, std::string* variable) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 == text.size()) {
            *out += text[i];
            continue;
        }
        const char letter = text[++i];
        if (letter == 'L' || letter == 'N') {
            *out += netbiosName;
        } else if (letter == 'h') {
            *out += HostName();
        } else if (letter == 'S' && !shareName.empty()) {
            *out += shareName;
        } else {
            *variable = std::string("%") + letter;
            return false;
        }
    }
    return true;
}

// What smbd reads from its configuration before any client connects: the
// sections in file order, `include =` files spliced in where they stand
// (parameters after an include go on into the last section it opened, as
// in smbd), and every file read, for noticing changes.
struct ParsedConfig {
    std::vector<std::pair<std::string, Section>> sections;
    std::vector<std::string> files;
};

// smbd refuses deeper nesting, which is how it stops include loops.
constexpr int kMaxIncludeDepth = 100;

// smbd keeps the NetBIOS name in upper case, and %L gives it so.
std::string NetbiosNameSoFar(const ParsedConfig& parsed) {
    std::string name;
    for (const auto& [section, values] : parsed.sections) {
        if (Key(section) != "global") continue;
        if (auto it = values.find("netbiosname"); it != values.end()) name = it->second;
    }
    if (name.empty()) {
        const std::string host = HostName();
        name = host.substr(0, host.find('.')).substr(0, 15);
    }
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

void ParseInto(const std::string& path, ParsedConfig& parsed, int depth) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read the Samba configuration " + path);
    parsed.files.push_back(path);
    std::string line, pending;
    while (std::getline(in, line)) {
        // Lines continued with a trailing backslash are joined, and ';' or
        // '#' open a comment line.
        if (!line.empty() && line.back() == '\\') {
            pending += line.substr(0, line.size() - 1);
            continue;
        }
        line = Trim(pending + line);
        pending.clear();
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) continue;
            parsed.sections.emplace_back(Trim(line.substr(1, close - 1)), Section{});
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = Key(line.substr(0, equals));
        const std::string value = Trim(line.substr(equals + 1));
        if (key == "include") {
            // "include = registry" reads the registry, which has no shares
            // of its own here.
            if (Key(value) == "registry") continue;
            if (depth + 1 >= kMaxIncludeDepth) {
                throw std::runtime_error("the Samba configuration " + path + " nests includes deeper than " +
                                         std::to_string(kMaxIncludeDepth) + " (an include loop?)");
            }
            std::string included, variable;
            // smbd's parent process reads its includes before any client
            // connects: a name built from a client's variables names no
            // file then, and is passed over as smbd passes it over.
            if (!SubstituteWithoutSession(value, NetbiosNameSoFar(parsed), "", &included, &variable)) continue;
            // smbd opens a relative name from its working directory, which
            // is / for a service.
            if (!included.empty() && included[0] != '/') included = "/" + included;
            struct stat status {};
            if (::stat(included.c_str(), &status) != 0 && errno == ENOENT) continue;  // smbd skips it too
            ParseInto(included, parsed, depth + 1);
            continue;
        }
        if (parsed.sections.empty()) continue;
        parsed.sections.back().second[key] = value;
    }
}

ParsedConfig Parse(const std::string& configPath) {
    ParsedConfig parsed;
    ParseInto(configPath, parsed, 0);
    return parsed;
}

bool ListsAclXattr(const std::string& modules) {
    std::string word;
    for (char c : modules + " ") {
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
            if (Key(word) == "acl_xattr") return true;
            word.clear();
        } else {
            word += c;
        }
    }
    return false;
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::vector<SambaShare> ReadSambaShares(const std::string& configPath, bool onlyAclXattr,
                                        std::vector<std::string>* notes) {
    const ParsedConfig parsed = Parse(configPath);
    Section global;
    for (const auto& [name, values] : parsed.sections) {
        if (Key(name) == "global") {
            for (const auto& [k, v] : values) global[k] = v;
        }
    }
    const std::string netbiosName = NetbiosNameSoFar(parsed);
    std::vector<SambaShare> shares;
    for (const auto& section : parsed.sections) {
        // Named members rather than a structured binding: clang before 16,
        // which builds the fuzz targets, cannot capture bindings in lambdas.
        const auto& name = section.first;
        const auto& values = section.second;
        const std::string key = Key(name);
        if (key == "global" || key == "homes" || key == "printers") continue;
        auto value = [&](const std::string& parameter) -> std::optional<std::string> {
            auto it = values.find(Key(parameter));
            if (it != values.end()) return it->second;
            it = global.find(Key(parameter));
            if (it != global.end()) return it->second;
            return std::nullopt;
        };
        if (Boolean(value("printable").value_or("no"), false) || Boolean(value("print ok").value_or("no"), false)) {
            continue;
        }
        if (onlyAclXattr && !ListsAclXattr(value("vfs objects").value_or(""))) continue;
        auto rawPath = value("path");
        if (!rawPath || rawPath->empty()) continue;
        std::string path, variable;
        if (!SubstituteWithoutSession(*rawPath, netbiosName, name, &path, &variable)) {
            if (notes) {
                notes->push_back("share [" + name + "] left out: its path " + *rawPath + " depends on " + variable +
                                 ", which smbd fills in for each connection");
            }
            continue;
        }
        if (path[0] != '/') {
            if (notes) notes->push_back("share [" + name + "] left out: its path " + path + " is not absolute");
            continue;
        }
        SambaShare share;
        share.name = name;
        share.path = WithoutTrailingSlash(path);
        share.attributeName = value("acl_xattr:security_acl_name").value_or("security.NTACL");
        share.ignoreSystemAcls = Boolean(value("acl_xattr:ignore system acls").value_or("no"), false);
        share.mapAclInherit = Boolean(value("map acl inherit").value_or("no"), false);
        const std::string style = Key(value("acl_xattr:default acl style").value_or("posix"));
        // smbd takes an unknown style for the default.
        share.defaultAclStyle = style == "windows"    ? DefaultAclStyle::Windows
                                : style == "everyone" ? DefaultAclStyle::Everyone
                                                      : DefaultAclStyle::Posix;
        shares.push_back(std::move(share));
    }
    return shares;
}

SambaIdentity ReadSambaIdentity(const std::string& configPath) {
    SambaIdentity identity;
    for (const auto& [name, values] : Parse(configPath).sections) {
        if (Key(name) != "global") continue;
        if (auto it = values.find("netbiosname"); it != values.end()) identity.netbiosName = it->second;
        if (auto it = values.find("workgroup"); it != values.end()) identity.workgroup = it->second;
        if (auto it = values.find("statedirectory"); it != values.end()) identity.stateDirectory = it->second;
    }
    auto upper = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return text;
    };
    if (identity.netbiosName.empty()) {
        const std::string host = HostName();
        identity.netbiosName = host.substr(0, host.find('.')).substr(0, 15);
    }
    identity.netbiosName = upper(identity.netbiosName);
    identity.workgroup = upper(identity.workgroup.empty() ? "WORKGROUP" : identity.workgroup);
    if (identity.stateDirectory.empty()) identity.stateDirectory = "/var/lib/samba";
    return identity;
}

std::vector<std::string> SambaConfigurationNotes(const std::string& configPath) {
    std::vector<std::string> notes;
    ReadSambaShares(configPath, false, &notes);
    return notes;
}

std::string SambaConfigurationPath() {
    std::lock_guard guard(MachineLock());
    return CurrentNetwork().sambaConfig;
}

void SetSambaConfiguration(const std::string& configPath) {
    if (!configPath.empty()) ReadSambaShares(configPath, false);  // throws when unreadable
    std::lock_guard guard(MachineLock());
    Transaction transaction(CurrentStore());
    CurrentStore().Prepare("DELETE FROM settings WHERE name = 'samba_config'").Run();
    if (!configPath.empty()) {
        CurrentStore()
            .Prepare("INSERT INTO settings (name, value) VALUES ('samba_config', ?1)")
            .Bind(1, configPath)
            .Run();
    }
    transaction.Commit();
}

namespace {

// The shares of the recorded configuration, parsed again only when one of
// its files changes, and looked at for changes at most once a second: a
// bulk change asks for every object.
struct SharesCache {
    std::mutex lock;
    std::string path;
    std::vector<std::pair<std::string, struct timespec>> files;
    std::chrono::steady_clock::time_point checked;
    std::vector<SambaShare> shares;
    uint64_t generation = 0;  // moves each time `shares` is read again
};

SharesCache& Shares() {
    static SharesCache cache;
    return cache;
}

// Brings the cache up to date with `configPath`; call under its lock.
void RefreshShares(SharesCache& cache, const std::string& configPath) {
    auto modified = [](const std::string& file) {
        struct stat status {};
        if (::stat(file.c_str(), &status) != 0) return timespec{-1, 0};
        return status.st_mtim;
    };
    const auto now = std::chrono::steady_clock::now();
    bool stale = cache.path != configPath;
    if (!stale && now - cache.checked > std::chrono::seconds(1)) {
        for (const auto& [file, time] : cache.files) {
            const timespec current = modified(file);
            if (current.tv_sec != time.tv_sec || current.tv_nsec != time.tv_nsec) stale = true;
        }
        cache.checked = now;
    }
    if (!stale) return;
    ++cache.generation;
    cache.path = configPath;
    cache.checked = now;
    cache.files.clear();
    cache.shares.clear();
    try {
        for (const std::string& file : Parse(configPath).files) cache.files.emplace_back(file, modified(file));
        cache.shares = ReadSambaShares(configPath, true);
    } catch (const std::exception&) {
        if (cache.files.empty()) cache.files.emplace_back(configPath, modified(configPath));
        cache.shares.clear();
    }
}

}  // namespace

uint64_t SambaSharesGeneration(const std::string& configPath) {
    if (configPath.empty()) return 0;
    SharesCache& cache = Shares();
    std::lock_guard guard(cache.lock);
    RefreshShares(cache, configPath);
    return cache.generation;
}

std::optional<SambaShare> SambaShareHolding(const std::string& directory) {
    const std::string configPath = SambaConfigurationPath();
    if (configPath.empty()) return std::nullopt;
    std::vector<SambaShare> shares;
    {
        SharesCache& cache = Shares();
        std::lock_guard guard(cache.lock);
        RefreshShares(cache, configPath);
        shares = cache.shares;
    }
    const SambaShare* best = nullptr;
    for (const SambaShare& share : shares) {
        const bool holds = directory == share.path ||
                           (directory.size() > share.path.size() && directory.compare(0, share.path.size(), share.path) == 0 &&
                            (directory[share.path.size()] == '/' || share.path == "/"));
        if (holds && (!best || share.path.size() > best->path.size())) best = &share;
    }
    if (!best) return std::nullopt;
    return *best;
}

}  // namespace winapi::machine
