// A recursive grant through the engine's Run over a large directory tree of
// the simulated computer, against `setfacl -R -m` over a tree of the same
// shape on the host.
//
// Usage: bench_engine_grant [files [directories [samba]]]   (default 100000 100)
// With "samba" drive C: lies in an acl_xattr share of an smb.conf written
// for the run, so every object is written as smbd writes it (chown check,
// POSIX access/default ACL, NTACL v4 with both hashes); the trustee is then
// the Unix group users, which the POSIX ACLs can hold.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/tavrik.h"
#include "winapi/machine/admin.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Processor time of this process (user and system), which a busy machine
// stretches far less than the wall clock.
double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void MakeTree(const std::string& root, long files, long directories) {
    fs::create_directories(root);
    const long perDirectory = (files + directories - 1) / directories;
    long made = 0;
    for (long d = 0; d < directories; ++d) {
        const std::string dir = root + "/dir" + std::to_string(d);
        fs::create_directory(dir);
        for (long f = 0; f < perDirectory && made < files; ++f, ++made) {
            std::ofstream(dir + "/file" + std::to_string(f) + ".txt") << "x";
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long files = argc > 1 ? atol(argv[1]) : 100000;
    const long directories = argc > 2 ? atol(argv[2]) : 100;
    const bool samba = argc > 3 && std::string(argv[3]) == "samba";
    if (files <= 0 || directories <= 0) {
        std::fprintf(stderr, "usage: %s [files [directories]]\n", argv[0]);
        return 2;
    }

    char pattern[] = "/tmp/tavrik-bench-grant-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string folder = pattern;
    winapi::machine::OpenMachine(folder + "/machine.db");
    winapi::machine::InitializeDefaultComputer(L"BENCHPC", folder + "/c");
    if (samba) {
        std::ofstream(folder + "/smb.conf") << "[global]\n  vfs objects = acl_xattr\n[c]\n  path = " << folder
                                            << "/c\n";
        winapi::machine::SetSambaConfiguration(folder + "/smb.conf");
    }

    auto start = Clock::now();
    MakeTree(folder + "/c/tree", files, directories);
    MakeTree(folder + "/host-tree", files, directories);
    std::printf("trees: %ld files in %ld directories, twice, made in %.1f s\n", files, directories,
                SecondsSince(start));

    long processed = 0;
    CTavrik job([&processed](const std::wstring& line) {
        if (line.rfind(L"Processing ACL of: <", 0) == 0) ++processed;
    });
    job.SetObject(L"C:\\tree", SE_FILE_OBJECT);
    job.SetAction(ACTION_ADD_ACE);
    job.AddACE(samba ? L"users" : L"BUILTIN\\Users", FALSE, L"read_ex", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    job.SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
    start = Clock::now();
    const double cpuStart = CpuSeconds();
    const DWORD code = job.Run();
    const double engineSeconds = SecondsSince(start);
    const double engineCpu = CpuSeconds() - cpuStart;
    std::printf("tavrik Run%s (grant read_ex, containers+objects): code %u, %ld objects, %.2f s, %.1f us/object "
                "(processor %.1f us/object), peak RSS %ld KiB\n",
                samba ? " on a Samba share" : "", static_cast<unsigned>(code), processed, engineSeconds,
                1e6 * engineSeconds / (processed ? processed : 1), 1e6 * engineCpu / (processed ? processed : 1),
                PeakRssKiB());

    const std::string command = "setfacl -R -m g:users:rx '" + folder + "/host-tree'";
    start = Clock::now();
    const int status = std::system(command.c_str());
    const double setfaclSeconds = SecondsSince(start);
    std::printf("setfacl -R -m g:users:rx: exit %d, %.2f s, %.1f us/object\n", WEXITSTATUS(status), setfaclSeconds,
                1e6 * setfaclSeconds / static_cast<double>(files + directories + 1));
    std::printf("ratio tavrik/setfacl: %.1f\n", engineSeconds / (setfaclSeconds > 0 ? setfaclSeconds : 1e-9));

    winapi::machine::CloseMachine();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return code == RTN_OK && WEXITSTATUS(status) == 0 ? 0 : 1;
}
