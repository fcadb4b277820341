// On the Samba server itself, account names and SIDs are winbindd's: every
// passdb and BUILTIN account reads as `wbinfo` reads it, both ways, and a
// tree created over SMB lists with names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/samba/samba_server.h"
#include "winapi/win32.h"

namespace tavrik::test {
namespace {

namespace wm = winapi::machine;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

TEST(SambaAccountsTest, NamesAndSidsAreWinbindsAndListingsShowNames) {
    std::string skip;
    auto server = SambaServer::Start({}, &skip);
    if (!server) GTEST_SKIP() << skip;
    TempMachine machine;
    wm::MapDrive(L"TESTPC", L'S', server->ShareDirectory());
    wm::SetSambaConfiguration(server->ConfigPath());

    // Every passdb user ("name:uid:full name" lines), then BUILTIN ones.
    std::vector<std::string> names;
    for (const std::string& line : Lines(RunProgram({"pdbedit", "--configfile=" + server->ConfigPath(), "-L"}).out)) {
        names.push_back(line.substr(0, line.find(':')));
    }
    ASSERT_GE(names.size(), 3u) << "root, alice and bob";
    for (const char* alias : {"BUILTIN\\Administrators", "BUILTIN\\Users", "BUILTIN\\Guests"}) {
        names.push_back(alias);
    }
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        // "S-1-5-21-... SID_USER (1)"
        std::istringstream byName(RunProgram({"wbinfo", "-n", name}).out);
        std::string sidText, typeName, typeNumber;
        byName >> sidText >> typeName >> typeNumber;
        ASSERT_EQ(sidText.rfind("S-1-", 0), 0u) << name;

        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sidSize = sizeof sid, domainSize = 256;
        wchar_t domain[256];
        SID_NAME_USE use = SidTypeUnknown;
        std::wstring wide(name.begin(), name.end());
        ASSERT_TRUE(LookupAccountNameW(nullptr, wide.data(), sid, &sidSize, domain, &domainSize, &use));
        LPWSTR text = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidW(sid, &text));
        EXPECT_EQ(Narrow(text), sidText);
        LocalFree(text);
        EXPECT_EQ("(" + std::to_string(use) + ")", typeNumber);

        // "DOMAIN\name 1"
        std::string expected = Lines(RunProgram({"wbinfo", "-s", sidText}).out).at(0);
        wchar_t account[256], accountDomain[256];
        DWORD accountSize = 256, accountDomainSize = 256;
        ASSERT_TRUE(LookupAccountSidW(nullptr, sid, account, &accountSize, accountDomain, &accountDomainSize, &use));
        EXPECT_EQ(Narrow(accountDomain) + "\\" + Narrow(account) + " " + std::to_string(use), expected);
    }

    // A file alice creates over SMB belongs to her passdb account, and a
    // listing names it.
    const std::string local = server->Folder() + "/upload.txt";
    std::ofstream(local) << "hello\n";
    const std::string drop = server->ShareDirectory() + "/drop";
    ASSERT_EQ(::mkdir(drop.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(drop.c_str(), 0777), 0);
    ProgramResult put = server->SmbClient("alice", "put " + local + " drop/made_by_alice.txt");
    ASSERT_EQ(put.exitCode, 0) << put.out;
    ProgramResult listing =
        RunProgram({TAVRIK_BINARY, "list", "S:\\drop\\made_by_alice.txt", "--machine", machine.DatabasePath(), "--format",
                    "text", "--what", "dacl,owner"});
    ASSERT_EQ(listing.exitCode, 0) << listing.out;
    EXPECT_NE(listing.out.find("\\alice"), std::string::npos) << listing.out;
    EXPECT_EQ(listing.out.find("S-1-5-21-"), std::string::npos) << listing.out;
}

}  // namespace
}  // namespace tavrik::test

namespace tavrik::test {
namespace {

TEST(SambaAccountsTest, InitFromSambaMakesTheServerTheLocalComputerWithItsShares) {
    std::string skip;
    auto server = SambaServer::Start({}, &skip);
    if (!server) GTEST_SKIP() << skip;
    const std::string database = server->Folder() + "/server.db";
    ProgramResult init = RunProgram({TAVRIK_BINARY, "machine", "--machine", database, "init", "--from-samba",
                                     server->ConfigPath()});
    ASSERT_EQ(init.exitCode, 0) << init.out;

    // alice's SID without its RID is the server's machine SID.
    std::string aliceSid = RunProgram({"wbinfo", "-n", "alice"}).out;
    aliceSid = aliceSid.substr(0, aliceSid.find(' '));
    const std::string machineSid = aliceSid.substr(0, aliceSid.rfind('-'));
    ProgramResult show = RunProgram({TAVRIK_BINARY, "machine", "--machine", database, "show"});
    EXPECT_NE(show.out.find("Computer SAMBATEST (local)"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("SID " + machineSid + "\n"), std::string::npos) << show.out;

    // Its share reaches the shared directory, kept as smbd keeps it.
    const std::string path = server->ShareDirectory() + "/by_share.txt";
    std::ofstream(path) << "shared\n";
    ::chmod(path.c_str(), 0600);
    ProgramResult grant = RunProgram({TAVRIK_BINARY, "grant", "\\\\SAMBATEST\\data\\by_share.txt", "--machine",
                                      database, "alice", "read"});
    ASSERT_EQ(grant.exitCode, 0) << grant.out;
    ProgramResult read = server->SmbClient("alice", "get by_share.txt /dev/null");
    EXPECT_EQ(read.out.find("NT_STATUS_"), std::string::npos) << read.out;
}

}  // namespace
}  // namespace tavrik::test
