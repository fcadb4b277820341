// Verifies a tree of files (100,000 by default; the first argument gives
// another count) against its backup, then changes 0.1% of the files and
// compares a --changed-only restore with a plain one.
//
//   bench_verify_changed_only [files] [files-per-directory]
#include <sys/resource.h>
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

struct Phase {
    Clock::time_point wall = Clock::now();
    double cpu = CpuSeconds(RUSAGE_SELF);
};

void Report(const char* what, const Phase& phase, long objects) {
    const double wall = Seconds(phase.wall);
    const double cpu = CpuSeconds(RUSAGE_SELF) - phase.cpu;
    std::printf("%-36s wall %8.2f s  cpu %8.2f s  %8.1f us/object (cpu)\n", what, wall, cpu,
                cpu * 1e6 / static_cast<double>(objects));
}

std::string MakeTemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrik-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

// Writes the parts of `sddl` to `name`; the Win32 result.
DWORD WriteSddl(const std::wstring& name, const wchar_t* sddl, SECURITY_INFORMATION info) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) return GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr, group = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    GetSecurityDescriptorOwner(sd, &owner, &defaulted);
    GetSecurityDescriptorGroup(sd, &group, &defaulted);
    std::wstring target = name;
    const DWORD error = SetNamedSecurityInfoW(target.data(), SE_FILE_OBJECT, info, owner, group, dacl, nullptr);
    LocalFree(sd);
    return error;
}

// Runs a restore of `backup` in `mode`; the job's tally.
CTavrik::RestoreTally Restore(const std::string& backup, DWORD mode, long& lines) {
    CTavrik job([&lines](const std::wstring&) { ++lines; });
    job.SetObject(L"C:\\Tree", SE_FILE_OBJECT);
    job.SetAction(ACTION_RESTORE);
    job.SetBackupFile(std::wstring(backup.begin(), backup.end()));
    job.SetRestoreMode(mode);
    if (const DWORD result = job.Run(); result != RTN_OK) std::fprintf(stderr, "restore failed: %u\n", result);
    return job.m_restoreTally;
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
    std::printf("tree: %ld files in %ld directories (%ld objects)\n", files, directories, objects);
    if (WriteSddl(L"C:\\Tree", L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)",
                  OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                      PROTECTED_DACL_SECURITY_INFORMATION) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot write the top descriptor\n");
        return 1;
    }

    const std::string backup = folder + "/backup.txt";
    long lines = 0;
    {
        CTavrik job([&lines](const std::wstring&) { ++lines; });
        job.SetObject(L"C:\\Tree", SE_FILE_OBJECT);
        job.SetAction(ACTION_LIST);
        job.SetListFormat(LIST_SDDL);
        job.SetListWhat(LIST_DACL | LIST_OWNER | LIST_GROUP);
        job.SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
        job.SetBackupFile(std::wstring(backup.begin(), backup.end()));
        if (job.Run() != RTN_OK) std::fprintf(stderr, "backup failed\n");
    }

    Phase phase;
    auto tally = Restore(backup, RESTORE_VERIFY, lines);
    Report("verify, nothing changed", phase, objects);
    std::printf("  %lu same, %lu differ, %lu missing\n", static_cast<unsigned long>(tally.same),
                static_cast<unsigned long>(tally.differs), static_cast<unsigned long>(tally.missing));

    // 0.1% of the files get a protected DACL of their own.
    const long step = 1000;
    auto changeSome = [&] {
        long changed = 0;
        for (long i = 0; i < files; i += step, ++changed) {
            const std::wstring name = L"C:\\Tree\\d" + std::to_wstring(i / perDirectory) + L"\\f" + std::to_wstring(i);
            WriteSddl(name, L"D:P(A;;FA;;;WD)", DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION);
        }
        return changed;
    };
    const long changed = changeSome();
    std::printf("changed %ld files (0.1%%)\n", changed);

    phase = Phase();
    tally = Restore(backup, RESTORE_VERIFY, lines);
    Report("verify, 0.1% changed", phase, objects);
    std::printf("  %lu same, %lu differ, %lu missing\n", static_cast<unsigned long>(tally.same),
                static_cast<unsigned long>(tally.differs), static_cast<unsigned long>(tally.missing));

    phase = Phase();
    tally = Restore(backup, RESTORE_CHANGED_ONLY, lines);
    Report("restore --changed-only, 0.1% changed", phase, objects);
    std::printf("  %lu written, %lu left alone\n", static_cast<unsigned long>(tally.written),
                static_cast<unsigned long>(tally.same));

    changeSome();
    phase = Phase();
    tally = Restore(backup, RESTORE_ALL, lines);
    Report("restore (plain), 0.1% changed", phase, objects);
    std::printf("  %lu written\n", static_cast<unsigned long>(tally.written));

    winapi::machine::CloseMachine();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}
