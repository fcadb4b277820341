// Registry figures of the simulated computer: building a key tree, walking
// it with RegEnumKeyExW, reading descriptors by name, and a DACL change at
// the top that propagates to every key, then one that changes nothing below.
//   bench_registry_keys [FANOUT] [DEPTH]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "winapi/machine/admin.h"
#include "winapi/machine/process_token.h"
#include "winapi/win32.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Build(HKEY parent, int fanout, int depth, std::vector<std::wstring>& names, const std::wstring& path) {
    if (depth == 0) return;
    for (int i = 0; i < fanout; ++i) {
        std::wstring name = L"Key" + std::to_wstring(i);
        HKEY child = nullptr;
        if (RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr) != 0) {
            std::fprintf(stderr, "RegCreateKeyExW failed\n");
            std::exit(1);
        }
        names.push_back(path + L"\\" + name);
        Build(child, fanout, depth - 1, names, path + L"\\" + name);
        RegCloseKey(child);
    }
}

size_t Walk(HKEY key) {
    size_t count = 1;
    for (DWORD index = 0;; ++index) {
        wchar_t name[512];
        DWORD length = 512;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
        count += Walk(child);
        RegCloseKey(child);
    }
    return count;
}

DWORD WriteDacl(const wchar_t* path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    std::wstring name(path);
    DWORD error = SetNamedSecurityInfoW(name.data(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        dacl, nullptr);
    LocalFree(sd);
    return error;
}

}  // namespace

int main(int argc, char** argv) {
    int fanout = argc > 1 ? std::atoi(argv[1]) : 8;
    int depth = argc > 2 ? std::atoi(argv[2]) : 4;
    std::string folder = (std::filesystem::temp_directory_path() / "tavrik-bench-registry").string();
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    winapi::machine::OpenMachine(folder + "/machine.db");
    winapi::machine::InitializeDefaultComputer(L"BENCH", folder + "/c");
    winapi::machine::ScopedCallerIdentity root(0, 0);
    winapi::machine::AddKey(L"BENCH", L"MACHINE\\SOFTWARE\\Bench", L"O:BAG:SYD:PAI(A;CI;KA;;;BA)");

    HKEY top = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Bench", 0, KEY_ALL_ACCESS, &top);
    std::vector<std::wstring> names;
    auto start = Clock::now();
    Build(top, fanout, depth, names, L"MACHINE\\SOFTWARE\\Bench");
    double build = Seconds(start);

    start = Clock::now();
    size_t walked = Walk(top);
    double walk = Seconds(start);
    RegCloseKey(top);

    start = Clock::now();
    for (const auto& name : names) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        GetNamedSecurityInfoW(name.c_str(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd);
        LocalFree(sd);
    }
    double reads = Seconds(start);

    start = Clock::now();
    DWORD error = WriteDacl(L"MACHINE\\SOFTWARE\\Bench", L"D:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
    double propagate = Seconds(start);
    // Only an ACE without inheritance flags changes: nothing below is visited.
    start = Clock::now();
    DWORD error2 = WriteDacl(L"MACHINE\\SOFTWARE\\Bench", L"D:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)(A;;KR;;;WD)");
    double local = Seconds(start);

    std::printf("keys: %zu (fanout %d, depth %d)\n", names.size(), fanout, depth);
    std::printf("create:            %8.3f s  %10.0f keys/s\n", build, names.size() / build);
    std::printf("walk (enum+open):  %8.3f s  %10.0f keys/s (%zu keys)\n", walk, walked / walk, walked);
    std::printf("read by name:      %8.3f s  %10.0f keys/s\n", reads, names.size() / reads);
    std::printf("propagating write: %8.3f s  %10.0f keys/s (error %u)\n", propagate, names.size() / propagate, error);
    std::printf("top-only write:    %8.3f s  (error %u)\n", local, error2);
    winapi::machine::CloseMachine();
    std::filesystem::remove_all(folder);
    return error == ERROR_SUCCESS && error2 == ERROR_SUCCESS ? 0 : 1;
}
