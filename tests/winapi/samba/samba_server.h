// A real Samba server for one test: smbd and winbindd started from the test
// inside a private mount and network namespace, with a private smb.conf,
// private state directories, private Unix users (alice, bob, group staff)
// that are also passdb users, and the share [data] on 127.0.0.1 only.
// Everything is stopped by process id when the object goes away.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace tavrik::test {

struct ProgramResult {
    int exitCode = -1;
    std::string out;  // standard output and standard error, interleaved
};

// Runs `argv` (argv[0] found on PATH) with `input` on its standard input.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input = {});

struct SambaOptions {
    // Extra lines for the [data] share, e.g. "acl_xattr:ignore system acls = yes".
    std::vector<std::string> shareLines;
    bool winbind = true;
};

class SambaServer {
public:
    static constexpr uid_t kAliceUid = 30001;
    static constexpr uid_t kBobUid = 30002;
    static constexpr gid_t kStaffGid = 30010;  // alice is a member, bob is not
    static constexpr const char* kPassword = "Tavrik-Samba-1";

    // Starts the server. Returns null with `skipReason` set when this host
    // cannot give the test a namespace of its own; throws on any other
    // failure (a server that does not start is a test failure).
    static std::unique_ptr<SambaServer> Start(const SambaOptions& options, std::string* skipReason);
    ~SambaServer();
    SambaServer(const SambaServer&) = delete;
    SambaServer& operator=(const SambaServer&) = delete;

    const std::string& Folder() const { return folder_; }
    std::string ShareDirectory() const { return folder_ + "/share"; }
    std::string ConfigPath() const { return folder_ + "/smb.conf"; }

    // smbclient -U user //127.0.0.1/data -c command
    ProgramResult SmbClient(const std::string& user, const std::string& command) const;
    // smbcacls as root (a passdb user too) on a path relative to the share.
    ProgramResult SmbCacls(const std::string& path, const std::vector<std::string>& arguments) const;

private:
    SambaServer() = default;
    void WriteConfiguration(const SambaOptions& options);
    void AddUsers();
    pid_t StartDaemon(const std::string& program);
    void WaitUntilReady(bool winbind);

    std::string folder_;
    std::vector<pid_t> daemons_;
};

}  // namespace tavrik::test
