// The test server itself: smbd answers on loopback with Unix permissions in
// force, and winbindd answers for the passdb users.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "winapi/samba/samba_server.h"

namespace tavrik::test {
namespace {

TEST(SambaServerTest, ServesTheShareWithUnixPermissionsAndWinbindAnswers) {
    std::string skip;
    auto server = SambaServer::Start({}, &skip);
    if (!server) GTEST_SKIP() << skip;

    const std::string open = server->ShareDirectory() + "/open.txt";
    const std::string closed = server->ShareDirectory() + "/closed.txt";
    std::ofstream(open) << "open\n";
    std::ofstream(closed) << "closed\n";
    ::chmod(open.c_str(), 0644);
    ::chmod(closed.c_str(), 0600);

    ProgramResult read = server->SmbClient("alice", "get open.txt /dev/stdout");
    EXPECT_EQ(read.exitCode, 0) << read.out;
    EXPECT_NE(read.out.find("open"), std::string::npos) << read.out;
    ProgramResult refused = server->SmbClient("alice", "get closed.txt /dev/stdout");
    EXPECT_NE(refused.out.find("NT_STATUS_ACCESS_DENIED"), std::string::npos) << refused.out;

    ProgramResult name = RunProgram({"wbinfo", "-n", "alice"});
    EXPECT_EQ(name.exitCode, 0) << name.out;
    EXPECT_NE(name.out.find("S-1-5-21-"), std::string::npos) << name.out;
}

}  // namespace
}  // namespace tavrik::test
