// What a Samba server's smb.conf says about the directories it shares, for
// the drives and shares of the local computer that lie in them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winapi::machine {

// A share of smb.conf with the acl_xattr module: descriptors there are
// written and read as smbd writes and reads them.
// acl_xattr:default acl style: the descriptor smbd makes up for a file
// without an attribute when it ignores the POSIX ACLs.
enum class DefaultAclStyle { Posix, Windows, Everyone };

struct SambaShare {
    std::string name;             // as smb.conf spells it
    std::string path;             // absolute, substituted, without trailing slash
    std::string attributeName;    // acl_xattr:security_acl_name (security.NTACL)
    bool ignoreSystemAcls = false;  // acl_xattr:ignore system acls
    bool mapAclInherit = false;     // map acl inherit: flags kept in user.SAMBA_PAI
    DefaultAclStyle defaultAclStyle = DefaultAclStyle::Posix;
};

// Every file share of the configuration (printers and [global] left out),
// with [global]'s values where the share sets none, `include =` files
// read where they stand. Throws std::runtime_error naming the file when it
// cannot be read. Shares left out for a reason the administrator should
// know (a path that depends on the connecting client) get a sentence in
// `notes`.
std::vector<SambaShare> ReadSambaShares(const std::string& configPath, bool onlyAclXattr,
                                        std::vector<std::string>* notes = nullptr);

// [global]'s "netbios name" (default: the host name, upper case, up to the
// first dot, at most 15 characters) and "workgroup" (default WORKGROUP).
struct SambaIdentity {
    std::string netbiosName;
    std::string workgroup;
    std::string stateDirectory;  // "state directory", by default /var/lib/samba
};
SambaIdentity ReadSambaIdentity(const std::string& configPath);

// The acl_xattr share of the configuration recorded for the local
// computer whose path holds `directory`, the innermost one when shares
// nest; nullopt when none is recorded or none holds it.
std::optional<SambaShare> SambaShareHolding(const std::string& directory);

// A number that moves whenever the shares SambaShareHolding finds in
// `configPath` may have changed (its files are looked at as that function
// looks at them: at most once a second); 0 for no configuration.
uint64_t SambaSharesGeneration(const std::string& configPath);

// The smb.conf recorded for the local computer ("" when none).
std::string SambaConfigurationPath();
// Records `configPath` (checked to be readable); "" forgets it.
void SetSambaConfiguration(const std::string& configPath);

}  // namespace winapi::machine
