// Networking and directory services of the Win32 API (mpr, netapi32),
// over the simulated network.
#pragma once

#include "winapi/types.h"

// ---- mapped network drives (mpr) ------------------------------------------------
#define RESOURCE_CONNECTED 0x00000001u
#define RESOURCE_GLOBALNET 0x00000002u
#define RESOURCE_REMEMBERED 0x00000003u
#define RESOURCETYPE_ANY 0x00000000u
#define RESOURCETYPE_DISK 0x00000001u
#define RESOURCETYPE_PRINT 0x00000002u
#define RESOURCEDISPLAYTYPE_GENERIC 0x00000000u
#define RESOURCEDISPLAYTYPE_SHARE 0x00000003u
#define RESOURCEUSAGE_CONNECTABLE 0x00000001u

typedef struct _NETRESOURCEW {
    DWORD dwScope;
    DWORD dwType;
    DWORD dwDisplayType;
    DWORD dwUsage;
    LPWSTR lpLocalName;
    LPWSTR lpRemoteName;
    LPWSTR lpComment;
    LPWSTR lpProvider;
} NETRESOURCEW, *LPNETRESOURCEW;

DWORD WNetOpenEnumW(DWORD dwScope, DWORD dwType, DWORD dwUsage, LPNETRESOURCEW lpNetResource, LPHANDLE lphEnum);
DWORD WNetEnumResourceW(HANDLE hEnum, LPDWORD lpcCount, LPVOID lpBuffer, LPDWORD lpBufferSize);
DWORD WNetCloseEnum(HANDLE hEnum);

// ---- domain controllers and roles (netapi32) -------------------------------------
#define DS_RETURN_DNS_NAME 0x40000000u
#define DS_RETURN_FLAT_NAME 0x80000000u

typedef struct _DOMAIN_CONTROLLER_INFOW {
    LPWSTR DomainControllerName;
    LPWSTR DomainControllerAddress;
    ULONG DomainControllerAddressType;
    GUID DomainGuid;
    LPWSTR DomainName;
    LPWSTR DnsForestName;
    ULONG Flags;
    LPWSTR DcSiteName;
    LPWSTR ClientSiteName;
} DOMAIN_CONTROLLER_INFOW, *PDOMAIN_CONTROLLER_INFOW;

#define DS_INET_ADDRESS 1
#define DS_NETBIOS_ADDRESS 2

DWORD DsGetDcNameW(LPCWSTR ComputerName, LPCWSTR DomainName, GUID* DomainGuid, LPCWSTR SiteName, ULONG Flags,
                   PDOMAIN_CONTROLLER_INFOW* DomainControllerInfo);
NET_API_STATUS NetApiBufferFree(LPVOID Buffer);

typedef enum _DSROLE_MACHINE_ROLE {
    DsRole_RoleStandaloneWorkstation,
    DsRole_RoleMemberWorkstation,
    DsRole_RoleStandaloneServer,
    DsRole_RoleMemberServer,
    DsRole_RoleBackupDomainController,
    DsRole_RolePrimaryDomainController
} DSROLE_MACHINE_ROLE;

typedef enum _DSROLE_PRIMARY_DOMAIN_INFO_LEVEL {
    DsRolePrimaryDomainInfoBasic = 1,
    DsRoleUpgradeStatus,
    DsRoleOperationState
} DSROLE_PRIMARY_DOMAIN_INFO_LEVEL;

typedef struct _DSROLE_PRIMARY_DOMAIN_INFO_BASIC {
    DSROLE_MACHINE_ROLE MachineRole;
    ULONG Flags;
    LPWSTR DomainNameFlat;
    LPWSTR DomainNameDns;
    LPWSTR DomainForestName;
    GUID DomainGuid;
} DSROLE_PRIMARY_DOMAIN_INFO_BASIC, *PDSROLE_PRIMARY_DOMAIN_INFO_BASIC;

DWORD DsRoleGetPrimaryDomainInformation(LPCWSTR lpServer, DSROLE_PRIMARY_DOMAIN_INFO_LEVEL InfoLevel,
                                        PBYTE* Buffer);
void DsRoleFreeMemory(PVOID Buffer);
