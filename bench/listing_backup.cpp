// Lists and backs up a tree of files (100,000 by default; the first
// argument gives another count), restores it from the backup, and does the
// same with getfattr/setfattr on the attributes that hold the descriptors.
//
//   bench_listing_backup [files] [files-per-directory]
#include <sys/resource.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/support/bench_support.h"
#include "engine/tavrik.h"
#include "winapi/machine/admin.h"

using namespace tavrik::bench;

namespace {

// Wall and CPU time of one phase.
struct Phase {
    Clock::time_point wall = Clock::now();
    double cpu;
    int who;
    explicit Phase(int whose = RUSAGE_SELF) : cpu(CpuSeconds(whose)), who(whose) {}
};

std::string MakeTemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrik-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status != 0) std::fprintf(stderr, "command failed (%d): %s\n", status, command.c_str());
    return status;
}

void Report(const char* what, const Phase& phase, long objects) {
    const double wall = Seconds(phase.wall);
    const double cpu = CpuSeconds(phase.who) - phase.cpu;
    std::printf("%-34s wall %8.2f s  cpu %8.2f s  %8.1f us/object (cpu)\n", what, wall, cpu,
                cpu * 1e6 / static_cast<double>(objects));
}

}  // namespace

int main(int argc, char** argv) {
    const long files = argc > 1 ? std::atol(argv[1]) : 100000;
    const long perDirectory = argc > 2 ? std::atol(argv[2]) : 1000;
    if (files <= 0 || perDirectory <= 0) {
        std::fprintf(stderr, "usage: %s [files] [files-per-directory]\n", argv[0]);
        return 2;
    }
    const std::string folder = MakeTemporaryFolder();
    const std::string drive = folder + "/c";
    winapi::machine::OpenMachine(folder + "/machine.db");
    winapi::machine::InitializeDefaultComputer(L"BENCHPC", drive);

    // The tree: Tree\dNNNN\fNNNNNNN, plain empty files.
    auto start = Clock::now();
    long directories = 0;
    for (long i = 0; i < files; ++i) {
        const std::string directory = drive + "/Tree/d" + std::to_string(i / perDirectory);
        if (i % perDirectory == 0) {
            std::filesystem::create_directories(directory);
            ++directories;
        }
        std::ofstream(directory + "/f" + std::to_string(i));
    }
    const long objects = files + directories + 1;
    std::printf("tree: %ld files in %ld directories (%ld objects), created in %.2f s\n", files, directories, objects,
                Seconds(start));

    // Every object gets a descriptor of its own in its attribute: a
    // protected, inheritable DACL on the top, propagated below.
    Phase phase;
    {
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
                L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1, &sd,
                nullptr)) {
            return 1;
        }
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        PSID owner = nullptr, group = nullptr;
        GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        GetSecurityDescriptorOwner(sd, &owner, &defaulted);
        GetSecurityDescriptorGroup(sd, &group, &defaulted);
        std::wstring top = L"C:\\Tree";
        const DWORD error = SetNamedSecurityInfoW(
            top.data(), SE_FILE_OBJECT,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                PROTECTED_DACL_SECURITY_INFORMATION,
            owner, group, dacl, nullptr);
        LocalFree(sd);
        if (error != ERROR_SUCCESS) {
            std::fprintf(stderr, "SetNamedSecurityInfoW: %u\n", error);
            return 1;
        }
    }
    Report("setup: write + propagate", phase, objects);

    const std::string backup = folder + "/backup.txt";
    long lines = 0;
    auto count = [&lines](const std::wstring&) { ++lines; };

    phase = Phase();
    DWORD result;
    {
        CTavrik job(count);
        job.SetObject(L"C:\\Tree", SE_FILE_OBJECT);
        job.SetAction(ACTION_LIST);
        job.SetListFormat(LIST_SDDL);
        job.SetListWhat(LIST_DACL | LIST_OWNER | LIST_GROUP);
        job.SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
        job.SetBackupFile(std::wstring(backup.begin(), backup.end()));
        result = job.Run();
    }
    if (result != RTN_OK) std::fprintf(stderr, "listing failed: %u\n", result);
    Report("tavrik list + backup (SDDL)", phase, objects);
    std::printf("  backup file %ju bytes, %ld message lines\n",
                static_cast<uintmax_t>(std::filesystem::file_size(backup)), lines);

    phase = Phase();
    {
        CTavrik job(count);
        job.SetObject(L"C:\\Tree", SE_FILE_OBJECT);
        job.SetAction(ACTION_RESTORE);
        job.SetBackupFile(std::wstring(backup.begin(), backup.end()));
        result = job.Run();
    }
    if (result != RTN_OK) std::fprintf(stderr, "restore failed: %u\n", result);
    Report("tavrik restore", phase, objects);

    // The same descriptors through the attribute tools.
    std::string attribute = "security.NTACL";
    char probe = 0;
    if (getxattr((drive + "/Tree").c_str(), attribute.c_str(), &probe, 0) < 0) attribute = "user.NTACL";
    phase = Phase(RUSAGE_CHILDREN);
    Shell("cd '" + drive + "' && getfattr -R -d -m " + attribute + " Tree > ../getfattr.txt");
    Report(("getfattr -R -d -m " + attribute).c_str(), phase, objects);
    std::printf("  dump %ju bytes\n", static_cast<uintmax_t>(std::filesystem::file_size(folder + "/getfattr.txt")));
    phase = Phase(RUSAGE_CHILDREN);
    Shell("cd '" + drive + "' && setfattr --restore=../getfattr.txt");
    Report("setfattr --restore", phase, objects);

    winapi::machine::CloseMachine();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return result == RTN_OK ? 0 : 1;
}
