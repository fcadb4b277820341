// What a Samba share adds to a recursive grant: the same `tavrik grant
// --recurse` on twin trees, one on a plain drive (NTACL version 1 only) and
// one on a drive that lies in an acl_xattr share of smb.conf (ownership,
// POSIX access and default ACLs, NTACL version 4 with both hashes).
//
// For each side it prints, per object:
//   - system calls by name (strace -c -f), and the difference;
//   - instructions (valgrind's callgrind, the whole process);
//   - CPU time (user + system, wait4), median of the runs.
// The fixed cost of a job (start, database, smb.conf) is taken out by
// running the same job on a tree of one file and counting only the
// difference. Two jobs: the first grant of a fresh tree, and a grant of
// another trustee on top of it (attributes present).
//
// The trustees are Unix groups (S-1-22-2-gid), which map onto POSIX ACL
// entries without winbindd, so the Samba side writes its POSIX ACLs.
//
// Usage: bench_samba_write [--runs N] [--no-instructions] [--tavrik PATH] [FILES]
//   FILES  size of the trees, as files (default 10000), 100 to a directory
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/support/bench_support.h"
#include "winapi/machine/admin.h"

#ifndef TAVRIK_COMMAND
#error "TAVRIK_COMMAND names the tavrik program to measure"
#endif

using namespace tavrik::bench;

namespace {

namespace fs = std::filesystem;

constexpr long kFilesPerDirectory = 100;
std::string tavrikCommand = TAVRIK_COMMAND;

// Runs `argv` with its output thrown away; returns user + system seconds.
double Run(const std::vector<std::string>& argv) {
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0) _exit(126);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string line;
        for (const auto& arg : argv) line += arg + " ";
        std::fprintf(stderr, "failed (status %d): %s\n", status, line.c_str());
        std::exit(1);
    }
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}


struct Side {
    const char* title;
    std::string machine;  // database
    std::string drive;    // host folder of drive C:
};

const char* const kTrustees[] = {"S-1-22-2-100", "S-1-22-2-50"};
const char* const kJobTitles[] = {"first grant (fresh tree)", "second grant (attributes present)"};

std::vector<std::string> Grant(const Side& side, int job) {
    return {tavrikCommand, "grant",   "C:\\tree", kTrustees[job], "read_ex", "--recurse",
            "--machine",   side.machine, "--quiet"};
}

// Prepares the tree for `job` (the first grant is made before the second).
long Prepare(const Side& side, int job, long files) {
    const long objects = MakeTree(side.drive + "/tree", files, kFilesPerDirectory);
    if (job == 1) Run(Grant(side, 0));
    return objects;
}

std::map<std::string, long> StraceCounts(const std::string& report) {
    std::map<std::string, long> counts;
    std::ifstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) words.push_back(word);
        // % time, seconds, usecs/call, calls, [errors,] syscall
        if (words.size() < 5 || !std::isdigit(static_cast<unsigned char>(words[0][0]))) continue;
        if (words.back() == "total") continue;
        counts[words.back()] += std::atol(words[3].c_str());
    }
    return counts;
}

std::map<std::string, long> Syscalls(const Side& side, int job, long files, const std::string& scratch,
                                     long* objects) {
    *objects = Prepare(side, job, files);
    const std::string report = scratch + "/strace.txt";
    std::vector<std::string> argv{"strace", "-c", "-f", "-o", report};
    auto grant = Grant(side, job);
    argv.insert(argv.end(), grant.begin(), grant.end());
    Run(argv);
    return StraceCounts(report);
}

long long Instructions(const Side& side, int job, long files, const std::string& scratch, long* objects) {
    *objects = Prepare(side, job, files);
    const std::string out = scratch + "/callgrind.out";
    std::vector<std::string> argv{"valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "-q"};
    auto grant = Grant(side, job);
    argv.insert(argv.end(), grant.begin(), grant.end());
    Run(argv);
    std::ifstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("summary:", 0) == 0) return std::atoll(line.c_str() + 8);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    long files = 10000;
    int runs = 3;
    bool instructions = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (arg == "--tavrik" && i + 1 < argc) {
            tavrikCommand = argv[++i];
        } else if (arg == "--no-instructions") {
            instructions = false;
        } else if (!arg.empty() && std::isdigit(static_cast<unsigned char>(arg[0]))) {
            files = std::atol(arg.c_str());
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--no-instructions] [--tavrik PATH] [FILES]\n", argv[0]);
            return 2;
        }
    }
    if (files < 2 || runs < 1) {
        std::fprintf(stderr, "at least 2 files and 1 run\n");
        return 2;
    }
    if (::geteuid() != 0) std::fprintf(stderr, "note: not root: chown and security.NTACL are not measured\n");

    std::string scratch = (fs::temp_directory_path() / "tavrik-samba-write-XXXXXX").string();
    if (!::mkdtemp(scratch.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    Side sides[] = {{"plain drive", scratch + "/plain.db", scratch + "/plain"},
                    {"Samba share", scratch + "/samba.db", scratch + "/samba"}};
    const std::string conf = scratch + "/smb.conf";
    std::ofstream(conf) << "[global]\n  netbios name = BENCHSRV\n[data]\n  path = " << sides[1].drive
                        << "\n  vfs objects = acl_xattr\n";
    for (Side& side : sides) {
        fs::create_directories(side.drive);
        winapi::machine::OpenMachine(side.machine);
        winapi::machine::InitializeDefaultComputer(L"BENCHSRV", side.drive);
        if (&side == &sides[1]) winapi::machine::SetSambaConfiguration(conf);
        winapi::machine::CloseMachine();
    }
    std::printf("tavrik: %s; %ld files; fixed cost removed with a tree of one file\n", tavrikCommand.c_str(), files);

    for (int job = 0; job < 2; ++job) {
        std::map<std::string, double> perObject[2];
        double calls[2] = {}, cpu[2] = {}, ir[2] = {};
        for (int s = 0; s < 2; ++s) {
            long big = 0, small = 0;
            auto many = Syscalls(sides[s], job, files, scratch, &big);
            auto few = Syscalls(sides[s], job, 1, scratch, &small);
            for (const auto& [name, count] : many) {
                const double each = static_cast<double>(count - few[name]) / static_cast<double>(big - small);
                perObject[s][name] = each;
                calls[s] += each;
            }
            std::vector<double> times;
            for (int r = 0; r < runs; ++r) {
                big = Prepare(sides[s], job, files);
                double t = Run(Grant(sides[s], job));
                small = Prepare(sides[s], job, 1);
                t -= Run(Grant(sides[s], job));
                times.push_back(t / static_cast<double>(big - small));
            }
            cpu[s] = Median(times);
            if (instructions) {
                const long long i1 = Instructions(sides[s], job, files, scratch, &big);
                const long long i0 = Instructions(sides[s], job, 1, scratch, &small);
                ir[s] = static_cast<double>(i1 - i0) / static_cast<double>(big - small);
            }
        }
        std::printf("\n%s, per object\n| | plain drive | Samba share | difference |\n|---|---|---|---|\n",
                    kJobTitles[job]);
        std::map<std::string, bool> names;
        for (const auto& side : perObject) {
            for (const auto& [name, each] : side) {
                if (each >= 0.05 || each <= -0.05) names[name] = true;
            }
        }
        for (const auto& [name, _] : names) {
            const double p = perObject[0][name], q = perObject[1][name];
            std::printf("| %s | %.2f | %.2f | %+.2f |\n", name.c_str(), p, q, q - p);
        }
        std::printf("| **system calls** | %.2f | %.2f | %+.2f |\n", calls[0], calls[1], calls[1] - calls[0]);
        if (instructions) {
            std::printf("| **instructions** | %.0f | %.0f | %.2fx |\n", ir[0], ir[1], ir[0] > 0 ? ir[1] / ir[0] : 0);
        }
        std::printf("| **CPU us** (median of %d) | %.1f | %.1f | %.2fx |\n", runs, cpu[0] * 1e6, cpu[1] * 1e6,
                    cpu[0] > 0 ? cpu[1] / cpu[0] : 0);
        std::fflush(stdout);
    }
    fs::remove_all(scratch);
    return 0;
}
