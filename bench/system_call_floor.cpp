// Tavrik's file jobs against the plain tools that do the same work on the
// same attributes, on twin trees made in the same run:
//
//   recursive grant, no attributes yet  tavrik grant --recurse  | setfacl -R -m
//   recursive grant, attributes present  (another trustee)       | setfacl -R -m (another group)
//   same grant again (nothing to change)                         | the same setfacl again
//   recursive SDDL list                  tavrik list --recurse   | getfattr -R -d -m security.NTACL
//   backup                               tavrik backup --recurse | getfattr -R -d -e hex > file
//   restore                              tavrik restore          | setfattr --restore=file
//
// Every job runs as its own process, the tavrik command or the peer tool, and
// is measured with wait4: CPU time (user + system) per object, which is what
// the ratio compares because the machine is shared and wall time depends on
// who else runs; wall time per object beside it; and the job's peak RSS.
// Each figure is the median of the runs, every run on freshly made trees.
// With --syscalls, one more pass runs every job under `strace -c -f` and
// prints the system calls per object of both sides.
//
// A grant's peer stores a 44-byte POSIX ACL that it builds in place;
// tavrik stores a ~550-byte security.NTACL. So that the table shows how the
// grant compares with the stock tools doing only the attribute work, a
// third twin tree gets the very bytes tavrik's grant wrote, by those tools:
// for a grant `setfattr --restore` of them (plus a `getfattr` of what was
// there, when there was something), for "same grant again" the `getfattr`
// that a comparison needs. It is the stock tools' cost, not a limit: they
// parse text and resolve each path from the start.
//
// Usage: bench_system_call_floor [--quick] [--runs N] [--syscalls] [--tavrik PATH] [FILES...]
//   FILES     sizes of the trees, as files (default 10000 100000), one
//             directory per 100 files
//   --quick   one run of 2,000 files: a quick look
//   --tavrik  another build of the tavrik command to measure (e.g. a copy
//             of the one before a change)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
using Clock = std::chrono::steady_clock;

constexpr long kFilesPerDirectory = 100;

struct Usage {
    double cpu = 0;   // user + system seconds
    double wall = 0;  // seconds
    long rssKiB = 0;  // peak resident set
    bool ok = true;
};

// Runs `argv` in `directory` with its output in `output` (or /dev/null).
Usage Run(const std::vector<std::string>& argv, const std::string& directory,
          const std::string& output = "/dev/null") {
    const auto start = Clock::now();
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (child == 0) {
        if (::chdir(directory.c_str()) != 0) _exit(126);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (out < 0 || null < 0) _exit(126);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(null, STDIN_FILENO);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    Usage result;
    result.wall = std::chrono::duration<double>(Clock::now() - start).count();
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    result.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    result.rssKiB = usage.ru_maxrss;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!result.ok) {
        std::string line;
        for (const auto& arg : argv) line += arg + " ";
        std::fprintf(stderr, "failed (status %d): %s\n", status, line.c_str());
    }
    return result;
}


// One job of the table: how tavrik does it and how its peer does.
struct Job {
    const char* title;
    const char* peerName;
};

const Job kJobs[] = {
    {"recursive grant, no attributes yet", "setfacl -R -m"},
    {"recursive grant, attributes present", "setfacl -R -m"},
    {"same grant again (nothing to change)", "setfacl -R -m"},
    {"recursive SDDL list", "getfattr -R -d"},
    {"backup", "getfattr -R -d -e hex"},
    {"restore", "setfattr --restore"},
};
constexpr size_t kJobCount = sizeof kJobs / sizeof kJobs[0];

// Wraps a command in `strace -c -f` when counting calls.
struct Runner {
    std::string strace;  // output of strace -c, empty when not counting
    Usage operator()(std::vector<std::string> argv, const std::string& directory,
                     const std::string& output = "/dev/null") const {
        if (!strace.empty()) argv.insert(argv.begin(), {"strace", "-c", "-f", "-o", strace});
        return Run(argv, directory, output);
    }
};

// The total number of calls in a report of `strace -c`.
long CountedCalls(const std::string& report) {
    std::ifstream in(report);
    std::string line, last;
    while (std::getline(in, line)) {
        if (line.find(" total") != std::string::npos) last = line;
    }
    std::istringstream fields(last);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    return words.size() >= 5 ? std::atol(words[3].c_str()) : -1;
}

struct Measured {
    Usage tavrik[kJobCount];
    Usage peer[kJobCount];
    Usage floor[3];  // the grant rows' attribute floor
};

Usage Sum(const Usage& a, const Usage& b) {
    return {a.cpu + b.cpu, a.wall + b.wall, std::max(a.rssKiB, b.rssKiB), a.ok && b.ok};
}

// One run of every job on fresh twin trees: `folder`/c/tree is tavrik's
// (drive C:) and `folder`/host/tree the peers'.
std::string tavrikCommand = TAVRIK_COMMAND;

Measured RunJobs(const std::string& folder, long files, long* objects, const Runner& run,
                 const std::string& straceFolder = "") {
    const std::string machine = folder + "/machine.db";
    const std::string tavrikSide = folder + "/c";
    const std::string peerSide = folder + "/host";
    const std::string floorSide = folder + "/floor";
    *objects = MakeTree(tavrikSide + "/tree", files, kFilesPerDirectory);
    MakeTree(peerSide + "/tree", files, kFilesPerDirectory);
    MakeTree(floorSide + "/tree", files, kFilesPerDirectory);
    const std::string& tavrik = tavrikCommand;
    auto job = [&](std::initializer_list<std::string> words) {
        std::vector<std::string> argv{tavrik};
        argv.insert(argv.end(), words);
        argv.insert(argv.end(), {"--machine", machine, "--quiet"});
        return argv;
    };
    Runner counted = run;
    auto trace = [&](size_t index, const char* side) {
        if (!straceFolder.empty()) counted.strace = straceFolder + "/" + std::to_string(index) + side;
        return counted;
    };

    Measured m;
    m.tavrik[0] = trace(0, "t")(job({"grant", "C:\\tree", "BUILTIN\\Users", "read_ex", "--recurse"}), folder);
    m.peer[0] = trace(0, "p")({"setfacl", "-R", "-m", "g:100:rx", "tree"}, peerSide);
    m.tavrik[1] = trace(1, "t")(job({"grant", "C:\\tree", "BUILTIN\\Guests", "read_ex", "--recurse"}), folder);
    m.peer[1] = trace(1, "p")({"setfacl", "-R", "-m", "g:50:rx", "tree"}, peerSide);
    m.tavrik[2] = trace(2, "t")(job({"grant", "C:\\tree", "BUILTIN\\Guests", "read_ex", "--recurse"}), folder);
    m.peer[2] = trace(2, "p")({"setfacl", "-R", "-m", "g:50:rx", "tree"}, peerSide);

    // The peers read the same descriptors: copy tavrik's attributes onto
    // the twin tree first (not measured).
    const std::string dump = folder + "/attributes.txt";
    Run({"getfattr", "-R", "-d", "-m", "security.NTACL", "-e", "hex", "tree"}, tavrikSide, dump);
    // The grant rows' attribute floor, from what tavrik's second grant
    // stored; the first grant's bytes differ from these by one entry only.
    if (straceFolder.empty()) {
        const std::vector<std::string> read{"getfattr", "-R", "-d", "-m", "security.NTACL", "-e", "hex", "tree"};
        m.floor[0] = Run({"setfattr", "--restore=" + dump}, floorSide);
        m.floor[1] = Sum(Run(read, floorSide), Run({"setfattr", "--restore=" + dump}, floorSide));
        m.floor[2] = Run(read, floorSide);
    }
    Run({"setfattr", "--restore=" + dump}, peerSide);

    m.tavrik[3] = trace(3, "t")(job({"list", "C:\\tree", "--recurse", "--format", "sddl"}), folder);
    m.peer[3] = trace(3, "p")({"getfattr", "-R", "-d", "-m", "security.NTACL", "tree"}, peerSide);
    const std::string backup = folder + "/backup.txt";
    const std::string peerBackup = folder + "/peer-backup.txt";
    m.tavrik[4] = trace(4, "t")(job({"backup", "C:\\tree", backup, "--recurse"}), folder);
    m.peer[4] = trace(4, "p")({"getfattr", "-R", "-d", "-m", "security.NTACL", "-e", "hex", "tree"}, peerSide,
                             peerBackup);
    // A restore has something to do: the tree changed after the backup.
    Run(job({"grant", "C:\\tree", "BUILTIN\\Backup Operators", "read_ex", "--recurse"}), folder);
    m.tavrik[5] = trace(5, "t")(job({"restore", backup}), folder);
    m.peer[5] = trace(5, "p")({"setfattr", "--restore=" + peerBackup}, peerSide);
    return m;
}

std::string MakeTemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "tavrik-floor-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

void PrintTable(long objects, const std::vector<Measured>& runs) {
    std::printf("\n%ld objects, median of %zu run(s); us per object; ratio = tavrik CPU / peer CPU\n", objects,
                runs.size());
    std::printf("| job | tavrik cpu | tavrik wall | peer | peer cpu | peer wall | ratio (cpu) | tavrik RSS | peer RSS "
                "| attribute floor cpu | ratio to floor |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (size_t j = 0; j < kJobCount; ++j) {
        std::vector<double> tc, tw, tr, pc, pw, pr;
        for (const auto& m : runs) {
            tc.push_back(m.tavrik[j].cpu), tw.push_back(m.tavrik[j].wall), tr.push_back(m.tavrik[j].rssKiB);
            pc.push_back(m.peer[j].cpu), pw.push_back(m.peer[j].wall), pr.push_back(m.peer[j].rssKiB);
        }
        const double perObject = 1e6 / static_cast<double>(objects);
        const double peerCpu = Median(pc);
        // The listing, backup and restore peers move the same bytes already.
        double floorCpu = peerCpu;
        if (j < 3) {
            std::vector<double> fc;
            for (const auto& m : runs) fc.push_back(m.floor[j].cpu);
            floorCpu = Median(fc);
        }
        std::printf("| %s | %.1f | %.1f | `%s` | %.1f | %.1f | %.1fx | %.1f MB | %.1f MB | %.1f | %.1fx |\n",
                    kJobs[j].title, Median(tc) * perObject, Median(tw) * perObject, kJobs[j].peerName,
                    peerCpu * perObject, Median(pw) * perObject, peerCpu > 0 ? Median(tc) / peerCpu : 0.0,
                    Median(tr) / 1024.0, Median(pr) / 1024.0, floorCpu * perObject,
                    floorCpu > 0 ? Median(tc) / floorCpu : 0.0);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<long> sizes;
    int runs = 3;
    bool syscalls = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            sizes = {2000};
            runs = 1;
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (arg == "--tavrik" && i + 1 < argc) {
            tavrikCommand = argv[++i];
        } else if (arg == "--syscalls") {
            syscalls = true;
        } else if (!arg.empty() && std::isdigit(static_cast<unsigned char>(arg[0]))) {
            sizes.push_back(std::atol(arg.c_str()));
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--runs N] [--syscalls] [--tavrik PATH] [FILES...]\n",
                         argv[0]);
            return 2;
        }
    }
    if (sizes.empty()) sizes = {10000, 100000};
    if (runs < 1 || std::any_of(sizes.begin(), sizes.end(), [](long n) { return n <= 0; })) {
        std::fprintf(stderr, "sizes and runs must be positive\n");
        return 2;
    }
    if (::geteuid() != 0) std::fprintf(stderr, "note: not root, so the attribute is user.NTACL, not security.NTACL\n");

    const std::string folder = MakeTemporaryFolder();
    winapi::machine::OpenMachine(folder + "/machine.db");
    winapi::machine::InitializeDefaultComputer(L"BENCHPC", folder + "/c");
    winapi::machine::CloseMachine();
    std::printf("tavrik: %s; CPU = user + system time of each job's process\n", tavrikCommand.c_str());

    for (long files : sizes) {
        std::vector<Measured> measured;
        long objects = 0;
        for (int r = 0; r < runs; ++r) measured.push_back(RunJobs(folder, files, &objects, Runner{}));
        PrintTable(objects, measured);
        if (syscalls) {
            const std::string reports = folder + "/strace";
            fs::create_directories(reports);
            RunJobs(folder, files, &objects, Runner{}, reports);
            std::printf("\nsystem calls per object (strace -c -f)\n| job | tavrik | peer |\n|---|---|---|\n");
            for (size_t j = 0; j < kJobCount; ++j) {
                const long t = CountedCalls(reports + "/" + std::to_string(j) + "t");
                const long p = CountedCalls(reports + "/" + std::to_string(j) + "p");
                std::printf("| %s | %.1f | %.1f |\n", kJobs[j].title, static_cast<double>(t) / objects,
                            static_cast<double>(p) / objects);
            }
            std::fflush(stdout);
            syscalls = false;  // counted once, at the first size
        }
    }
    fs::remove_all(folder);
    return 0;
}
