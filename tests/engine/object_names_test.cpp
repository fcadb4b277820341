// Object names: the computer they name, their long form, and registry paths.
#include "engine_fixture.h"
#include "winapi/machine/admin.h"

namespace tavrik::test {
namespace {

namespace admin = winapi::machine;

class ObjectNamesTest : public EngineTest {
protected:
    ObjectNamesTest() {
        admin::ComputerSpec server;
        server.name = L"SERVER7";
        server.role = 3;
        admin::AddComputer(server);
        admin::AddShare(L"SERVER7", L"data", machine_.MakeDirectory("server7-data"));
        admin::AddKey(L"SERVER7", L"MACHINE\\SOFTWARE\\Vendor");
    }
};

TEST_F(ObjectNamesTest, TheComputerComesFromUncNamesInEveryForm) {
    auto job = NewJob();
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"\\\\server7\\data\\x", L"server7"},
        {L"\\\\?\\UNC\\server7\\data\\x", L"server7"},
        {L"\\\\?\\unc\\server7\\data", L"server7"},
        {L"\\\\server7", L""},
        {L"c:\\x", L""},
        {L"\\\\?\\C:\\x", L""},
        {L"c:", L""},
    };
    for (const auto& [name, server] : cases) {
        ASSERT_EQ(job->SetObject(name, SE_FILE_OBJECT), RTN_OK);
        EXPECT_EQ(job->m_serverName, server) << std::wstring(name).size();
        EXPECT_EQ(job->m_objectName, name);
    }
    ASSERT_EQ(job->SetObject(L"\\\\server7\\Spooler", SE_SERVICE), RTN_OK);
    EXPECT_EQ(job->m_serverName, L"server7");
    ASSERT_EQ(job->SetObject(L"\\\\server7\\machine\\software", SE_REGISTRY_KEY), RTN_OK);
    EXPECT_EQ(job->m_serverName, L"server7");
}

TEST_F(ObjectNamesTest, AMappedDriveNamesItsServerButKeepsTheLetter) {
    admin::MapNetworkDrive(L"TESTPC", L'Z', L"\\\\server7\\data");
    auto job = NewJob();
    ASSERT_EQ(job->SetObject(L"z:\\projects", SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(job->m_objectName, L"z:\\projects");
    EXPECT_EQ(job->m_serverName, L"server7");
    ASSERT_EQ(job->SetObject(L"\\\\?\\Z:\\projects", SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(job->m_serverName, L"server7");
    // Only files are looked up among the drives.
    ASSERT_EQ(job->SetObject(L"z:\\projects", SE_LMSHARE), RTN_OK);
    EXPECT_EQ(job->m_serverName, L"");
    ASSERT_EQ(job->SetObject(L"c:\\projects", SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(job->m_serverName, L"");
}

TEST_F(ObjectNamesTest, AFailingDriveEnumerationLeavesTheNameLocal) {
    admin::MapNetworkDrive(L"TESTPC", L'Z', L"\\\\server7\\data");
    admin::InjectFault("WNetOpenEnumW", ERROR_NO_NETWORK);
    auto job = NewJob();
    ASSERT_EQ(job->SetObject(L"z:\\projects", SE_FILE_OBJECT), RTN_OK);
    EXPECT_EQ(job->m_serverName, L"");
}

TEST_F(ObjectNamesTest, PreparationGivesFileNamesTheirLongForm) {
    MakeDirectory("dir");
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"\\\\server7\\data\\dir", L"\\\\?\\UNC\\server7\\data\\dir"},
        {L"c:\\dir", L"\\\\?\\c:\\dir"},
        {L"\\\\?\\c:\\dir", L"\\\\?\\c:\\dir"},
    };
    for (const auto& [given, expected] : cases) {
        auto job = NewJob();
        job->SetObject(given, SE_FILE_OBJECT);
        EXPECT_EQ(job->Run(), RTN_OK);
        EXPECT_EQ(job->m_objectName, expected);
    }
    auto service = NewJob();
    service->SetObject(L"spooler", SE_SERVICE);
    EXPECT_EQ(service->Run(), RTN_OK);
    EXPECT_EQ(service->m_objectName, L"spooler");
}

TEST_F(ObjectNamesTest, RegistryPathsTakeTheirCanonicalForm) {
    auto job = NewJob();
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"HKLM\\Software\\", L"machine\\Software"},
        {L"hkey_current_user", L"current_user"},
        {L"Machine\\Software", L"Machine\\Software"},
        {L"HKEY_USERS\\.DEFAULT\\\\", L"users\\.DEFAULT"},
        {L"hkcr\\.txt", L"classes_root\\.txt"},
        {L"\\\\server7\\hklm\\software\\vendor", L"\\\\server7\\machine\\software\\vendor"},
    };
    for (const auto& [given, canonical] : cases) {
        std::wstring path = given;
        HKEY key = nullptr;
        EXPECT_EQ(job->OpenRegistryPath(path, key), RTN_OK) << path.size();
        EXPECT_EQ(path, canonical);
        ASSERT_NE(key, nullptr);
        RegCloseKey(key);
    }
}

TEST_F(ObjectNamesTest, BadRegistryPathsAreRefusedWithTheirRewrittenText) {
    auto job = NewJob();
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"\\\\server7\\hkcu\\x", L"\\\\server7\\current_user\\x"},
        {L"\\\\server7\\hkcr", L"\\\\server7\\classes_root"},
        {L"\\\\server7\\", L"\\\\server7"},
        {L"hkcc\\x", L"hkcc\\x"},
        {L"HKEY_CURRENT_CONFIG", L"HKEY_CURRENT_CONFIG"},
        {L"", L""},
    };
    for (const auto& [given, rewritten] : cases) {
        std::wstring path = given;
        HKEY key = nullptr;
        EXPECT_EQ(job->OpenRegistryPath(path, key), RTN_ERR_REG_PATH);
        EXPECT_EQ(path, rewritten);
        EXPECT_EQ(key, nullptr);
    }
}

TEST_F(ObjectNamesTest, RegistryOpenFailuresKeepTheSystemError) {
    auto job = NewJob();
    std::wstring path = L"hklm\\software\\no such key";
    HKEY key = nullptr;
    EXPECT_EQ(job->OpenRegistryPath(path, key), RTN_ERR_REG_OPEN);
    EXPECT_EQ(job->m_lastOsError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(key, nullptr);

    admin::SetComputerReachable(L"SERVER7", false);
    path = L"\\\\server7\\hklm\\software";
    EXPECT_EQ(job->OpenRegistryPath(path, key), RTN_ERR_REG_CONNECT);
    EXPECT_EQ(job->m_lastOsError, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));

    path = L"\\\\nosuchpc\\hklm";
    EXPECT_EQ(job->OpenRegistryPath(path, key), RTN_ERR_REG_CONNECT);
}

TEST_F(ObjectNamesTest, APreparedRegistryJobNamesItsKeyCanonically) {
    auto job = NewJob();
    job->SetObject(L"HKLM\\Software\\", SE_REGISTRY_KEY);
    EXPECT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(job->m_objectName, L"machine\\Software");

    auto missing = NewJob();
    missing->SetObject(L"HKLM\\Software\\Nothing", SE_REGISTRY_KEY);
    EXPECT_EQ(missing->Run(), RTN_ERR_REG_OPEN);
    EXPECT_EQ(missing->m_objectName, L"machine\\Software\\Nothing");
}

}  // namespace
}  // namespace tavrik::test
