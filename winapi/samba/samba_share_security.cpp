#include "winapi/samba/samba_share_security.h"

#include <fcntl.h>
#include <tdb.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "winapi/files/ntacl.h"
#include "winapi/samba/samba_ntacl.h"
#include "winapi/samba/samba_config.h"
#include "winapi/machine/text.h"
#include "winapi/security/descriptor_parts.h"
#include "winapi/win32.h"

namespace winapi::machine {
namespace {

constexpr int kShareDatabaseVersion = 3;

struct Place {
    std::string database;
    std::string key;  // with its terminating NUL, as Samba's string keys are stored
};

// The share's record, when the local computer is the server and smb.conf
// names the share.
std::optional<Place> PlaceOf(const std::wstring& share) {
    const std::string config = SambaConfigurationPath();
    if (config.empty()) return std::nullopt;
    std::string wanted = ToUtf8(share);
    std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const SambaShare& known : ReadSambaShares(config, false)) {
        std::string name = known.name;
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        if (name == wanted) {
            std::string key = "SECDESC/" + name;
            key.push_back('\0');
            return Place{ReadSambaIdentity(config).stateDirectory + "/share_info.tdb", key};
        }
    }
    return std::nullopt;
}

TDB_DATA Data(const std::string& text) {
    return TDB_DATA{reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())), text.size()};
}

// What smbd grants on a share nobody set a descriptor for.
Bytes DefaultShareDescriptor() {
    static const BYTE kEveryone[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    BYTE acl[8 + 8 + sizeof kEveryone] = {ACL_REVISION, 0, sizeof acl, 0, 1, 0, 0, 0,
                                          ACCESS_ALLOWED_ACE_TYPE, 0, 8 + sizeof kEveryone, 0, 0xFF, 0x01, 0x1F, 0};
    std::memcpy(acl + 16, kEveryone, sizeof kEveryone);
    return BuildSelfRelative(0, nullptr, nullptr, nullptr, reinterpret_cast<const ACL*>(acl));
}

}  // namespace

std::optional<Bytes> ReadSambaShareDescriptor(const std::wstring& share) {
    auto place = PlaceOf(share);
    if (!place) return std::nullopt;
    tdb_context* tdb = tdb_open(place->database.c_str(), 0, TDB_DEFAULT, O_RDONLY, 0);
    if (!tdb) return DefaultShareDescriptor();
    TDB_DATA value = tdb_fetch(tdb, Data(place->key));
    tdb_close(tdb);
    if (!value.dptr) return DefaultShareDescriptor();
    // The record is a bare marshalled descriptor: offsets from its start,
    // which is what a version-1 attribute holds after its 8-byte header.
    Bytes blob{0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00};
    blob.insert(blob.end(), value.dptr, value.dptr + value.dsize);
    std::free(value.dptr);
    for (size_t field : {4, 8, 12, 16}) {
        if (blob.size() < 8 + 20) break;
        BYTE* p = blob.data() + 8 + field;
        DWORD offset = static_cast<DWORD>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24);
        if (offset) offset += 8;
        for (int b = 0; b < 4; ++b) p[b] = static_cast<BYTE>(offset >> (8 * b));
    }
    Bytes sd;
    if (DecodeNtAcl(blob.data(), blob.size(), &sd) != ERROR_SUCCESS) return DefaultShareDescriptor();
    return sd;
}

bool WriteSambaShareDescriptor(const std::wstring& share, const Bytes& sd) {
    auto place = PlaceOf(share);
    if (!place) return false;
    tdb_context* tdb = tdb_open(place->database.c_str(), 0, TDB_DEFAULT, O_RDWR | O_CREAT, 0600);
    if (!tdb) throw std::runtime_error("cannot open " + place->database);
    std::string versionKey = "INFO/version";
    versionKey.push_back('\0');
    TDB_DATA version = tdb_fetch(tdb, Data(versionKey));
    if (version.dptr) {
        std::free(version.dptr);
    } else {
        const std::string value{static_cast<char>(kShareDatabaseVersion), 0, 0, 0};
        tdb_store(tdb, Data(versionKey), Data(value), TDB_REPLACE);
    }
    const Bytes marshalled = NdrDescriptor(sd);
    const std::string value(marshalled.begin(), marshalled.end());
    const int stored = tdb_store(tdb, Data(place->key), Data(value), TDB_REPLACE);
    tdb_close(tdb);
    if (stored != 0) throw std::runtime_error("cannot write " + place->database);
    return true;
}

}  // namespace winapi::machine
