// End to end on a real smbd: what `tavrik grant`, `deny` and `revoke` set
// on a share decides what a Samba user can open over SMB, on a file and on
// a tree with inheritance.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "winapi/samba/samba_server.h"

namespace tavrik::test {
namespace {

class SambaAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string skip;
        server_ = SambaServer::Start({}, &skip);
        if (!server_) GTEST_SKIP() << skip;
        database_ = server_->Folder() + "/machine.db";
        Tavrik({"machine", "init", "--name", "SAMBATEST", "--drive-c", server_->ShareDirectory()});
        Tavrik({"machine", "samba-config", server_->ConfigPath()});
    }

    void Tavrik(std::vector<std::string> args) {
        args.insert(args.begin(), TAVRIK_BINARY);
        args.insert(args.begin() + 2, {"--machine", database_});
        ProgramResult run = RunProgram(args);
        ASSERT_EQ(run.exitCode, 0) << run.out;
    }

    bool AliceReads(const std::string& path) {
        ProgramResult read = server_->SmbClient("alice", "get " + path + " /dev/null");
        return read.exitCode == 0 && read.out.find("NT_STATUS_") == std::string::npos;
    }

    void Write(const std::string& relative, mode_t mode) {
        const std::string path = server_->ShareDirectory() + "/" + relative;
        std::ofstream(path) << "secret\n";
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }

    std::unique_ptr<SambaServer> server_;
    std::string database_;
};

constexpr const char* kAlice = "S-1-22-1-30001";

TEST_F(SambaAccessTest, GrantOpensAFileToASambaUserAndDenyOrRevokeCloseItAgain) {
    Write("secret.txt", 0600);
    ASSERT_FALSE(AliceReads("secret.txt"));

    Tavrik({"grant", "C:\\secret.txt", kAlice, "read"});
    EXPECT_TRUE(AliceReads("secret.txt"));

    Tavrik({"deny", "C:\\secret.txt", kAlice, "read"});
    EXPECT_FALSE(AliceReads("secret.txt"));

    Tavrik({"revoke", "C:\\secret.txt", kAlice});
    EXPECT_FALSE(AliceReads("secret.txt"));
}

TEST_F(SambaAccessTest, AnInheritableGrantReachesOldFilesAndFilesAliceCreatesOverSmb) {
    const std::string tree = server_->ShareDirectory() + "/tree";
    ASSERT_EQ(::mkdir(tree.c_str(), 0700), 0);
    Write("tree/old.txt", 0600);
    ASSERT_FALSE(AliceReads("tree/old.txt"));

    Tavrik({"grant", "C:\\tree", kAlice, "change", "--inherit", "ci,oi", "--recurse"});
    EXPECT_TRUE(AliceReads("tree/old.txt"));

    const std::string local = server_->Folder() + "/upload.txt";
    std::ofstream(local) << "from alice\n";
    ProgramResult put = server_->SmbClient("alice", "put " + local + " tree/new.txt");
    ASSERT_EQ(put.exitCode, 0) << put.out;
    // smbd gave the new file what the tree passes on.
    ProgramResult acl = server_->SmbCacls("tree/new.txt", {});
    EXPECT_NE(acl.out.find("Unix User\\alice:ALLOWED/I/"), std::string::npos) << acl.out;
}

}  // namespace
}  // namespace tavrik::test
