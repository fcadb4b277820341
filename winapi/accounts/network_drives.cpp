// WNetOpenEnumW, WNetEnumResourceW, WNetCloseEnum over the local
// computer's mapped network drives.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "winapi/base/handles.h"
#include "winapi/machine/inventory.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

using namespace winapi::machine;

namespace {

const wchar_t* const kProvider = L"Microsoft Windows Network";

struct MappedDrive {
    std::wstring local;
    std::wstring remote;
};

class NetworkEnumeration : public winapi::HandleObject {
public:
    DWORD scope = RESOURCE_CONNECTED;
    std::vector<MappedDrive> drives;
    size_t next = 0;
};

size_t TextBytes(const std::wstring& text) { return (text.size() + 1) * sizeof(wchar_t); }

size_t EntryBytes(const MappedDrive& drive) {
    return sizeof(NETRESOURCEW) + TextBytes(drive.local) + TextBytes(drive.remote) + TextBytes(kProvider);
}

}  // namespace

DWORD WNetOpenEnumW(DWORD dwScope, DWORD dwType, DWORD /*dwUsage*/, LPNETRESOURCEW lpNetResource, LPHANDLE lphEnum) {
    if (lphEnum == nullptr) return ERROR_INVALID_PARAMETER;
    *lphEnum = nullptr;
    if (dwScope != RESOURCE_CONNECTED && dwScope != RESOURCE_REMEMBERED && dwScope != RESOURCE_GLOBALNET)
        return ERROR_INVALID_PARAMETER;
    // Browsing the network itself is beyond the simulated computer.
    if (dwScope == RESOURCE_GLOBALNET || lpNetResource != nullptr) return ERROR_NOT_SUPPORTED;
    if (dwType != RESOURCETYPE_ANY && dwType != RESOURCETYPE_DISK && dwType != RESOURCETYPE_PRINT)
        return ERROR_INVALID_PARAMETER;
    return GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("WNetOpenEnumW")) return fault;
        auto enumeration = std::make_unique<NetworkEnumeration>();
        enumeration->scope = dwScope;
        if (dwType != RESOURCETYPE_PRINT)
            for (const auto& drive : Drives())
                if (!drive.remote.empty())
                    enumeration->drives.push_back({std::wstring(1, drive.letter) + L":", drive.remote});
        *lphEnum = winapi::RegisterHandle(std::move(enumeration));
        return NO_ERROR;
    });
}

DWORD WNetEnumResourceW(HANDLE hEnum, LPDWORD lpcCount, LPVOID lpBuffer, LPDWORD lpBufferSize) {
    auto* enumeration = winapi::LookupHandleAs<NetworkEnumeration>(hEnum);
    if (enumeration == nullptr) return ERROR_INVALID_HANDLE;
    if (lpcCount == nullptr || lpBufferSize == nullptr) return ERROR_INVALID_PARAMETER;
    if (enumeration->next >= enumeration->drives.size()) {
        *lpcCount = 0;
        return ERROR_NO_MORE_ITEMS;
    }
    if (lpBuffer == nullptr && *lpBufferSize != 0) return ERROR_INVALID_PARAMETER;
    // Structures go to the front of the buffer, their strings to the back.
    size_t wanted = *lpcCount == 0 ? 0 : *lpcCount;
    size_t capacity = *lpBufferSize;
    size_t used = 0;
    size_t count = 0;
    while (count < wanted && enumeration->next + count < enumeration->drives.size()) {
        size_t bytes = EntryBytes(enumeration->drives[enumeration->next + count]);
        if (used + bytes > capacity) break;
        used += bytes;
        ++count;
    }
    if (count == 0) {
        *lpBufferSize = static_cast<DWORD>(EntryBytes(enumeration->drives[enumeration->next]));
        return ERROR_MORE_DATA;
    }
    BYTE* base = static_cast<BYTE*>(lpBuffer);
    size_t stringsAt = capacity;
    auto place = [&](const std::wstring& text) {
        stringsAt -= TextBytes(text);
        std::memcpy(base + stringsAt, text.c_str(), TextBytes(text));
        return reinterpret_cast<LPWSTR>(base + stringsAt);
    };
    for (size_t i = 0; i < count; ++i) {
        const MappedDrive& drive = enumeration->drives[enumeration->next + i];
        NETRESOURCEW resource{};
        resource.dwScope = enumeration->scope;
        resource.dwType = RESOURCETYPE_DISK;
        resource.dwDisplayType = RESOURCEDISPLAYTYPE_SHARE;
        resource.dwUsage = RESOURCEUSAGE_CONNECTABLE;
        resource.lpLocalName = place(drive.local);
        resource.lpRemoteName = place(drive.remote);
        resource.lpComment = nullptr;
        resource.lpProvider = place(kProvider);
        std::memcpy(base + i * sizeof(NETRESOURCEW), &resource, sizeof resource);
    }
    enumeration->next += count;
    *lpcCount = static_cast<DWORD>(count);
    return NO_ERROR;
}

DWORD WNetCloseEnum(HANDLE hEnum) {
    if (winapi::LookupHandleAs<NetworkEnumeration>(hEnum) == nullptr) return ERROR_INVALID_HANDLE;
    winapi::ReleaseHandle(hEnum);
    return NO_ERROR;
}
