// The job's object: its name, its type and the computer that holds it.
#include "objects/object_name.h"

#include <algorithm>
#include <vector>

#include "engine/tavrik.h"
#include "engine/text.h"

namespace tavrik {

std::wstring ToLongPath(const std::wstring& name) {
    if (name.rfind(L"\\\\?\\", 0) == 0) return name;
    if (name.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC" + name.substr(1);
    return L"\\\\?\\" + name;
}

std::wstring FromLongPath(const std::wstring& name) {
    if (StartsWithNoCase(name, L"\\\\?\\UNC\\")) return L"\\\\" + name.substr(8);
    if (name.rfind(L"\\\\?\\", 0) == 0) return name.substr(4);
    return name;
}

std::wstring ServerOfUncName(const std::wstring& name) {
    if (name.rfind(L"\\\\", 0) != 0) return std::wstring();
    const size_t end = name.find(L'\\', 2);
    if (end == std::wstring::npos) return std::wstring();
    return name.substr(2, end - 2);
}

}  // namespace tavrik

namespace {

// The remote name (\\server\share) of a connected network drive whose
// letter begins `name`, or `name` itself when none is connected.
std::wstring ResolveMappedDrive(const std::wstring& name) {
    std::wstring working = name;
    HANDLE enumeration = nullptr;
    if (WNetOpenEnumW(RESOURCE_CONNECTED, RESOURCETYPE_DISK, 0, nullptr, &enumeration) != NO_ERROR) return working;

    constexpr DWORD kBufferSize = 0x4000;
    // NETRESOURCEW records hold pointers: keep the buffer aligned for them.
    std::vector<NETRESOURCEW> buffer(kBufferSize / sizeof(NETRESOURCEW) + 1);
    const std::wstring drive = name.substr(0, 2);
    for (;;) {
        DWORD count = 1;
        DWORD size = kBufferSize;
        std::fill(buffer.begin(), buffer.end(), NETRESOURCEW{});
        if (WNetEnumResourceW(enumeration, &count, buffer.data(), &size) != NO_ERROR) break;
        for (DWORD i = 0; i < count && i < buffer.size(); ++i) {
            const NETRESOURCEW& resource = buffer[i];
            if (resource.lpLocalName && resource.lpRemoteName &&
                tavrik::EqualsNoCase(drive, resource.lpLocalName)) {
                working = resource.lpRemoteName;
            }
        }
    }
    WNetCloseEnum(enumeration);
    return working;
}

}  // namespace

DWORD CTavrik::SetObject(std::wstring name, DWORD type) {
    // An embedded NUL would make every Windows call see a shorter name, and
    // so another object.
    if (name.empty() || name.find(L'\0') != std::wstring::npos || type < SE_FILE_OBJECT || type > SE_LMSHARE) {
        m_objectName.clear();
        m_objectType = 0;
        return RTN_ERR_PARAMETER;
    }
    m_objectName = name;
    m_objectType = type;
    m_serverName.clear();

    // Names already in long form name their computer the ordinary way.
    std::wstring working = tavrik::FromLongPath(name);
    if (type == SE_FILE_OBJECT && working.size() >= 2 && working[1] == L':') working = ResolveMappedDrive(working);
    m_serverName = tavrik::ServerOfUncName(working);
    return RTN_OK;
}
