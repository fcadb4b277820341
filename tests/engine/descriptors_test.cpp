// Reading and writing descriptors of every object type through a CSD.
#include "network_fixture.h"
#include "objects/csd.h"

namespace tavrik::test {
namespace {

namespace admin = winapi::machine;

class DescriptorsTest : public NetworkTest {
protected:
    DescriptorsTest() {
        admin::AddService(L"TESTPC", L"Tavrik", L"O:SYG:SYD:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCLCRPRC;;;IU)");
        admin::AddPrinter(L"TESTPC", L"Laser", L"O:SYG:SYD:(A;;LCSWSDRCWDWO;;;BA)(A;OIIO;RPWPSDRCWDWO;;;BA)");
        admin::AddShare(L"TESTPC", L"Public", machine_.MakeDirectory("public"), L"O:BAG:SYD:(A;;0x1200a9;;;WD)");
        admin::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor", L"O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)");
        file = MakeFile("data/file.txt");
        EXPECT_EQ(SetSddl(file, SE_FILE_OBJECT, L"O:BAG:SYD:P(A;;FA;;;SY)(A;;FR;;;BU)",
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
                  ERROR_SUCCESS);
    }

    std::unique_ptr<CTavrik> job = NewJob();
    std::wstring file;
};

TEST_F(DescriptorsTest, ReadsOnlyTheRequestedPartsOfEveryType) {
    const std::pair<std::wstring, DWORD> objects[] = {
        {L"\\\\?\\" + file, SE_FILE_OBJECT}, {L"Tavrik", SE_SERVICE}, {L"Laser", SE_PRINTER},
        {L"machine\\SOFTWARE\\Vendor", SE_REGISTRY_KEY}, {L"Public", SE_LMSHARE}};
    for (const auto& [name, type] : objects) {
        CSD sd(job.get());
        ASSERT_EQ(sd.GetSD(name, type, DACL_SECURITY_INFORMATION), RTN_OK) << type;
        EXPECT_NE(sd.m_dacl, nullptr) << type;
        EXPECT_EQ(sd.m_owner, nullptr) << type;
        EXPECT_EQ(sd.m_sacl, nullptr) << type;
        EXPECT_TRUE(sd.m_ownsSD);
        EXPECT_TRUE(IsValidSecurityDescriptor(sd.m_sd));

        CSD owner(job.get());
        ASSERT_EQ(owner.GetSD(name, type, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION), RTN_OK) << type;
        EXPECT_NE(owner.m_owner, nullptr) << type;
        EXPECT_NE(owner.m_group, nullptr) << type;
        EXPECT_EQ(owner.m_dacl, nullptr) << type;
    }
}

TEST_F(DescriptorsTest, RegistryKeysAreReadUnderTheirCanonicalName) {
    CSD sd(job.get());
    ASSERT_EQ(sd.GetSD(L"hklm\\software\\vendor\\", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION), RTN_OK);
    EXPECT_EQ(sd.m_objectName, L"machine\\software\\vendor");
    ACL_SIZE_INFORMATION size = {};
    ASSERT_TRUE(GetAclInformation(sd.m_dacl, &size, sizeof(size), AclSizeInformation));
    EXPECT_EQ(size.AceCount, 2u);
}

TEST_F(DescriptorsTest, AFileThatCannotBeOpenedIsReadByName) {
    admin::InjectFault("CreateFileW", ERROR_SHARING_VIOLATION);
    CSD sd(job.get());
    ASSERT_EQ(sd.GetSD(L"\\\\?\\" + file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION), RTN_OK);
    ACL_SIZE_INFORMATION size = {};
    ASSERT_TRUE(GetAclInformation(sd.m_dacl, &size, sizeof(size), AclSizeInformation));
    EXPECT_EQ(size.AceCount, 2u);
}

TEST_F(DescriptorsTest, ReadFailuresKeepTheSystemError) {
    CSD missing(job.get());
    EXPECT_EQ(missing.GetSD(L"\\\\?\\C:\\data\\nothing.txt", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION),
              RTN_ERR_READ_SD);
    EXPECT_EQ(missing.m_lastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(missing.m_sd, nullptr);

    CSD service(job.get());
    EXPECT_EQ(service.GetSD(L"NoSuchService", SE_SERVICE, DACL_SECURITY_INFORMATION), RTN_ERR_READ_SD);
    EXPECT_EQ(service.m_lastError, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));

    CSD key(job.get());
    EXPECT_EQ(key.GetSD(L"hklm\\software\\nothing", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION), RTN_ERR_READ_SD);

    CSD empty(job.get());
    EXPECT_EQ(empty.GetSD(L"", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION), RTN_ERR_PARAMETER);
    EXPECT_EQ(empty.GetSD(L"x", 0, DACL_SECURITY_INFORMATION), RTN_ERR_PARAMETER);
    EXPECT_EQ(empty.SetSD(L"", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr),
              RTN_ERR_PARAMETER);
}

// A listing's SDDL record takes the descriptor as it was read, without the
// absolute copy: the text must be the copy's, for every way of reading
// (through a handle, by name, a file by name when it cannot be opened) and
// every mix of parts, and a failed read must fail as GetSD's does.
TEST_F(DescriptorsTest, ADescriptorKeptAsReadConvertsAsTheAbsoluteCopyDoes) {
    ASSERT_EQ(SetSddl(file, SE_FILE_OBJECT, L"S:P(AU;SA;FA;;;WD)", SACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    const std::pair<std::wstring, DWORD> objects[] = {
        {L"\\\\?\\" + file, SE_FILE_OBJECT}, {L"Tavrik", SE_SERVICE}, {L"Laser", SE_PRINTER},
        {L"machine\\SOFTWARE\\Vendor", SE_REGISTRY_KEY}, {L"Public", SE_LMSHARE}};
    const SECURITY_INFORMATION mixes[] = {
        DACL_SECURITY_INFORMATION, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
        DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION |
            GROUP_SECURITY_INFORMATION};
    auto sddl = [](const CSD& sd, SECURITY_INFORMATION info) {
        LPWSTR text = nullptr;
        EXPECT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.m_sd, SDDL_REVISION_1, info, &text,
                                                                         nullptr));
        std::wstring result = text ? text : L"<none>";
        LocalFree(text);
        return result;
    };
    for (bool byName : {false, true}) {
        if (byName) admin::InjectFault("CreateFileW", ERROR_SHARING_VIOLATION);
        for (const auto& [name, type] : objects) {
            for (SECURITY_INFORMATION info : mixes) {
                CSD copied(job.get());
                ASSERT_EQ(copied.GetSD(name, type, info), RTN_OK) << type << " " << info;
                CSD asRead(job.get());
                ASSERT_EQ(asRead.GetSDAsRead(name, type, info), RTN_OK) << type << " " << info;
                EXPECT_EQ(asRead.m_dacl, nullptr);
                EXPECT_EQ(sddl(asRead, info), sddl(copied, info)) << type << " " << info << " " << byName;
            }
        }
    }
    CSD missing(job.get());
    EXPECT_EQ(missing.GetSDAsRead(L"\\\\?\\C:\\data\\nothing.txt", SE_FILE_OBJECT, DACL_SECURITY_INFORMATION),
              RTN_ERR_READ_SD);
    EXPECT_EQ(missing.m_lastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(missing.m_sd, nullptr);
}

TEST_F(DescriptorsTest, SaclAccessNeedsTheSecurityPrivilege) {
    admin::SetToken({L"alice", {L"Users"}, {L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege"}});
    CSD sd(job.get());
    EXPECT_EQ(sd.GetSD(L"Tavrik", SE_SERVICE, SACL_SECURITY_INFORMATION), RTN_ERR_PRIVILEGE);
    EXPECT_EQ(sd.m_sd, nullptr);
    EXPECT_EQ(sd.SetSD(L"Tavrik", SE_SERVICE, SACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr),
              RTN_ERR_PRIVILEGE);
    EXPECT_EQ(job->EnablePrivilege(SE_SECURITY_NAME, TRUE), RTN_ERR_PRIVILEGE);
    EXPECT_EQ(job->EnablePrivilege(SE_TAKE_OWNERSHIP_NAME, TRUE), RTN_OK);
    EXPECT_EQ(job->EnablePrivilege(L"SeNoSuchPrivilege", TRUE), RTN_ERR_PRIVILEGE);
}

TEST_F(DescriptorsTest, WritingTheOwnerNeedsOnlyTakeOwnership) {
    admin::SetToken({L"Administrator", {L"Administrators"}, {L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege"}});
    PSID system = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-32-544", &system));
    CSD sd(job.get());
    EXPECT_EQ(sd.SetSD(L"Laser", SE_PRINTER, OWNER_SECURITY_INFORMATION, nullptr, nullptr, system, nullptr), RTN_OK)
        << sd.m_lastError;
    EXPECT_EQ(Sddl(L"Laser", SE_PRINTER, OWNER_SECURITY_INFORMATION), L"O:BA");
    // The CSD holds the caller's SID without owning it.
    EXPECT_EQ(sd.m_owner, system);
    EXPECT_FALSE(sd.m_ownsOwner);
    LocalFree(system);
}

TEST_F(DescriptorsTest, AFreshCsdReadsBeforeItWrites) {
    CSD reader(job.get());
    ASSERT_EQ(reader.GetSD(L"Public", SE_LMSHARE, DACL_SECURITY_INFORMATION), RTN_OK);
    CSD writer(job.get());
    ASSERT_EQ(writer.SetSD(L"Public", SE_LMSHARE, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr),
              RTN_OK);
    EXPECT_EQ(writer.m_objectName, L"Public");
    EXPECT_NE(writer.m_sd, nullptr);
    EXPECT_NE(DaclSddl(L"Public", SE_LMSHARE).find(L"NO_ACCESS_CONTROL"), std::wstring::npos);
}

TEST_F(DescriptorsTest, ProtectionBitsPassThroughToTheWrite) {
    const std::wstring longName = L"\\\\?\\" + file;
    CSD sd(job.get());
    ASSERT_EQ(sd.GetSD(longName, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION), RTN_OK);
    ASSERT_EQ(sd.SetSD(longName, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                       sd.m_dacl, nullptr, nullptr, nullptr),
              RTN_OK);
    const std::wstring unprotected = DaclSddl(file, SE_FILE_OBJECT);
    EXPECT_EQ(unprotected.rfind(L"D:AI(A;;FA;;;SY)(A;;FR;;;BU)", 0), 0u) << std::string(unprotected.begin(), unprotected.end());

    CSD again(job.get());
    ASSERT_EQ(again.GetSD(longName, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION), RTN_OK);
    ASSERT_EQ(again.SetSD(longName, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                          again.m_dacl, nullptr, nullptr, nullptr),
              RTN_OK);
    EXPECT_EQ(DaclSddl(file, SE_FILE_OBJECT).rfind(L"D:PAI(A;;FA;;;SY)(A;;FR;;;BU)", 0), 0u);
}

TEST_F(DescriptorsTest, WriteFailuresKeepTheSystemError) {
    admin::InjectFault("SetNamedSecurityInfoW", ERROR_ACCESS_DENIED);
    CSD sd(job.get());
    ASSERT_EQ(sd.GetSD(L"Tavrik", SE_SERVICE, DACL_SECURITY_INFORMATION), RTN_OK);
    EXPECT_EQ(sd.SetSD(L"Tavrik", SE_SERVICE, DACL_SECURITY_INFORMATION, sd.m_dacl, nullptr, nullptr, nullptr),
              RTN_ERR_WRITE_SD);
    EXPECT_EQ(sd.m_lastError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace tavrik::test
