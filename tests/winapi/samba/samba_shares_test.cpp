// Share descriptors on the Samba server are smbd's own (share_info.tdb):
// `sharesec --view` and `tavrik list --type share` agree after a change on
// either side.
#include <gtest/gtest.h>

#include "winapi/samba/samba_server.h"

namespace tavrik::test {
namespace {

TEST(SambaSharesTest, SharesecAndTavrikSeeTheSameShareDescriptorBothWays) {
    std::string skip;
    auto server = SambaServer::Start({}, &skip);
    if (!server) GTEST_SKIP() << skip;
    const std::string database = server->Folder() + "/server.db";
    auto tavrik = [&](std::vector<std::string> args) {
        args.insert(args.begin(), TAVRIK_BINARY);
        args.insert(args.begin() + 2, {"--machine", database});
        return RunProgram(args);
    };
    auto sharesec = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"sharesec", "--configfile=" + server->ConfigPath(), "data"});
        return RunProgram(args);
    };
    ProgramResult init = RunProgram({TAVRIK_BINARY, "machine", "--machine", database, "init", "--from-samba",
                                     server->ConfigPath()});
    ASSERT_EQ(init.exitCode, 0) << init.out;

    ProgramResult view = sharesec({"--view"});
    EXPECT_NE(view.out.find("ACL:S-1-1-0:ALLOWED/0x0/FULL"), std::string::npos) << view.out;
    ProgramResult list = tavrik({"list", "data", "--type", "share", "--format", "text"});
    EXPECT_NE(list.out.find("Everyone"), std::string::npos) << list.out;

    // Tavrik to smbd: a grant shows in sharesec.
    ProgramResult grant = tavrik({"grant", "data", "--type", "share", "alice", "read"});
    ASSERT_EQ(grant.exitCode, 0) << grant.out;
    view = sharesec({"--view"});
    std::string alice = RunProgram({"wbinfo", "-n", "alice"}).out;
    alice = alice.substr(0, alice.find(' '));
    EXPECT_NE(view.out.find("ACL:" + alice + ":ALLOWED/0x0/READ"), std::string::npos) << view.out;

    // smbd to Tavrik: sharesec's change shows in the listing.
    ProgramResult added = sharesec({"--add", "S-1-22-1-30002:DENIED/0/FULL"});
    ASSERT_EQ(added.exitCode, 0) << added.out;
    list = tavrik({"list", "data", "--type", "share", "--format", "text"});
    EXPECT_NE(list.out.find("Unix User\\bob"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("\\alice"), std::string::npos) << list.out;
}

}  // namespace
}  // namespace tavrik::test
