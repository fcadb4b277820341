// Hostile object and account names against the simulated computer: every
// lookup must answer with an error code, never crash or read out of bounds,
// and no file name may lead out of its drive.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "winapi/machine/admin.h"
#include "winapi/win32.h"

namespace {

// The trustee of the only entry of a file outside every drive: a file name
// that reaches it has led the resolution out of its drive.
constexpr wchar_t kOutsideMark[] = L"S-1-5-21-7-7-7-4242";

void OpenScratchNetwork() {
    static bool opened = [] {
        namespace fs = std::filesystem;
        std::string folder = (fs::temp_directory_path() / "tavrik-fuzz-names").string();
        fs::remove_all(folder);
        fs::create_directories(folder + "/c/Dir/Sub");
        fs::create_directories(folder + "/outside");
        fs::create_directories(folder + "/elsewhere");
        std::ofstream(folder + "/c/Dir/Sub/file.txt") << "x";
        std::ofstream(folder + "/outside/secret") << "x";
        fs::create_directory_symlink("Dir", folder + "/c/in");
        fs::create_directory_symlink(folder + "/outside", folder + "/c/out");
        fs::create_directory_symlink("../../outside", folder + "/c/Dir/up");
        winapi::machine::OpenMachine(folder + "/machine.db");
        winapi::machine::InitializeDefaultComputer(L"FUZZ", folder + "/c");
        winapi::machine::AddKey(L"FUZZ", L"MACHINE\\SOFTWARE\\Fuzz\\Deeper");
        // Mark the outside file through a drive, then point the drive away.
        winapi::machine::MapDrive(L"FUZZ", L'D', folder + "/outside");
        PSECURITY_DESCRIPTOR marked = nullptr;
        std::wstring markedSddl = std::wstring(L"D:(A;;FA;;;") + kOutsideMark + L")";
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(markedSddl.c_str(), SDDL_REVISION_1, &marked,
                                                                  nullptr))
            std::abort();
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(marked, &present, &dacl, &defaulted);
        std::wstring secret = L"D:\\secret";
        if (SetNamedSecurityInfoW(secret.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                  nullptr) != ERROR_SUCCESS)
            std::abort();
        LocalFree(marked);
        winapi::machine::MapDrive(L"FUZZ", L'D', folder + "/elsewhere");
        return true;
    }();
    (void)opened;
}

// A file name never reaches the file outside the drives.
void CheckFileStaysInsideItsDrive(const std::wstring& name) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
        return;
    LPWSTR text = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                             nullptr)) {
        if (std::wstring(text).find(kOutsideMark) != std::wstring::npos) std::abort();
        LocalFree(text);
    }
    LocalFree(sd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    OpenScratchNetwork();
    // Two bytes per character, so any code unit can appear.
    std::wstring name;
    for (size_t i = 0; i + 1 < size && name.size() < 600; i += 2)
        name.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));

    CheckFileStaysInsideItsDrive(name);
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
