// Complete jobs through Run on directory and registry trees, local and on
// another computer, compared as SDDL with what Windows produces.
#include <filesystem>

#include "network_fixture.h"

namespace tavrik::test {
namespace {

namespace admin = winapi::machine;

constexpr SECURITY_INFORMATION kAll = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                      DACL_SECURITY_INFORMATION;

// The entries of an ACL's SDDL, without its flags: printers carry no
// inheritance, so their flags say nothing about the job.
std::wstring AcesOf(const std::wstring& sddl) {
    const size_t first = sddl.find(L'(');
    return first == std::wstring::npos ? std::wstring() : sddl.substr(first);
}

class EndToEndTest : public NetworkTest {
protected:
    // C:\tree (protected, full control for SYSTEM and Administrators) with
    // a.txt, B and B\c.txt inheriting from it, all owned by SYSTEM.
    void MakeTree(const std::string& base = "tree") {
        top = MakeDirectory(base);
        ASSERT_EQ(SetSddl(top, SE_FILE_OBJECT, L"O:SYG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", kAll), ERROR_SUCCESS);
        a = MakeFile(base + "/a.txt");
        b = MakeDirectory(base + "/B");
        c = MakeFile(base + "/B/c.txt");
        for (const auto& child : {a, b, c}) {
            ASSERT_EQ(SetSddl(child, SE_FILE_OBJECT, L"O:SYG:SYD:",
                              kAll | UNPROTECTED_DACL_SECURITY_INFORMATION),
                      ERROR_SUCCESS);
        }
    }

    DWORD RunJob(CTavrik& job, const std::wstring& name, DWORD type, DWORD recursion) {
        job.SetObject(name, type);
        job.SetRecursion(recursion);
        return job.Run();
    }

    std::wstring top, a, b, c;
};

TEST_F(EndToEndTest, TheTypicalJobGrantsReadExecuteOnAWholeTree) {
    MakeTree();
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"BUILTIN\\Users", FALSE, L"read_ex", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    ASSERT_EQ(RunJob(*job, top, SE_FILE_OBJECT, RECURSE_CONTAINERS | RECURSE_OBJECTS), RTN_OK);
    EXPECT_EQ(DaclSddl(top, SE_FILE_OBJECT), L"D:PAI(A;OICI;0x1200a9;;;BU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    EXPECT_EQ(DaclSddl(a, SE_FILE_OBJECT),
              L"D:AI(A;OICI;0x1200a9;;;BU)(A;ID;0x1200a9;;;BU)(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
    EXPECT_EQ(DaclSddl(b, SE_FILE_OBJECT),
              L"D:AI(A;OICI;0x1200a9;;;BU)(A;OICIID;0x1200a9;;;BU)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)");
    EXPECT_EQ(DaclSddl(c, SE_FILE_OBJECT), L"D:AI(A;OICI;0x1200a9;;;BU)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;BU)"
                                           L"(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
    EXPECT_EQ(MessagesStartingWith(L"Processing ACL of: <").size(), 4u);
    EXPECT_EQ(messages.back(), L"\nTavrik finished successfully.");
}

TEST_F(EndToEndTest, ADenyOnTheTopIsInheritedBelow) {
    MakeTree();
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"OLDDOM\\jdoe", FALSE, L"write", 0, FALSE, DENY_ACCESS, ACL_DACL);
    ASSERT_EQ(RunJob(*job, top, SE_FILE_OBJECT, RECURSE_NONE), RTN_OK);
    EXPECT_EQ(DaclSddl(top, SE_FILE_OBJECT), L"D:PAI(D;OICI;DCLCRPCR;;;" + oldJdoe + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    EXPECT_EQ(DaclSddl(c, SE_FILE_OBJECT), L"D:AI(D;ID;DCLCRPCR;;;" + oldJdoe + L")(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
}

TEST_F(EndToEndTest, AnAuditEntryIsInheritedBelow) {
    MakeTree();
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"Everyone", FALSE, L"full", 0, FALSE, SET_AUDIT_SUCCESS, ACL_SACL);
    ASSERT_EQ(RunJob(*job, top, SE_FILE_OBJECT, RECURSE_NONE), RTN_OK);
    EXPECT_EQ(Sddl(top, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION), L"S:AI(AU;OICISA;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD)");
    EXPECT_EQ(Sddl(a, SE_FILE_OBJECT, SACL_SECURITY_INFORMATION), L"S:AI(AU;IDSA;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD)");
    EXPECT_EQ(DaclSddl(a, SE_FILE_OBJECT), L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
}

TEST_F(EndToEndTest, OwnersChangeOnEveryObjectOfTheTree) {
    MakeTree();
    auto job = NewJob();
    job->SetAction(ACTION_SET_OWNER);
    job->SetOwner(L"BUILTIN\\Administrators", FALSE);
    ASSERT_EQ(RunJob(*job, top, SE_FILE_OBJECT, RECURSE_CONTAINERS | RECURSE_OBJECTS), RTN_OK);
    for (const auto& object : {top, a, b, c}) {
        EXPECT_EQ(Sddl(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION), L"O:BAG:SY");
    }
}

TEST_F(EndToEndTest, ProtectingADirectoryKeepsWhatItInherited) {
    MakeTree();
    auto job = NewJob();
    job->SetAction(ACTION_SET_PROTECTION);
    job->SetDaclProtection(PROT_PROTECT_KEEP);
    ASSERT_EQ(RunJob(*job, b, SE_FILE_OBJECT, RECURSE_NONE), RTN_OK);
    EXPECT_EQ(DaclSddl(b, SE_FILE_OBJECT), L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    EXPECT_EQ(DaclSddl(c, SE_FILE_OBJECT), L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
}

TEST_F(EndToEndTest, ResettingChildrenLeavesTheTopAndMakesChildrenInheritAgain) {
    MakeTree();
    ASSERT_EQ(SetSddl(a, SE_FILE_OBJECT, L"D:(A;;FR;;;BU)", DACL_SECURITY_INFORMATION), ERROR_SUCCESS);
    ASSERT_EQ(SetSddl(b, SE_FILE_OBJECT, L"D:P(A;OICI;FA;;;" + alice + L")", DACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    ASSERT_EQ(SetSddl(top, SE_FILE_OBJECT, L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;FR;;;WD)"), ERROR_SUCCESS);
    auto job = NewJob();
    job->SetAction(ACTION_RESET_CHILDREN);
    job->SetResetDacl(TRUE);
    ASSERT_EQ(RunJob(*job, top + L"\\", SE_FILE_OBJECT, RECURSE_NONE), RTN_OK);
    EXPECT_EQ(DaclSddl(top, SE_FILE_OBJECT), L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;FR;;;WD)");
    EXPECT_EQ(DaclSddl(a, SE_FILE_OBJECT), L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
    EXPECT_EQ(DaclSddl(b, SE_FILE_OBJECT), L"D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)");
    EXPECT_EQ(DaclSddl(c, SE_FILE_OBJECT), L"D:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)");
    EXPECT_FALSE(HasMessage(L"Processing ACL of: <\\\\?\\" + top + L">"));
    EXPECT_EQ(job->m_recursion, RECURSE_NONE);
}

TEST_F(EndToEndTest, ATrusteeReplaceMovesExplicitEntriesOnly) {
    MakeTree();
    ASSERT_EQ(SetSddl(top, SE_FILE_OBJECT, L"D:PAI(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;" + oldJdoe + L")"),
              ERROR_SUCCESS);
    ASSERT_EQ(SetSddl(a, SE_FILE_OBJECT, L"D:(A;;FA;;;" + oldJdoe + L")",
                      DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    auto job = NewJob();
    job->SetAction(ACTION_TRUSTEE);
    job->SetTrusteeDacl(TRUE);
    job->AddTrustee(L"OLDDOM\\jdoe", FALSE, L"NEWDOM\\jdoe", FALSE, TRUSTEE_REPLACE);
    ASSERT_EQ(RunJob(*job, a, SE_FILE_OBJECT, RECURSE_NONE), RTN_OK);
    EXPECT_EQ(DaclSddl(a, SE_FILE_OBJECT),
              L"D:AI(A;;FA;;;" + newJdoe + L")(A;ID;FA;;;SY)(A;ID;0x1200a9;;;" + oldJdoe + L")");
}

TEST_F(EndToEndTest, ADomainMigrationCarriesPermissionsAcrossTheTree) {
    MakeTree();
    ASSERT_EQ(SetSddl(top, SE_FILE_OBJECT,
                      L"D:PAI(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;" + oldStaff + L")(A;;FR;;;" + oldOnly + L")"),
              ERROR_SUCCESS);
    ASSERT_EQ(SetSddl(c, SE_FILE_OBJECT, L"D:(A;;FA;;;" + oldJdoe + L")",
                      DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION),
              ERROR_SUCCESS);
    auto job = NewJob();
    job->SetAction(ACTION_DOMAIN);
    job->SetDomainDacl(TRUE);
    job->AddDomain(L"OLDDOM", L"NEWDOM", TRUSTEE_REPLACE);
    ASSERT_EQ(RunJob(*job, top, SE_FILE_OBJECT, RECURSE_CONTAINERS | RECURSE_OBJECTS), RTN_OK);
    EXPECT_EQ(DaclSddl(top, SE_FILE_OBJECT),
              L"D:PAI(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;" + newStaff + L")(A;;FR;;;" + oldOnly + L")");
    EXPECT_EQ(DaclSddl(c, SE_FILE_OBJECT),
              L"D:AI(A;;FA;;;" + newJdoe + L")(A;ID;FA;;;SY)(A;ID;0x1301bf;;;" + newStaff + L")");
    EXPECT_EQ(MessagesStartingWith(L"   Account <retired> was not found in domain <NEWDOM>.").size(), 1u);
}

TEST_F(EndToEndTest, RegistryTreesGetGrantsAndResets) {
    admin::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor", L"O:BAG:SYD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)");
    admin::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\A\\C");
    admin::AddKey(L"TESTPC", L"MACHINE\\SOFTWARE\\Vendor\\B",
                 L"O:BAG:SYD:P(A;CI;KA;;;" + alice + L")(A;CI;KR;;;BA)");
    auto grant = NewJob();
    grant->SetAction(ACTION_ADD_ACE);
    grant->AddACE(L"BUILTIN\\Users", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    ASSERT_EQ(RunJob(*grant, L"HKLM\\Software\\Vendor", SE_REGISTRY_KEY, RECURSE_NONE), RTN_OK);
    EXPECT_TRUE(HasMessage(L"Processing ACL of: <machine\\Software\\Vendor>"));
    EXPECT_EQ(DaclSddl(L"MACHINE\\SOFTWARE\\Vendor", SE_REGISTRY_KEY),
              L"D:PAI(A;CI;KR;;;BU)(A;CI;KA;;;SY)(A;CI;KA;;;BA)");
    EXPECT_EQ(DaclSddl(L"MACHINE\\SOFTWARE\\Vendor\\A\\C", SE_REGISTRY_KEY),
              L"D:AI(A;CIID;KR;;;BU)(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)");
    EXPECT_EQ(DaclSddl(L"MACHINE\\SOFTWARE\\Vendor\\B", SE_REGISTRY_KEY),
              L"D:P(A;CI;KA;;;" + alice + L")(A;CI;KR;;;BA)");

    auto reset = NewJob();
    reset->SetAction(ACTION_RESET_CHILDREN);
    reset->SetResetDacl(TRUE);
    ASSERT_EQ(RunJob(*reset, L"hklm\\software\\vendor", SE_REGISTRY_KEY, RECURSE_NONE), RTN_OK);
    EXPECT_EQ(DaclSddl(L"MACHINE\\SOFTWARE\\Vendor\\B", SE_REGISTRY_KEY),
              L"D:AI(A;CIID;KR;;;BU)(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)");
    EXPECT_EQ(DaclSddl(L"MACHINE\\SOFTWARE\\Vendor", SE_REGISTRY_KEY),
              L"D:PAI(A;CI;KR;;;BU)(A;CI;KA;;;SY)(A;CI;KA;;;BA)");
}

TEST_F(EndToEndTest, RemoteTreesAreChangedOnTheirComputer) {
    AddComputer(L"SERVER7", 3, L"OLDDOM");
    admin::AddShare(L"SERVER7", L"data", machine_.MakeDirectory("server7"));
    admin::AddKey(L"SERVER7", L"MACHINE\\SOFTWARE\\Remote", L"O:BAG:SYD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)");
    admin::AddKey(L"SERVER7", L"MACHINE\\SOFTWARE\\Remote\\Child");

    const std::wstring remoteDir = L"\\\\SERVER7\\data\\dir";
    std::filesystem::create_directories(machine_.Folder() + "/server7/dir");
    ASSERT_EQ(SetSddl(remoteDir, SE_FILE_OBJECT, L"O:SYG:SYD:PAI(A;OICI;FA;;;SY)", kAll), ERROR_SUCCESS);

    auto files = NewJob();
    files->SetAction(ACTION_ADD_ACE);
    files->AddACE(L"OLDDOM\\Staff", FALSE, L"change", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    ASSERT_EQ(RunJob(*files, remoteDir, SE_FILE_OBJECT, RECURSE_CONTAINERS), RTN_OK);
    EXPECT_EQ(files->m_serverName, L"SERVER7");
    EXPECT_EQ(DaclSddl(remoteDir, SE_FILE_OBJECT), L"D:PAI(A;OICI;0x1301bf;;;" + oldStaff + L")(A;OICI;FA;;;SY)");

    auto keys = NewJob();
    keys->SetAction(ACTION_ADD_ACE);
    keys->AddACE(L"OLDDOM\\Staff", FALSE, L"read", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    ASSERT_EQ(RunJob(*keys, L"\\\\SERVER7\\HKLM\\SOFTWARE\\Remote", SE_REGISTRY_KEY, RECURSE_CONTAINERS), RTN_OK);
    EXPECT_TRUE(HasMessage(L"Processing ACL of: <\\\\SERVER7\\machine\\SOFTWARE\\Remote\\Child>"));
    EXPECT_EQ(DaclSddl(L"\\\\SERVER7\\MACHINE\\SOFTWARE\\Remote\\Child", SE_REGISTRY_KEY),
              L"D:AI(A;CI;KR;;;" + oldStaff + L")(A;CIID;KR;;;" + oldStaff + L")(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)");
}

TEST_F(EndToEndTest, PrinterDocumentRightsBecomeTwoEntries) {
    admin::AddPrinter(L"TESTPC", L"Laser", L"O:SYG:SYD:(A;;LCSWSDRCWDWO;;;BA)");
    auto job = NewJob();
    job->SetAction(ACTION_ADD_ACE);
    job->AddACE(L"BUILTIN\\Users", FALSE, L"man_docs", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    ASSERT_EQ(RunJob(*job, L"Laser", SE_PRINTER, RECURSE_CONTAINERS | RECURSE_OBJECTS), RTN_OK);
    EXPECT_EQ(AcesOf(DaclSddl(L"Laser", SE_PRINTER)),
              L"(A;OIIO;RPWPSDRCWDWO;;;BU)(A;CIIO;RC;;;BU)(A;;LCSWSDRCWDWO;;;BA)");
    // A second run on the same job gives the same result.
    messages.clear();
    ASSERT_EQ(job->Run(), RTN_OK);
    EXPECT_EQ(MessagesStartingWith(L"Processing ACL of: <Laser>").size(), 1u);
    EXPECT_EQ(AcesOf(DaclSddl(L"Laser", SE_PRINTER)),
              L"(A;OIIO;RPWPSDRCWDWO;;;BU)(A;CIIO;RC;;;BU)(A;;LCSWSDRCWDWO;;;BA)");
}

}  // namespace
}  // namespace tavrik::test
