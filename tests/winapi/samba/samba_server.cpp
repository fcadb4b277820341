#include "winapi/samba/samba_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void BringLoopbackUp() {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) Fail("socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(s, SIOCGIFFLAGS, &request) != 0) Fail("SIOCGIFFLAGS lo");
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (::ioctl(s, SIOCSIFFLAGS, &request) != 0) Fail("SIOCSIFFLAGS lo");
    ::close(s);
}

void BindOver(const std::string& source, const std::string& target) {
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) Fail("bind " + target);
}

// The users the tests log in as exist only inside the namespace: the host's
// /etc/passwd and /etc/group are covered by private copies with them added.
void AddPrivateUsers(const std::string& folder) {
    std::string passwd = ReadFile("/etc/passwd");
    std::string group = ReadFile("/etc/group");
    passwd += "alice:x:30001:30001:Alice:/nonexistent:/usr/sbin/nologin\n"
              "bob:x:30002:30002:Bob:/nonexistent:/usr/sbin/nologin\n";
    group += "alice:x:30001:\nbob:x:30002:\nstaff17:x:30010:alice\n";
    WriteFile(folder + "/passwd", passwd);
    WriteFile(folder + "/group", group);
    BindOver(folder + "/passwd", "/etc/passwd");
    BindOver(folder + "/group", "/etc/group");
}

// Once per process: a mount namespace (for the users and winbind's socket
// directory, which clients look for in /run/samba/winbindd) and a network
// namespace whose loopback only this process and its children see.
bool EnterNamespace(std::string* skipReason) {
    static int state = 0;  // 0 not tried, 1 inside, -1 unavailable
    static std::string reason;
    if (state == 0) {
        if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
            reason = std::string("no private namespace for a Samba server here (unshare: ") + std::strerror(errno) +
                     "); run as root where unshare -mn works";
            state = -1;
        } else {
            state = 1;
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Fail("make mounts private");
            BringLoopbackUp();
            char folderTemplate[] = "/tmp/tavrik-samba-etc-XXXXXX";
            if (!::mkdtemp(folderTemplate)) Fail("mkdtemp");
            AddPrivateUsers(folderTemplate);
            fs::create_directories("/run/samba");
            if (::mount("tmpfs", "/run/samba", "tmpfs", 0, "mode=0755") != 0) Fail("tmpfs on /run/samba");
            fs::create_directories("/run/samba/winbindd");
        }
    }
    if (state < 0) *skipReason = reason;
    return state > 0;
}

bool PortOpen(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool open = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return open;
}

}  // namespace

ProgramResult RunProgram(const std::vector<std::string>& argvText, const std::string& input) {
    char outTemplate[] = "/tmp/tavrik-run-out-XXXXXX";
    char inTemplate[] = "/tmp/tavrik-run-in-XXXXXX";
    int outFd = ::mkstemp(outTemplate);
    int inFd = ::mkstemp(inTemplate);
    if (outFd < 0 || inFd < 0) Fail("capture files");
    if (!input.empty() && ::write(inFd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        Fail("write input");
    }
    ::lseek(inFd, 0, SEEK_SET);

    std::vector<std::string> args = argvText;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inFd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
    pid_t pid = 0;
    int spawnError = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outFd);
    ::close(inFd);

    ProgramResult result;
    if (spawnError == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        result.out = std::string("cannot start ") + argvText[0] + ": " + std::strerror(spawnError);
    }
    result.out += ReadFile(outTemplate);
    ::unlink(outTemplate);
    ::unlink(inTemplate);
    return result;
}

std::unique_ptr<SambaServer> SambaServer::Start(const SambaOptions& options, std::string* skipReason) {
    if (!EnterNamespace(skipReason)) return nullptr;
    std::unique_ptr<SambaServer> server(new SambaServer());
    char folderTemplate[] = "/tmp/tavrik-samba-XXXXXX";
    if (!::mkdtemp(folderTemplate)) Fail("mkdtemp");
    server->folder_ = folderTemplate;
    for (const char* sub : {"private", "lock", "state", "cache", "pid", "ncalrpc", "log", "share"}) {
        fs::create_directories(server->folder_ + "/" + sub);
    }
    ::chmod(server->folder_.c_str(), 0755);
    ::chmod(server->ShareDirectory().c_str(), 0755);
    server->WriteConfiguration(options);
    server->AddUsers();
    server->daemons_.push_back(server->StartDaemon("smbd"));
    if (options.winbind) server->daemons_.push_back(server->StartDaemon("winbindd"));
    server->WaitUntilReady(options.winbind);
    return server;
}

namespace {

// The processes whose command line holds `argument`, found through /proc.
std::vector<pid_t> ProcessesWithArgument(const std::string& argument) {
    std::vector<pid_t> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string arg;
        while (std::getline(in, arg, '\0')) {
            if (arg == argument) {
                found.push_back(static_cast<pid_t>(std::stol(name)));
                break;
            }
        }
    }
    return found;
}

// smbd starts samba-dcerpcd (and its rpcd_* helpers) when a client first
// asks for a named pipe; it makes itself a session leader and outlives
// smbd. Every process started with this server's configuration file is
// stopped with it, or each test would leave a few behind.
void StopProcessesOf(const std::string& configFile) {
    const std::string argument = "--configfile=" + configFile;
    for (int round = 0; round < 100; ++round) {
        const std::vector<pid_t> left = ProcessesWithArgument(argument);
        if (left.empty()) return;
        for (pid_t pid : left) ::kill(pid, round < 50 ? SIGTERM : SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

SambaServer::~SambaServer() {
    // Each daemon leads its own process group, with the children it forked
    // for clients (renamed, so not found by their command line).
    for (pid_t pid : daemons_) ::kill(-pid, SIGTERM);
    for (pid_t pid : daemons_) {
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid, &status, WNOHANG) == pid) break;
            if (i == 99) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    for (pid_t pid : daemons_) ::kill(-pid, SIGKILL);
    StopProcessesOf(ConfigPath());
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

void SambaServer::WriteConfiguration(const SambaOptions& options) {
    const std::string& d = folder_;
    std::string text =
        "[global]\n"
        "  workgroup = TAVRIKGRP\n"
        "  netbios name = SAMBATEST\n"
        "  server role = standalone server\n"
        "  interfaces = 127.0.0.1\n"
        "  bind interfaces only = yes\n"
        "  smb ports = 445\n"
        "  disable netbios = yes\n"
        "  private dir = " + d + "/private\n"
        "  lock directory = " + d + "/lock\n"
        "  state directory = " + d + "/state\n"
        "  cache directory = " + d + "/cache\n"
        "  pid directory = " + d + "/pid\n"
        "  ncalrpc dir = " + d + "/ncalrpc\n"
        "  winbindd socket directory = /run/samba/winbindd\n"
        "  log file = " + d + "/log/%m.log\n"
        "  passdb backend = tdbsam\n"
        "  load printers = no\n"
        "  printcap name = /dev/null\n"
        "  disable spoolss = yes\n"
        "  idmap config * : backend = tdb\n"
        "  idmap config * : range = 1000000-1999999\n"
        "  vfs objects = acl_xattr\n"
        "[data]\n"
        "  path = " + d + "/share\n"
        "  read only = no\n";
    for (const std::string& line : options.shareLines) text += "  " + line + "\n";
    WriteFile(ConfigPath(), text);
}

void SambaServer::AddUsers() {
    const std::string secret = std::string(kPassword) + "\n" + kPassword + "\n";
    for (const char* user : {"root", "alice", "bob"}) {
        ProgramResult added = RunProgram({"smbpasswd", "-c", ConfigPath(), "-a", "-s", user}, secret);
        if (added.exitCode != 0) throw std::runtime_error("smbpasswd -a " + std::string(user) + ": " + added.out);
    }
}

pid_t SambaServer::StartDaemon(const std::string& program) {
    std::vector<std::string> args{program, "--foreground", "--no-process-group", "--configfile=" + ConfigPath(),
                                  "--debug-stdout", "--debuglevel=1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string log = folder_ + "/log/" + program + ".out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // A process group of its own: smbd signals its whole group when it
    // stops, which must not reach the test.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    int error = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
    return pid;
}

void SambaServer::WaitUntilReady(bool winbind) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool smbdUp = false, winbindUp = !winbind;
    while (std::chrono::steady_clock::now() < deadline) {
        for (pid_t pid : daemons_) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                daemons_.erase(std::find(daemons_.begin(), daemons_.end(), pid));
                throw std::runtime_error("a Samba daemon exited at start; its log: " +
                                         ReadFile(folder_ + "/log/smbd.out") +
                                         ReadFile(folder_ + "/log/winbindd.out"));
            }
        }
        if (!smbdUp) smbdUp = PortOpen(445);
        if (!winbindUp) winbindUp = RunProgram({"wbinfo", "--ping"}).exitCode == 0;
        if (smbdUp && winbindUp) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("Samba did not become ready within 20 s");
}

ProgramResult SambaServer::SmbClient(const std::string& user, const std::string& command) const {
    return RunProgram({"smbclient", "--configfile=" + ConfigPath(), "-U", user + "%" + kPassword,
                       "//127.0.0.1/data", "-c", command});
}

ProgramResult SambaServer::SmbCacls(const std::string& path, const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{"smbcacls", "--configfile=" + ConfigPath(), "-U", std::string("root%") + kPassword,
                                  "//127.0.0.1/data", path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProgram(argv);
}

}  // namespace tavrik::test
