// smb.conf as smbd reads it, for what this layer needs: the shares, their
// paths, their VFS modules and the acl_xattr options. Names of sections and
// parameters compare without regard to case or white space, as in Samba;
// a share inherits [global]'s value of any parameter it does not set.
#include "winapi/samba/samba_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Sections in file order; lines continued with a trailing backslash are
// joined, and ';' or '#' open a comment line.
std::vector<std::pair<std::string, Section>> Parse(const std::string& configPath) {
    std::ifstream in(configPath);
    if (!in) throw std::runtime_error("cannot read the Samba configuration " + configPath);
    std::vector<std::pair<std::string, Section>> sections;
    std::string line, pending;
    while (std::getline(in, line)) {
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
            sections.emplace_back(Trim(line.substr(1, close - 1)), Section{});
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos || sections.empty()) continue;
        sections.back().second[Key(line.substr(0, equals))] = Trim(line.substr(equals + 1));
    }
    return sections;
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

std::vector<SambaShare> ReadSambaShares(const std::string& configPath, bool onlyAclXattr) {
    auto sections = Parse(configPath);
    Section global;
    for (const auto& [name, values] : sections) {
        if (Key(name) == "global") {
            for (const auto& [k, v] : values) global[k] = v;
        }
    }
    std::vector<SambaShare> shares;
    for (const auto& [name, values] : sections) {
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
        auto path = value("path");
        if (!path || path->empty() || (*path)[0] != '/' || path->find('%') != std::string::npos) continue;
        if (onlyAclXattr && !ListsAclXattr(value("vfs objects").value_or(""))) continue;
        SambaShare share;
        share.name = name;
        share.path = WithoutTrailingSlash(*path);
        share.attributeName = value("acl_xattr:security_acl_name").value_or("security.NTACL");
        share.ignoreSystemAcls = Boolean(value("acl_xattr:ignore system acls").value_or("no"), false);
        shares.push_back(std::move(share));
    }
    return shares;
}

SambaIdentity ReadSambaIdentity(const std::string& configPath) {
    SambaIdentity identity;
    for (const auto& [name, values] : Parse(configPath)) {
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
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        identity.netbiosName = std::string(host).substr(0, std::string(host).find('.')).substr(0, 15);
    }
    identity.netbiosName = upper(identity.netbiosName);
    identity.workgroup = upper(identity.workgroup.empty() ? "WORKGROUP" : identity.workgroup);
    if (identity.stateDirectory.empty()) identity.stateDirectory = "/var/lib/samba";
    return identity;
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

std::optional<SambaShare> SambaShareHolding(const std::string& directory) {
    const std::string configPath = SambaConfigurationPath();
    if (configPath.empty()) return std::nullopt;
    // Parsed again only when the file changes.
    static std::mutex cacheLock;
    static std::string cachedPath;
    static struct timespec cachedTime {};
    static std::vector<SambaShare> cachedShares;
    struct stat status {};
    if (::stat(configPath.c_str(), &status) != 0) return std::nullopt;
    std::vector<SambaShare> shares;
    {
        std::lock_guard guard(cacheLock);
        if (cachedPath != configPath || cachedTime.tv_sec != status.st_mtim.tv_sec ||
            cachedTime.tv_nsec != status.st_mtim.tv_nsec) {
            try {
                cachedShares = ReadSambaShares(configPath, true);
            } catch (const std::exception&) {
                cachedShares.clear();
            }
            cachedPath = configPath;
            cachedTime = status.st_mtim;
        }
        shares = cachedShares;
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
