// smb.conf as smbd reads it before any client connects: nested include
// files, the % variables known without a session, and the share settings
// that shape how descriptors are kept.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/temp_machine.h"
#include "winapi/machine/machine.h"
#include "winapi/samba/samba_config.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;
namespace wm = winapi::machine;

class SambaConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/tavrik-smbconf-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        folder_ = folder;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = folder_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    const wm::SambaShare* Find(const std::vector<wm::SambaShare>& shares, const std::string& name) {
        for (const auto& share : shares) {
            if (share.name == name) return &share;
        }
        return nullptr;
    }
    std::string folder_;
};

TEST_F(SambaConfigTest, IncludesAreReadWhereTheyStandAndNest) {
    // The inner file's name uses %L, the NetBIOS name set before it; the
    // parameter after the outer include lands in the last section it opened.
    Write("SRV17.conf", "[inner]\n  path = /srv/inner\n");
    Write("outer.conf", "[outer]\n  path = /srv/outer\n  include = " + folder_ + "/%L.conf\n");
    const std::string relative = (folder_ + "/relative.conf").substr(1);  // smbd opens it from /
    Write("relative.conf", "[relative]\n  path = /srv/relative\n");
    const std::string main = Write("smb.conf", "[global]\n  netbios name = srv17\n  include = " + folder_ +
                                                   "/outer.conf\n  vfs objects = acl_xattr\n  include = " + folder_ +
                                                   "/missing.conf\n  include = " + relative +
                                                   "\n  include = " + folder_ + "/client-%m.conf\n");
    const auto shares = wm::ReadSambaShares(main, false);
    ASSERT_EQ(shares.size(), 3u);
    EXPECT_EQ(shares[0].name, "outer");
    EXPECT_EQ(shares[1].name, "inner");
    EXPECT_EQ(shares[1].path, "/srv/inner");
    EXPECT_EQ(shares[2].path, "/srv/relative");
    const auto withAclXattr = wm::ReadSambaShares(main, true);
    ASSERT_EQ(withAclXattr.size(), 1u);
    EXPECT_EQ(withAclXattr[0].name, "inner");
}

TEST_F(SambaConfigTest, AnIncludeLoopIsRefusedByName) {
    const std::string main = Write("smb.conf", "[global]\n  include = " + folder_ + "/smb.conf\n");
    try {
        wm::ReadSambaShares(main, false);
        FAIL() << "an include loop was read";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("include loop"), std::string::npos) << e.what();
    }
}

TEST_F(SambaConfigTest, PathVariablesKnownWithoutAClientAreSubstitutedOthersRefused) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    struct Case {
        const char* path;
        std::string expected;  // "" when the share is left out
        const char* variable;
    };
    const Case cases[] = {
        {"/srv/%L/data", "/srv/SRV17/data", nullptr},  {"/srv/%N", "/srv/SRV17", nullptr},
        {"/srv/%h/", std::string("/srv/") + host, nullptr}, {"/srv/%S", "/srv/share", nullptr},
        {"/home/%U", "", "%U"},                          {"/srv/%m/data", "", "%m"},
        {"/srv/%I", "", "%I"},                           {"/srv/%H", "", "%H"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string main = Write("smb.conf", std::string("[global]\n  netbios name = SRV17\n[share]\n  path = ") +
                                                       c.path + "\n");
        std::vector<std::string> notes;
        const auto shares = wm::ReadSambaShares(main, false, &notes);
        if (c.variable) {
            EXPECT_TRUE(shares.empty());
            ASSERT_EQ(notes.size(), 1u);
            EXPECT_NE(notes[0].find("[share]"), std::string::npos) << notes[0];
            EXPECT_NE(notes[0].find(c.variable), std::string::npos) << notes[0];
        } else {
            ASSERT_EQ(shares.size(), 1u);
            EXPECT_EQ(shares[0].path, c.expected);
            EXPECT_TRUE(notes.empty());
        }
    }
}

TEST_F(SambaConfigTest, AclSettingsComeFromTheShareElseFromGlobal) {
    const std::string main = Write("smb.conf",
                                   "[global]\n  vfs objects = acl_xattr\n  map acl inherit = yes\n"
                                   "  acl_xattr:default acl style = windows\n"
                                   "[inherits]\n  path = /srv/a\n"
                                   "[own]\n  path = /srv/b\n  map acl inherit = no\n"
                                   "  acl_xattr:default acl style = Everyone\n"
                                   "[odd]\n  path = /srv/c\n  acl_xattr:default acl style = nonsense\n"
                                   "[plain]\n  path = /srv/d\n  vfs objects = streams_xattr\n");
    const auto shares = wm::ReadSambaShares(main, true);
    ASSERT_EQ(shares.size(), 3u);
    EXPECT_TRUE(Find(shares, "inherits")->mapAclInherit);
    EXPECT_EQ(Find(shares, "inherits")->defaultAclStyle, wm::DefaultAclStyle::Windows);
    EXPECT_FALSE(Find(shares, "own")->mapAclInherit);
    EXPECT_EQ(Find(shares, "own")->defaultAclStyle, wm::DefaultAclStyle::Everyone);
    EXPECT_EQ(Find(shares, "odd")->defaultAclStyle, wm::DefaultAclStyle::Posix);  // smbd's default
    EXPECT_EQ(Find(shares, "plain"), nullptr);
}

// A drive's record is kept between calls; an edit of the recorded smb.conf
// in place (same path) still reaches it once the file is looked at again.
TEST_F(SambaConfigTest, ADrivesRulesFollowAnEditOfTheRecordedConfiguration) {
    TempMachine machine;
    const std::string drive = fs::canonical(machine.DriveC()).string();
    auto share = [&](const char* style) {
        return "[data]\n  path = " + drive + "\n  vfs objects = acl_xattr\n  acl_xattr:default acl style = " +
               style + "\n";
    };
    const std::string conf = Write("smb.conf", share("windows"));
    wm::SetSambaConfiguration(conf);
    const auto local = wm::LocalComputer();
    auto before = wm::FindDrive(local, L'C');
    ASSERT_TRUE(before && before->samba);
    EXPECT_EQ(before->samba->defaultAclStyle, wm::DefaultAclStyle::Windows);

    ::usleep(20 * 1000);  // a modification time of its own
    Write("smb.conf", share("everyone"));
    ::usleep(1100 * 1000);  // files are looked at for changes once a second
    auto after = wm::FindDrive(local, L'C');
    ASSERT_TRUE(after && after->samba);
    EXPECT_EQ(after->samba->defaultAclStyle, wm::DefaultAclStyle::Everyone);
    Write("smb.conf", "[global]\n");
    wm::SetSambaConfiguration("");
    EXPECT_FALSE(wm::FindDrive(local, L'C')->samba);
}

}  // namespace
}  // namespace tavrik::test
