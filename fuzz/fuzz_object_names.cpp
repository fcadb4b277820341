// Hostile object and account names against the simulated computer: every
// lookup must answer with an error code, never crash or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace {

void OpenScratchNetwork() {
    static bool opened = [] {
        std::string folder = (std::filesystem::temp_directory_path() / "tavrik-fuzz-names").string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        winapi::machine::OpenMachine(folder + "/machine.db");
        winapi::machine::InitializeDefaultComputer(L"FUZZ", folder + "/c");
        winapi::machine::AddKey(L"FUZZ", L"MACHINE\\SOFTWARE\\Fuzz\\Deeper");
        return true;
    }();
    (void)opened;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    OpenScratchNetwork();
    // Two bytes per character, so any code unit can appear.
    std::wstring name;
    for (size_t i = 0; i + 1 < size && name.size() < 600; i += 2)
        name.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));

    for (SE_OBJECT_TYPE type : {SE_REGISTRY_KEY, SE_SERVICE, SE_PRINTER, SE_LMSHARE}) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        PACL dacl = nullptr;
        if (GetNamedSecurityInfoW(name.c_str(), type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                  &sd) == ERROR_SUCCESS)
            LocalFree(sd);
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, name.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) RegCloseKey(key);
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid, domainSize = 64;
    wchar_t domain[64];
    SID_NAME_USE use;
    LookupAccountNameW(nullptr, name.c_str(), sid, &sidSize, domain, &domainSize, &use);
    LUID luid;
    LookupPrivilegeValueW(nullptr, name.c_str(), &luid);
    return 0;
}
