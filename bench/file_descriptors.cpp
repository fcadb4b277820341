// Descriptors of a large file tree on a drive of the simulated computer,
// against the host's own tools over a tree of the same shape:
//   1. an inheritable ACE set on the tree's root and propagated to every
//      object (SetNamedSecurityInfoW) vs `setfacl -R -m`;
//   2. every descriptor read by name while the tree is enumerated with
//      FindFirstFileW/FindNextFileW (GetNamedSecurityInfoW) vs
//      `getfattr -R -d -m <attribute>`.
// Peak resident memory is printed after each step: it must stay flat as the
// tree grows (one directory stream per level, nothing kept per object).
//
// Usage: bench_file_descriptors [files [directories]]   (default 100000 1000)
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "winapi/machine/admin.h"
#include "winapi/machine/machine.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Processor time (user + system) of this process or of its finished
// children: on a shared machine it tells more than the wall clock.
double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void MakeTree(const std::string& root, long files, long directories) {
    fs::create_directories(root);
    long perDirectory = (files + directories - 1) / directories;
    long made = 0;
    for (long d = 0; d < directories; ++d) {
        std::string dir = root + "/dir" + std::to_string(d);
        fs::create_directory(dir);
        for (long f = 0; f < perDirectory && made < files; ++f, ++made) {
            std::ofstream(dir + "/file" + std::to_string(f) + ".txt") << "x";
        }
    }
}

// Reads the descriptor of every object below `path`, depth first.
long ReadAll(const std::wstring& path, long* failures) {
    long objects = 0;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
        ++*failures;
        return 0;
    }
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring child = path + L"\\" + name;
        PSECURITY_DESCRIPTOR sd = nullptr;
        DWORD error = GetNamedSecurityInfoW(child.c_str(), SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                DACL_SECURITY_INFORMATION,
                                            nullptr, nullptr, nullptr, nullptr, &sd);
        if (error == ERROR_SUCCESS) {
            LocalFree(sd);
            ++objects;
        } else {
            ++*failures;
        }
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) objects += ReadAll(child, failures);
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return objects;
}

double TimeCommand(const std::string& command, double* cpu) {
    auto start = Clock::now();
    double cpuBefore = CpuSeconds(RUSAGE_CHILDREN);
    int status = std::system(command.c_str());
    double seconds = SecondsSince(start);
    *cpu = CpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    if (status != 0) std::printf("  (command failed with status %d: %s)\n", status, command.c_str());
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    long files = argc > 1 ? std::atol(argv[1]) : 100000;
    long directories = argc > 2 ? std::atol(argv[2]) : 1000;
    if (files <= 0 || directories <= 0) {
        std::fprintf(stderr, "usage: %s [files [directories]]\n", argv[0]);
        return 2;
    }

    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures appear as each step ends
    char pattern[] = "/tmp/tavrik-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string folder = pattern;
    std::string driveC = folder + "/c";
    winapi::machine::OpenMachine(folder + "/machine.db");
    winapi::machine::InitializeDefaultComputer(L"BENCHPC", driveC);
    std::string attribute = winapi::machine::FindDrive(winapi::machine::LocalComputer(), L'C')->xattrName;

    std::printf("tree: %ld files in %ld directories (x2: ours and the host tools'), attribute %s\n", files,
                directories, attribute.c_str());
    auto start = Clock::now();
    MakeTree(driveC + "/tree", files, directories);
    MakeTree(folder + "/hosttree", files, directories);
    std::printf("generated in %.1f s; peak RSS %ld KiB\n\n", SecondsSince(start), PeakRssKiB());
    long objects = files + directories + 1;

    // 1. Propagation of an inheritable ACE from the root of the tree.
    PSECURITY_DESCRIPTOR sd = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;AU)", SDDL_REVISION_1,
                                                         &sd, nullptr);
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    std::wstring root = L"C:\\tree";
    start = Clock::now();
    double cpu = CpuSeconds(RUSAGE_SELF);
    DWORD error = SetNamedSecurityInfoW(root.data(), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                        nullptr, dacl, nullptr);
    double ours = SecondsSince(start);
    cpu = CpuSeconds(RUSAGE_SELF) - cpu;
    LocalFree(sd);
    std::printf("propagate inheritable ACE to %ld objects:\n", objects);
    std::printf("  SetNamedSecurityInfoW      %8.2f s  %8.0f objects/s  cpu %6.2f s  (result %u)\n", ours,
                objects / ours, cpu, error);
    std::printf("  peak RSS                   %8ld KiB\n", PeakRssKiB());
    double hostCpu = 0;
    double host = TimeCommand("setfacl -R -m u:nobody:rx '" + folder + "/hosttree'", &hostCpu);
    std::printf("  setfacl -R -m              %8.2f s  %8.0f objects/s  cpu %6.2f s\n\n", host, objects / host,
                hostCpu);

    // 2. Reading every descriptor while enumerating the tree.
    long failures = 0;
    start = Clock::now();
    cpu = CpuSeconds(RUSAGE_SELF);
    long read = ReadAll(root, &failures);
    ours = SecondsSince(start);
    cpu = CpuSeconds(RUSAGE_SELF) - cpu;
    std::printf("read every descriptor (%ld read, %ld failures):\n", read, failures);
    std::printf("  GetNamedSecurityInfoW walk %8.2f s  %8.0f objects/s  cpu %6.2f s\n", ours, read / ours, cpu);
    std::printf("  peak RSS                   %8ld KiB\n", PeakRssKiB());
    host = TimeCommand("getfattr -R -d -m '" + attribute + "' '" + driveC + "/tree' > /dev/null 2>&1", &hostCpu);
    std::printf("  getfattr -R -d             %8.2f s  %8.0f objects/s  cpu %6.2f s\n", host, objects / host, hostCpu);

    winapi::machine::CloseMachine();
    start = Clock::now();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    std::printf("\nremoved both trees in %.1f s\n", SecondsSince(start));
    return failures == 0 && error == ERROR_SUCCESS ? 0 : 1;
}
