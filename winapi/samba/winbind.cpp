#include "winapi/samba/winbind.h"

// The header declares C functions without extern "C".
extern "C" {
#include <wbclient.h>
}

#include <string>
#include <vector>

#include "winapi/samba/samba_config.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

bool ToWinbind(const Bytes& sid, wbcDomainSid* out) {
    if (sid.size() < 8 || sid[0] != 1 || sid[1] > WBC_MAXSUBAUTHS || sid.size() != 8u + 4u * sid[1]) return false;
    *out = {};
    out->sid_rev_num = sid[0];
    out->num_auths = static_cast<uint8_t>(sid[1]);
    for (int i = 0; i < 6; ++i) out->id_auth[i] = sid[2 + i];
    for (int i = 0; i < sid[1]; ++i) {
        const BYTE* p = sid.data() + 8 + 4 * i;
        out->sub_auths[i] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                            static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    return true;
}

Bytes FromWinbind(const wbcDomainSid& sid) {
    Bytes out{sid.sid_rev_num, sid.num_auths};
    for (int i = 0; i < 6; ++i) out.push_back(sid.id_auth[i]);
    for (int i = 0; i < sid.num_auths; ++i) {
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<BYTE>(sid.sub_auths[i] >> (8 * b)));
    }
    return out;
}

// winbind's name types are SID_NAME_USE's numbers; an unknown, deleted or
// invalid account is no answer.
std::optional<SID_NAME_USE> Use(wbcSidType type) {
    switch (type) {
        case WBC_SID_NAME_USER:
        case WBC_SID_NAME_DOM_GRP:
        case WBC_SID_NAME_DOMAIN:
        case WBC_SID_NAME_ALIAS:
        case WBC_SID_NAME_WKN_GRP:
        case WBC_SID_NAME_COMPUTER:
        case WBC_SID_NAME_LABEL: return static_cast<SID_NAME_USE>(type);
        default: return std::nullopt;
    }
}

// winbindd's own domain, where a bare name is looked up first (as wbinfo does).
std::string OwnDomain() {
    struct wbcInterfaceDetails* details = nullptr;
    if (!WBC_ERROR_IS_OK(wbcInterfaceDetails(&details)) || !details) return {};
    std::string domain = details->netbios_domain ? details->netbios_domain : "";
    wbcFreeMemory(details);
    return domain;
}

}  // namespace

std::optional<ResolvedAccount> WinbindAccountByName(std::wstring_view name) {
    std::vector<std::string> domains;
    std::wstring account(name);
    if (size_t slash = name.find(L'\\'); slash != std::wstring_view::npos) {
        domains.push_back(ToUtf8(name.substr(0, slash)));
        account = std::wstring(name.substr(slash + 1));
    } else {
        std::string own = OwnDomain();
        if (own.empty()) return std::nullopt;  // no winbindd
        domains = {own, "BUILTIN", ""};
    }
    if (account.empty()) return std::nullopt;
    wbcDomainSid sid{};
    wbcSidType type = WBC_SID_NAME_USE_NONE;
    bool found = false;
    std::string domain;
    for (const std::string& candidate : domains) {
        if (WBC_ERROR_IS_OK(wbcLookupName(candidate.c_str(), ToUtf8(account).c_str(), &sid, &type))) {
            found = true;
            domain = candidate;
            break;
        }
    }
    if (!found) return std::nullopt;
    // The canonical spelling is the one the SID looks up to.
    if (auto canonical = WinbindAccountBySid(FromWinbind(sid))) return canonical;
    auto use = Use(type);
    if (!use) return std::nullopt;
    return ResolvedAccount{FromUtf8(domain), account, FromWinbind(sid), *use};
}

std::optional<ResolvedAccount> WinbindAccountBySid(const Bytes& sid) {
    wbcDomainSid asked{};
    if (!ToWinbind(sid, &asked)) return std::nullopt;
    char* domain = nullptr;
    char* name = nullptr;
    wbcSidType type = WBC_SID_NAME_USE_NONE;
    if (!WBC_ERROR_IS_OK(wbcLookupSid(&asked, &domain, &name, &type))) return std::nullopt;
    std::optional<ResolvedAccount> found;
    if (auto use = Use(type)) found = ResolvedAccount{FromUtf8(domain ? domain : ""), FromUtf8(name ? name : ""), sid, *use};
    wbcFreeMemory(domain);
    wbcFreeMemory(name);
    return found;
}

std::optional<WinbindId> WinbindUnixIdOfSid(const Bytes& sid) {
    wbcDomainSid asked{};
    wbcUnixId id{};
    if (!ToWinbind(sid, &asked) || !WBC_ERROR_IS_OK(wbcSidsToUnixIds(&asked, 1, &id))) return std::nullopt;
    switch (id.type) {
        case WBC_ID_TYPE_UID: return WinbindId{WinbindIdKind::Uid, static_cast<unsigned int>(id.id.uid)};
        case WBC_ID_TYPE_GID: return WinbindId{WinbindIdKind::Gid, static_cast<unsigned int>(id.id.gid)};
        case WBC_ID_TYPE_BOTH: return WinbindId{WinbindIdKind::Both, static_cast<unsigned int>(id.id.uid)};
        default: return std::nullopt;
    }
}

std::optional<Bytes> WinbindSidOfUnixId(bool group, unsigned int id) {
    wbcDomainSid found{};
    const wbcErr error = group ? wbcGidToSid(static_cast<gid_t>(id), &found) : wbcUidToSid(static_cast<uid_t>(id), &found);
    if (!WBC_ERROR_IS_OK(error)) return std::nullopt;
    return FromWinbind(found);
}

std::optional<Bytes> WinbindOwnDomainSid() {
    const std::string own = OwnDomain();
    if (own.empty()) return std::nullopt;
    // The domain's own name looks up to the domain SID.
    wbcDomainSid sid{};
    wbcSidType type = WBC_SID_NAME_USE_NONE;
    if (WBC_ERROR_IS_OK(wbcLookupName(own.c_str(), "", &sid, &type)) && type == WBC_SID_NAME_DOMAIN) {
        return FromWinbind(sid);
    }
    struct wbcDomainInfo* info = nullptr;
    if (!WBC_ERROR_IS_OK(wbcDomainInfo(own.c_str(), &info)) || !info) return std::nullopt;
    Bytes found = FromWinbind(info->sid);
    wbcFreeMemory(info);
    return found;
}

bool WinbindSpeaksForLocalComputer() { return !SambaConfigurationPath().empty(); }

}  // namespace winapi::machine
