// GetNamedSecurityInfoW and SetNamedSecurityInfoW on registry keys,
// services, printers and shares: names, missing objects, unreachable
// computers, the access check and inheritance down registry trees.
#include <gtest/gtest.h>

#include "support/machine_test_helpers.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/process_token.h"

namespace {

using namespace machine_test;

std::wstring Read(const wchar_t* name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info = kOwnerGroupDacl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD error = GetNamedSecurityInfoW(name, type, info, nullptr, nullptr, nullptr, nullptr, &sd);
    if (error != ERROR_SUCCESS) return L"error " + std::to_wstring(error);
    LocalBlock owned(sd);
    return SddlOf(sd, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                          SACL_SECURITY_INFORMATION);
}

// Writes the DACL of `sddl` (and its protection) to the object.
DWORD WriteDacl(const wchar_t* name, SE_OBJECT_TYPE type, const wchar_t* sddl, SECURITY_INFORMATION extra = 0) {
    LocalBlock sd = DescriptorOf(sddl);
    if (!sd) return ERROR_INVALID_PARAMETER;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted);
    std::wstring copy(name);
    return SetNamedSecurityInfoW(copy.data(), type, DACL_SECURITY_INFORMATION | extra, nullptr, nullptr, dacl,
                                 nullptr);
}

class NamedSecurityTest : public ::testing::Test {
protected:
    void SetUp() override {
        winapi::machine::AddComputer(ComputerNamed(L"SRV02"));
        winapi::machine::AddComputer(ComputerNamed(L"DOWN", 0, L"", false));
        winapi::machine::AddService(L"SRV02", L"Backup", L"O:SYG:SYD:(A;;CCLCRPRC;;;WD)(A;;0xf01ff;;;BA)");
    }
    tavrik::test::TempMachine machine{L"WS01"};
    winapi::machine::ScopedCallerIdentity root{0, 0};
};

TEST_F(NamedSecurityTest, OnlyTheRequestedPartsComeBackWithPointersIntoTheBlock) {
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr, sacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(L"Spooler", SE_SERVICE, OWNER_SECURITY_INFORMATION, &owner, &group, &dacl, &sacl,
                                    &sd),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalBlock owned(sd);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(SidText(owner), L"S-1-5-18");
    EXPECT_EQ(group, nullptr);
    EXPECT_EQ(dacl, nullptr);
    const BYTE* start = static_cast<const BYTE*>(sd);
    const BYTE* at = static_cast<const BYTE*>(owner);
    EXPECT_TRUE(at > start && at < start + GetSecurityDescriptorLength(sd));
    EXPECT_EQ(SddlOf(sd, kOwnerGroupDacl), L"O:SY");
}

TEST_F(NamedSecurityTest, ServicesPrintersAndSharesByNameAndByServer) {
    EXPECT_EQ(Read(L"\\\\SRV02\\backup", SE_SERVICE),
              L"O:SYG:SYD:(A;;CCLCRPRC;;;WD)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)");
    EXPECT_EQ(Read(L"Microsoft Print to PDF", SE_PRINTER, OWNER_SECURITY_INFORMATION), L"O:SY");
    EXPECT_EQ(Read(L"\\\\WS01\\C$", SE_LMSHARE, OWNER_SECURITY_INFORMATION), L"O:BA");

    EXPECT_EQ(Read(L"Backup", SE_SERVICE), L"error 1060") << "it lives on SRV02 only";
    EXPECT_EQ(Read(L"NoPrinter", SE_PRINTER), L"error 1801");
    EXPECT_EQ(Read(L"NoShare", SE_LMSHARE), L"error 2310");

    EXPECT_EQ(Read(L"\\\\DOWN\\Spooler", SE_SERVICE), L"error 1722");
    EXPECT_EQ(Read(L"\\\\NOWHERE\\Spooler", SE_SERVICE), L"error 1722");
    EXPECT_EQ(Read(L"\\\\DOWN\\C$", SE_LMSHARE), L"error 53");
    EXPECT_EQ(Read(L"\\\\DOWN\\MACHINE\\SOFTWARE", SE_REGISTRY_KEY), L"error 1722");
}

TEST_F(NamedSecurityTest, SaclNeedsTheEnabledSecurityPrivilege) {
    EXPECT_EQ(Read(L"Spooler", SE_SERVICE, SACL_SECURITY_INFORMATION), L"error 1314");
    ASSERT_EQ(SwitchPrivilege(SE_SECURITY_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(L"Spooler", SE_SERVICE, SACL_SECURITY_INFORMATION), L"S:(AU;FA;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD)");
}

TEST_F(NamedSecurityTest, WritesNeedWriteDacAndAValidOwner) {
    winapi::machine::AddService(L"WS01", L"Strict", L"O:SYG:SYD:(A;;RC;;;BA)");
    EXPECT_EQ(WriteDacl(L"Strict", SE_SERVICE, L"D:(A;;GA;;;WD)"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Read(L"Strict", SE_SERVICE, DACL_SECURITY_INFORMATION), L"D:(A;;RC;;;BA)") << "nothing changed";

    ASSERT_EQ(WriteDacl(L"Spooler", SE_SERVICE, L"D:(A;;RPWPRC;;;BU)(A;;0xf01ff;;;BA)"),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(L"spooler", SE_SERVICE, DACL_SECURITY_INFORMATION), L"D:AI(A;;RPWPRC;;;BU)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)");

    // A SID the token does not carry may become owner only with restore.
    winapi::Bytes stranger = SidBytes(L"S-1-5-21-1-2-3-1100");
    std::wstring name = L"Spooler";
    EXPECT_EQ(SetNamedSecurityInfoW(name.data(), SE_SERVICE, OWNER_SECURITY_INFORMATION, stranger.data(), nullptr,
                                    nullptr, nullptr),
              static_cast<DWORD>(ERROR_INVALID_OWNER));
    // A group of the token is a valid owner without any privilege.
    winapi::Bytes admins = SidBytes(L"S-1-5-32-544");
    EXPECT_EQ(SetNamedSecurityInfoW(name.data(), SE_SERVICE, OWNER_SECURITY_INFORMATION, admins.data(), nullptr,
                                    nullptr, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(L"Spooler", SE_SERVICE, OWNER_SECURITY_INFORMATION), L"O:BA");
    ASSERT_EQ(SwitchPrivilege(SE_RESTORE_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(SetNamedSecurityInfoW(name.data(), SE_SERVICE, OWNER_SECURITY_INFORMATION, stranger.data(), nullptr,
                                    nullptr, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(L"Spooler", SE_SERVICE, OWNER_SECURITY_INFORMATION), L"O:S-1-5-21-1-2-3-1100");
}

TEST_F(NamedSecurityTest, RegistryWritesPropagateToUnprotectedDescendantsOnly) {
    using winapi::machine::AddKey;
    AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Tree", L"O:BAG:SYD:PAI(A;CI;KA;;;BA)");
    AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Tree\\Open\\Deeper");
    AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Tree\\Closed", L"O:BAG:SYD:PAI(A;CI;KA;;;SY)");
    AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Tree\\Closed\\Below");
    ASSERT_EQ(Read(L"MACHINE\\SOFTWARE\\Tree\\Open\\Deeper", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION),
              L"D:AI(A;CIID;KA;;;BA)");

    ASSERT_EQ(WriteDacl(L"machine\\software\\TREE", SE_REGISTRY_KEY, L"D:(A;CI;KA;;;BA)(A;CI;KR;;;BU)",
                        PROTECTED_DACL_SECURITY_INFORMATION),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(L"MACHINE\\SOFTWARE\\Tree\\Open\\Deeper", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION),
              L"D:AI(A;CIID;KA;;;BA)(A;CIID;KR;;;BU)");
    EXPECT_EQ(Read(L"MACHINE\\SOFTWARE\\Tree\\Closed", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION),
              L"D:PAI(A;CI;KA;;;SY)");
    EXPECT_EQ(Read(L"MACHINE\\SOFTWARE\\Tree\\Closed\\Below", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION),
              L"D:AI(A;CIID;KA;;;SY)");
}

TEST_F(NamedSecurityTest, PropagationGoesOnPastADescendantTheCallerMayNotChange) {
    using winapi::machine::AddKey;
    AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Mixed", L"O:BAG:SYD:PAI(A;CI;KA;;;BA)");
    AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Mixed\\A");
    AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Mixed\\B", L"O:SYG:SYD:(A;;KA;;;SY)");
    AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Mixed\\C");
    DWORD error = WriteDacl(L"MACHINE\\SOFTWARE\\Mixed", SE_REGISTRY_KEY, L"D:(A;CI;KA;;;BA)(A;CI;KR;;;WD)",
                            PROTECTED_DACL_SECURITY_INFORMATION);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "B could not be brought up to date";
    EXPECT_EQ(Read(L"MACHINE\\SOFTWARE\\Mixed\\C", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION),
              L"D:AI(A;CIID;KA;;;BA)(A;CIID;KR;;;WD)")
        << "keys after B were still reached";
    ASSERT_EQ(SwitchPrivilege(SE_BACKUP_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(L"MACHINE\\SOFTWARE\\Mixed\\B", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION),
              L"D:(A;;KA;;;SY)");
}

TEST_F(NamedSecurityTest, FilesComeBackWithOnlyTheRequestedParts) {
    std::wstring file = L"C:\\report.txt";
    FILE* f = std::fopen((machine.DriveC() + "/report.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    std::wstring owner = Read(file.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION);
    EXPECT_EQ(owner.substr(0, 2), L"O:");
    EXPECT_EQ(owner.find(L"D:"), std::wstring::npos) << owner;
    EXPECT_EQ(Read(L"C:\\missing.txt", SE_FILE_OBJECT), L"error 2");
    EXPECT_EQ(Read(L"\\\\DOWN\\C$\\x", SE_FILE_OBJECT), L"error 53");
}

TEST_F(NamedSecurityTest, RegistryWriteOnAKeyTheCallerMayNotChange) {
    winapi::machine::ScopedCallerIdentity user(4242, 4242);
    EXPECT_EQ(WriteDacl(L"MACHINE\\SOFTWARE", SE_REGISTRY_KEY, L"D:(A;CI;KA;;;WD)"),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Read(L"MACHINE\\SAM", SE_REGISTRY_KEY), L"error 5");
}

TEST_F(NamedSecurityTest, FaultsAndBadArguments) {
    winapi::machine::InjectFault("SetNamedSecurityInfoW", ERROR_WRITE_FAULT, -1, L"spooler");
    EXPECT_EQ(WriteDacl(L"SPOOLER", SE_SERVICE, L"D:(A;;GA;;;WD)"), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_EQ(WriteDacl(L"SPOOLER", SE_SERVICE, L"D:(A;;GA;;;WD)"), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_EQ(WriteDacl(L"W32Time", SE_SERVICE, L"D:(A;;GA;;;WD)"), static_cast<DWORD>(ERROR_SUCCESS));
    winapi::machine::ClearFaults();
    EXPECT_EQ(WriteDacl(L"SPOOLER", SE_SERVICE, L"D:(A;;GA;;;WD)"), static_cast<DWORD>(ERROR_SUCCESS));

    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_EQ(GetNamedSecurityInfoW(nullptr, SE_SERVICE, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                                    &sd),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetNamedSecurityInfoW(L"Spooler", SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                    nullptr, &sd),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
