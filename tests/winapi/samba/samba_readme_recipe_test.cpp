// The README's Samba recipe, run line by line against a private smbd: the
// commands are read from README.md, so that the recipe cannot drift from
// what works. Inside the test's own mount namespace /etc/samba/smb.conf,
// /srv and /var/lib are private; only the two password prompts are
// answered on the command line instead.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "winapi/samba/samba_server.h"

namespace tavrik::test {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
    std::stringstream buffer;
    buffer << std::ifstream(path).rdbuf();
    return buffer.str();
}

// The code blocks of the README's Samba section: the smb.conf lines, then
// the commands.
std::vector<std::vector<std::string>> RecipeBlocks() {
    std::ifstream readme(std::string(TAVRIK_SOURCE_DIR) + "/README.md");
    std::vector<std::vector<std::string>> blocks;
    std::string line;
    bool inSection = false, inBlock = false;
    while (std::getline(readme, line)) {
        if (line.rfind("## ", 0) == 0) {
            if (inSection) break;
            inSection = line == "## On a Samba file server";
            continue;
        }
        if (!inSection) continue;
        if (line.rfind("```", 0) == 0) {
            inBlock = !inBlock;
            if (inBlock) blocks.emplace_back();
            continue;
        }
        if (inBlock && !line.empty()) blocks.back().push_back(line);
    }
    return blocks;
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
}

// Undoes the test's mounts, so that later tests of the same process see
// the host's /srv, /var/lib and smb.conf again.
struct Mounts {
    std::vector<std::string> targets;
    ~Mounts() {
        for (auto it = targets.rbegin(); it != targets.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    }
};

TEST(SambaReadmeRecipe, EveryStepWorksAsWrittenAndAliceGetsIn) {
    const auto blocks = RecipeBlocks();
    ASSERT_EQ(blocks.size(), 2u) << "the recipe's smb.conf and command blocks were not found in README.md";
    std::string skip;
    auto server = SambaServer::Start({}, &skip);
    if (!server) GTEST_SKIP() << skip;

    // The server's own settings, with [data] as the README writes it, in
    // the place the recipe names and the place smbd reads.
    std::string config = ReadText(server->ConfigPath());
    config = config.substr(0, config.find("[data]"));
    for (const std::string& line : blocks[0]) config += line + "\n";
    std::ofstream(server->ConfigPath(), std::ios::trunc) << config;
    Mounts mounts;
    for (const char* directory : {"/srv", "/var/lib"}) {
        fs::create_directories(directory);
        ASSERT_EQ(::mount("tmpfs", directory, "tmpfs", 0, "mode=0755"), 0) << directory;
        mounts.targets.push_back(directory);
    }
    ASSERT_EQ(::mount(server->ConfigPath().c_str(), "/etc/samba/smb.conf", nullptr, MS_BIND, nullptr), 0);
    mounts.targets.push_back("/etc/samba/smb.conf");
    const std::string binary = TAVRIK_BINARY;
    const char* hostPath = std::getenv("PATH");
    const std::string path = binary.substr(0, binary.rfind('/')) + ":" + (hostPath ? hostPath : "/usr/bin:/bin");
    ::setenv("PATH", path.c_str(), 1);

    bool granted = false;
    for (std::string line : blocks[1]) {
        SCOPED_TRACE(line);
        if (line.rfind("sudo ", 0) == 0) line = line.substr(5);
        if (line.rfind("apt ", 0) == 0) continue;  // the packages are here already
        Replace(line, "smbpasswd -a", "smbpasswd -s -a");
        Replace(line, "-U alice ", std::string("-U alice%") + SambaServer::kPassword + " ");
        if (line.rfind("smbclient", 0) == 0) {
            // Before the grant alice may not even list the directory.
            ASSERT_TRUE(granted);
        }
        const std::string secret = std::string(SambaServer::kPassword) + "\n" + SambaServer::kPassword + "\n";
        ProgramResult ran = RunProgram({"/bin/sh", "-c", line}, secret);
        EXPECT_EQ(ran.exitCode, 0) << ran.out;
        if (line.rfind("mkdir", 0) == 0) {
            // A server's directory that only root may enter.
            ASSERT_EQ(::chmod("/srv/data/Projects", 0700), 0);
            ProgramResult refused = server->SmbClient("alice", "ls Projects\\*");
            EXPECT_NE(refused.out.find("NT_STATUS_ACCESS_DENIED"), std::string::npos) << refused.out;
        }
        if (line.find("tavrik grant") != std::string::npos) granted = true;
        if (line.rfind("smbclient", 0) == 0) {
            EXPECT_EQ(ran.out.find("NT_STATUS"), std::string::npos) << ran.out;
        }
        if (line.find("tavrik list") != std::string::npos) {
            EXPECT_NE(ran.out.find("alice"), std::string::npos) << ran.out;
        }
    }
    EXPECT_TRUE(granted);
}

}  // namespace
}  // namespace tavrik::test
