// Domain controllers and machine roles (DsGetDcNameW,
// DsRoleGetPrimaryDomainInformation) over the simulated network. The
// returned blocks are single allocations holding their strings, as
// Windows' are, so one free releases everything.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "winapi/machine/machine.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

using namespace winapi::machine;

namespace {

// Lays out a structure followed by its strings in one malloc block.
class PackedBlock {
public:
    explicit PackedBlock(size_t headerSize) : headerSize_(headerSize) {}
    // Reserves a string; returns its offset from the start of the block.
    size_t Add(const std::wstring& text) {
        size_t offset = headerSize_ + strings_.size() * sizeof(wchar_t);
        strings_.insert(strings_.end(), text.begin(), text.end());
        strings_.push_back(L'\0');
        return offset;
    }
    BYTE* Allocate() const {
        size_t size = headerSize_ + strings_.size() * sizeof(wchar_t);
        BYTE* block = static_cast<BYTE*>(std::calloc(1, size));
        if (block != nullptr && !strings_.empty())
            std::memcpy(block + headerSize_, strings_.data(), strings_.size() * sizeof(wchar_t));
        return block;
    }

private:
    size_t headerSize_;
    std::vector<wchar_t> strings_;
};

LPWSTR At(BYTE* block, size_t offset) { return reinterpret_cast<LPWSTR>(block + offset); }

}  // namespace

DWORD DsGetDcNameW(LPCWSTR ComputerName, LPCWSTR DomainName, GUID* /*DomainGuid*/, LPCWSTR /*SiteName*/, ULONG Flags,
                   PDOMAIN_CONTROLLER_INFOW* DomainControllerInfo) {
    if (DomainControllerInfo == nullptr) return ERROR_INVALID_PARAMETER;
    *DomainControllerInfo = nullptr;
    if ((Flags & DS_RETURN_FLAT_NAME) && (Flags & DS_RETURN_DNS_NAME)) return ERROR_INVALID_FLAGS;
    return GuardedCall([&]() -> DWORD {
        std::wstring requested = DomainName == nullptr ? std::wstring() : std::wstring(DomainName);
        if (DWORD fault = InjectedFailure("DsGetDcNameW", requested)) return fault;
        auto from = FindComputerRecord(ComputerName == nullptr ? std::wstring_view() : ComputerName);
        if (!from || !from->reachable) return RPC_S_SERVER_UNAVAILABLE;
        if (requested.empty()) requested = from->domain;
        auto domain = FindDomainRecord(requested);
        if (!domain) return ERROR_NO_SUCH_DOMAIN;
        auto controller = FindComputerRecord(domain->controller);
        // A domain whose controller cannot be reached has no controller to offer.
        if (domain->controller.empty() || !controller || !controller->reachable) return ERROR_NO_SUCH_DOMAIN;
        bool dns = (Flags & DS_RETURN_DNS_NAME) != 0;
        PackedBlock packed(sizeof(DOMAIN_CONTROLLER_INFOW));
        size_t name = packed.Add(L"\\\\" + (dns ? controller->name + L"." + domain->dnsName : controller->name));
        size_t address = packed.Add(L"\\\\" + controller->name);
        size_t domainName = packed.Add(dns ? domain->dnsName : domain->flatName);
        size_t forest = packed.Add(domain->dnsName);
        size_t site = packed.Add(L"Default-First-Site-Name");
        BYTE* block = packed.Allocate();
        if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        auto* info = reinterpret_cast<DOMAIN_CONTROLLER_INFOW*>(block);
        info->DomainControllerName = At(block, name);
        info->DomainControllerAddress = At(block, address);
        info->DomainControllerAddressType = DS_NETBIOS_ADDRESS;
        info->DomainName = At(block, domainName);
        info->DnsForestName = At(block, forest);
        info->DcSiteName = At(block, site);
        info->ClientSiteName = At(block, site);
        *DomainControllerInfo = info;
        return ERROR_SUCCESS;
    });
}

NET_API_STATUS NetApiBufferFree(LPVOID Buffer) {
    std::free(Buffer);
    return NERR_Success;
}

DWORD DsRoleGetPrimaryDomainInformation(LPCWSTR lpServer, DSROLE_PRIMARY_DOMAIN_INFO_LEVEL InfoLevel, PBYTE* Buffer) {
    if (Buffer == nullptr) return ERROR_INVALID_PARAMETER;
    *Buffer = nullptr;
    if (InfoLevel != DsRolePrimaryDomainInfoBasic) return ERROR_INVALID_PARAMETER;
    return GuardedCall([&]() -> DWORD {
        std::wstring server = lpServer == nullptr ? std::wstring() : std::wstring(lpServer);
        if (DWORD fault = InjectedFailure("DsRoleGetPrimaryDomainInformation", server)) return fault;
        auto computer = FindComputerRecord(server);
        if (!computer || !computer->reachable) return RPC_S_SERVER_UNAVAILABLE;
        auto domain = FindDomainRecord(computer->domain);
        PackedBlock packed(sizeof(DSROLE_PRIMARY_DOMAIN_INFO_BASIC));
        // A computer outside any domain reports its workgroup as flat name.
        size_t flat = packed.Add(domain ? domain->flatName : (computer->domain.empty() ? L"WORKGROUP" : computer->domain));
        size_t dnsName = domain ? packed.Add(domain->dnsName) : 0;
        size_t forest = domain ? packed.Add(domain->dnsName) : 0;
        BYTE* block = packed.Allocate();
        if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
        auto* info = reinterpret_cast<DSROLE_PRIMARY_DOMAIN_INFO_BASIC*>(block);
        info->MachineRole = static_cast<DSROLE_MACHINE_ROLE>(computer->role);
        info->DomainNameFlat = At(block, flat);
        info->DomainNameDns = domain ? At(block, dnsName) : nullptr;
        info->DomainForestName = domain ? At(block, forest) : nullptr;
        *Buffer = block;
        return ERROR_SUCCESS;
    });
}

void DsRoleFreeMemory(PVOID Buffer) { std::free(Buffer); }
