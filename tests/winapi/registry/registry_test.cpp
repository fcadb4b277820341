// Registry keys: opening, creating, enumerating, their descriptors and the
// access check on every open.
#include <gtest/gtest.h>

#include <vector>

#include "support/machine_test_helpers.h"
#include "support/sddl_access.h"
#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "winapi/machine/descendant_failures.h"
#include "winapi/machine/process_token.h"

namespace {

using namespace machine_test;

std::vector<std::wstring> SubKeys(HKEY key) {
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[512];
        DWORD length = 512;
        LSTATUS result = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(result, ERROR_SUCCESS);
        if (result != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

std::wstring KeySddl(const wchar_t* path, SECURITY_INFORMATION info = kOwnerGroupDacl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD error = GetNamedSecurityInfoW(path, SE_REGISTRY_KEY, info, nullptr, nullptr, nullptr, nullptr, &sd);
    if (error != ERROR_SUCCESS) return L"error " + std::to_wstring(error);
    LocalBlock owned(sd);
    return SddlOf(sd, info);
}

class RegistryTest : public ::testing::Test {
protected:
    tavrik::test::TempMachine machine{L"WS01"};
    winapi::machine::ScopedCallerIdentity root{0, 0};
};

TEST_F(RegistryTest, KeysAreCaseInsensitiveCasePreservingAndEnumeratedInUpperCaseOrder) {
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Vendor\\beta");
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Vendor\\Alpha");
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Vendor\\_under");
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Vendor\\Zeta");
    HKEY vendor = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\VENDOR", 0, KEY_READ, &vendor), ERROR_SUCCESS);
    // '_' sorts after the letters once names are upper-cased.
    EXPECT_EQ(SubKeys(vendor), (std::vector<std::wstring>{L"Alpha", L"beta", L"Zeta", L"_under"}));
    RegCloseKey(vendor);
}

TEST_F(RegistryTest, CaseIsFoldedBeyondAscii) {
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\\u00c4rger\\\u0394elta");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\\u00e4RGER\\\u03b4ELTA", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(KeySddl(L"machine\\SOFTWARE\\\u00e4rger", OWNER_SECURITY_INFORMATION), L"O:BA");
}

TEST_F(RegistryTest, MissingKeysAndBadPaths) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Nothing\\Here", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\\\Microsoft", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x12345), L"x", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(KeySddl(L"MACHINE\\SOFTWARE\\Nothing"), L"error 2");
    EXPECT_EQ(KeySddl(L"NOTAROOT\\SOFTWARE"), L"error 87");
}

TEST_F(RegistryTest, EnumerationReportsShortBuffersAndTheEnd) {
    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &software), ERROR_SUCCESS);
    wchar_t name[8];
    DWORD length = 5;  // "Classes" needs 8 with its terminator
    EXPECT_EQ(RegEnumKeyExW(software, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = 8;
    EXPECT_EQ(RegEnumKeyExW(software, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), L"Classes");
    EXPECT_EQ(length, 7u);
    length = 8;
    EXPECT_EQ(RegEnumKeyExW(software, 99, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(software);

    HKEY queryOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_QUERY_VALUE, &queryOnly), ERROR_SUCCESS);
    length = 8;
    EXPECT_EQ(RegEnumKeyExW(queryOnly, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    RegCloseKey(queryOnly);
    EXPECT_EQ(RegCloseKey(queryOnly), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, CreateReportsItsDispositionAndNewKeysInheritFromTheirParent) {
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Shop", L"O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;WD)(A;;KA;;;SY)");
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Shop\\Orders\\2024", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    // The container-inherit ACEs arrive; the one without CI does not.
    std::wstring dacl = KeySddl(L"MACHINE\\SOFTWARE\\Shop\\Orders\\2024", DACL_SECURITY_INFORMATION);
    EXPECT_EQ(dacl, L"D:AI(A;CIID;KA;;;BA)(A;CIID;KR;;;WD)");

    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"software\\shop\\ORDERS", 0, nullptr, 0, KEY_READ, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(SubKeys(key), std::vector<std::wstring>{L"2024"});
    RegCloseKey(key);
}

TEST_F(RegistryTest, EveryOpenIsCheckedAgainstTheKeysDescriptor) {
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Locked", L"O:SYG:SYD:P(A;;KA;;;SY)");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Locked", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    // Creating below it needs KEY_CREATE_SUB_KEY there.
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Locked\\Sub", 0, nullptr, 0, KEY_READ, nullptr, &key,
                              nullptr),
              ERROR_ACCESS_DENIED);

    // With backup semantics the enabled backup privilege opens it for reading.
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Locked", 0, nullptr, REG_OPTION_BACKUP_RESTORE,
                              KEY_READ, nullptr, &key, &disposition),
              ERROR_ACCESS_DENIED)
        << "not before the privilege is enabled";
    ASSERT_EQ(SwitchPrivilege(SE_BACKUP_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Locked", 0, nullptr, REG_OPTION_BACKUP_RESTORE, KEY_READ,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    BYTE buffer[512];
    DWORD needed = 0;
    EXPECT_TRUE(GetKernelObjectSecurity(key, OWNER_SECURITY_INFORMATION, buffer, sizeof buffer, &needed));
    RegCloseKey(key);
}

TEST_F(RegistryTest, RestorePrivilegeCreatesBelowAKeyTheCallerMayNotWrite) {
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Locked", L"O:SYG:SYD:PAI(A;CI;KA;;;SY)");
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(SwitchPrivilege(SE_RESTORE_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Locked\\Restored", 0, nullptr,
                              REG_OPTION_BACKUP_RESTORE, KEY_READ, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    // The new key is the caller's, and inherits SYSTEM's entry.
    EXPECT_EQ(KeySddl(L"MACHINE\\SOFTWARE\\Locked\\Restored", OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
              L"O:S-1-22-1-0D:AI(A;CIID;KA;;;SY)");
}

TEST_F(RegistryTest, CreateWithSecurityAttributesMergesTheGivenDacl) {
    LocalBlock sd = DescriptorOf(L"D:P(A;;KA;;;BA)(A;;KR;;;AU)");
    ASSERT_TRUE(sd);
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), sd.get(), FALSE};
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Given", 0, nullptr, 0, KEY_READ, &attributes, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(KeySddl(L"MACHINE\\SOFTWARE\\Given", DACL_SECURITY_INFORMATION), L"D:PAI(A;;KA;;;BA)(A;;KR;;;AU)");
}

TEST_F(RegistryTest, HandlesCarryTheirAccessIntoGetKernelObjectSecurity) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ENUMERATE_SUB_KEYS, &key), ERROR_SUCCESS);
    BYTE buffer[1024];
    DWORD needed = 0;
    EXPECT_FALSE(GetKernelObjectSecurity(key, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, READ_CONTROL, &key), ERROR_SUCCESS);
    ASSERT_TRUE(GetKernelObjectSecurity(key, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed));
    EXPECT_EQ(SddlOf(buffer, DACL_SECURITY_INFORMATION), KeySddl(L"MACHINE\\SOFTWARE", DACL_SECURITY_INFORMATION));
    RegCloseKey(key);
}

TEST_F(RegistryTest, OrdinaryUserCannotOpenTheAccountDatabase) {
    winapi::machine::ScopedCallerIdentity user(4242, 4242);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SAM", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_SET_VALUE, &key), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, RemoteRegistryNeedsAReachableComputerAndOnlyOffersTwoRoots) {
    winapi::machine::AddComputer(ComputerNamed(L"SRV02"));
    winapi::machine::AddKey(L"SRV02", L"MACHINE\\SOFTWARE\\OnlyThere");
    HKEY remote = nullptr;
    ASSERT_EQ(RegConnectRegistryW(L"\\\\SRV02", HKEY_LOCAL_MACHINE, &remote), ERROR_SUCCESS);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(remote, L"SOFTWARE\\OnlyThere", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\OnlyThere", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    RegCloseKey(remote);
    EXPECT_EQ(KeySddl(L"\\\\srv02\\machine\\SOFTWARE\\OnlyThere", OWNER_SECURITY_INFORMATION), L"O:BA");

    EXPECT_EQ(RegConnectRegistryW(L"\\\\SRV02", HKEY_CURRENT_USER, &remote), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegConnectRegistryW(L"\\\\NOWHERE", HKEY_LOCAL_MACHINE, &remote), RPC_S_SERVER_UNAVAILABLE);
    winapi::machine::SetComputerReachable(L"SRV02", false);
    EXPECT_EQ(RegConnectRegistryW(L"SRV02", HKEY_LOCAL_MACHINE, &remote), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(KeySddl(L"\\\\SRV02\\MACHINE\\SOFTWARE"), L"error 1722");
}

TEST_F(RegistryTest, InjectedFaultHitsTheNamedCall) {
    winapi::machine::InjectFault("RegOpenKeyExW", ERROR_REGISTRY_IO_FAILED, 2);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM", 0, KEY_READ, &key), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace

namespace {

// A key whose recomputed DACL would pass 64 KiB cannot take what its parent
// hands down: that is a failure of the write, with the key named, and its
// siblings are still brought up to date.
TEST_F(RegistryTest, APropagationThatDoesNotFitFailsNamesTheKeyAndGoesOn) {
    for (const wchar_t* key : {L"MACHINE\\SOFTWARE\\Vendor\\A", L"MACHINE\\SOFTWARE\\Vendor\\B",
                               L"MACHINE\\SOFTWARE\\Vendor\\C"}) {
        winapi::machine::AddKey(L"WS01", key);
    }
    auto setDacl = [](const wchar_t* key, const std::wstring& sddl) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr));
        LocalBlock owned(sd);
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
        return SetNamedSecurityInfoW(const_cast<LPWSTR>(key), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                     nullptr, dacl, nullptr);
    };
    // 36-byte ACEs: 1,000 explicit ones on B and 1,000 inheritable ones
    // above it make 72,000 bytes, past the 65,535 one list holds.
    auto aces = [](const wchar_t* flags, int first) {
        std::wstring text;
        for (int i = first; i < first + 1000; ++i) {
            text += L"(A;" + std::wstring(flags) + L";KA;;;S-1-5-21-1-2-3-" + std::to_wstring(i) + L")";
        }
        return text;
    };
    ASSERT_EQ(setDacl(L"MACHINE\\SOFTWARE\\Vendor\\B", L"D:" + aces(L"", 5000)), static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<std::wstring> reported;
    winapi::machine::SetDescendantFailureObserver(
        [&](const std::wstring& object, DWORD) { reported.push_back(object); });

    DWORD error = setDacl(L"MACHINE\\SOFTWARE\\Vendor", L"D:P" + aces(L"OICI", 1000));
    winapi::machine::SetDescendantFailureObserver(nullptr);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALLOTTED_SPACE_EXCEEDED));
    EXPECT_EQ(reported, (std::vector<std::wstring>{L"MACHINE\\SOFTWARE\\Vendor\\B"}));
    for (const wchar_t* sibling : {L"MACHINE\\SOFTWARE\\Vendor\\A", L"MACHINE\\SOFTWARE\\Vendor\\C"}) {
        EXPECT_NE(KeySddl(sibling, DACL_SECURITY_INFORMATION).find(L"(A;OICIID;KA;;;S-1-5-21-1-2-3-1999)"),
                  std::wstring::npos);
    }
}

// RegSetKeySecurity stores what it is given on the key its handle holds,
// if the handle was opened for that part: no entries come from the parent,
// none go down to the keys below, and a SACL the descriptor lacks goes.
TEST_F(RegistryTest, RegSetKeySecurityStoresThePartsAsGivenWithTheHandlesAccess) {
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Vendor",
                            L"O:BAG:SYD:PAI(A;CI;KA;;;BA)S:AI(AU;CISA;KR;;;WD)");
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Vendor\\Child");
    const wchar_t* vendor = L"MACHINE\\SOFTWARE\\Vendor";
    const std::wstring childBefore = KeySddl(L"MACHINE\\SOFTWARE\\Vendor\\Child", kOwnerGroupDacl);
    ASSERT_EQ(SwitchPrivilege(SE_SECURITY_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(SwitchPrivilege(SE_RESTORE_NAME, false), static_cast<DWORD>(ERROR_SUCCESS));
    const SECURITY_INFORMATION all = kOwnerGroupDacl | SACL_SECURITY_INFORMATION;
    const struct {
        REGSAM access;
        SECURITY_INFORMATION info;
        const wchar_t* given;
        LSTATUS result;
        const wchar_t* stored;  // the key's owner, group, DACL and SACL after the call
    } cases[] = {
        {KEY_READ, DACL_SECURITY_INFORMATION, L"D:(A;;KA;;;BA)", ERROR_ACCESS_DENIED, nullptr},
        {WRITE_DAC, OWNER_SECURITY_INFORMATION, L"O:S-1-5-21-1-2-3-1000", ERROR_ACCESS_DENIED, nullptr},
        {WRITE_DAC, SACL_SECURITY_INFORMATION, L"S:", ERROR_ACCESS_DENIED, nullptr},
        // An owner the caller is not, without the restore privilege.
        {WRITE_OWNER, OWNER_SECURITY_INFORMATION, L"O:S-1-5-21-1-2-3-1000", ERROR_INVALID_OWNER, nullptr},
        // Neither protected nor auto-inherited: stored as it stands.
        {WRITE_DAC, DACL_SECURITY_INFORMATION, L"D:(A;CI;KA;;;BA)(A;CIID;KR;;;BU)", ERROR_SUCCESS,
         L"O:BAG:SYD:(A;CI;KA;;;BA)(A;CIID;KR;;;BU)S:AI(AU;CISA;KR;;;WD)"},
        {WRITE_DAC, DACL_SECURITY_INFORMATION, L"D:AI(A;CI;KA;;;BA)", ERROR_SUCCESS,
         L"O:BAG:SYD:AI(A;CI;KA;;;BA)S:AI(AU;CISA;KR;;;WD)"},
        // No SACL in the descriptor: the key keeps none (not an empty one).
        {ACCESS_SYSTEM_SECURITY, SACL_SECURITY_INFORMATION, L"D:", ERROR_SUCCESS, L"O:BAG:SYD:AI(A;CI;KA;;;BA)"},
        {ACCESS_SYSTEM_SECURITY, SACL_SECURITY_INFORMATION, L"S:P(AU;FA;KA;;;WD)", ERROR_SUCCESS,
         L"O:BAG:SYD:AI(A;CI;KA;;;BA)S:P(AU;FA;KA;;;WD)"},
        {WRITE_OWNER, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, L"O:BAG:BA", ERROR_SUCCESS,
         L"O:BAG:BAD:AI(A;CI;KA;;;BA)S:P(AU;FA;KA;;;WD)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        const std::wstring before = KeySddl(vendor, all);
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor", 0, c.access, &key), ERROR_SUCCESS);
        LocalBlock sd = DescriptorOf(c.given);
        ASSERT_TRUE(sd);
        EXPECT_EQ(RegSetKeySecurity(key, c.info, sd.get()), c.result);
        RegCloseKey(key);
        EXPECT_EQ(KeySddl(vendor, all), c.stored ? std::wstring(c.stored) : before);
    }
    // The key below inherited from the old DACL and still does.
    EXPECT_EQ(KeySddl(L"MACHINE\\SOFTWARE\\Vendor\\Child", kOwnerGroupDacl), childBefore);

    LocalBlock sd = DescriptorOf(L"D:(A;;KA;;;BA)");
    EXPECT_EQ(RegSetKeySecurity(reinterpret_cast<HKEY>(0x12345), DACL_SECURITY_INFORMATION, sd.get()),
              ERROR_INVALID_HANDLE);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor", 0, WRITE_DAC, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

// A named write recomputes below the key only the lists it sets: the
// SACLs below a DACL write stay as they are (a write that did not ask for
// ACCESS_SYSTEM_SECURITY must not change them), and an owner write hands
// nothing down.
TEST_F(RegistryTest, PropagationRecomputesOnlyTheListsTheWriteSets) {
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Vendor", L"O:BAG:SYD:PAI(A;CI;KA;;;BA)S:AI(AU;CISA;KR;;;WD)");
    // A child whose lists are both stale: neither holds what the key hands down.
    const std::wstring child = L"O:BAG:SYD:AI(A;;KR;;;BU)S:(AU;SA;KA;;;BU)";
    winapi::machine::AddKey(L"WS01", L"MACHINE\\SOFTWARE\\Vendor\\Child", child);
    const SECURITY_INFORMATION all = kOwnerGroupDacl | SACL_SECURITY_INFORMATION;
    ASSERT_EQ(SwitchPrivilege(SE_SECURITY_NAME, true), static_cast<DWORD>(ERROR_SUCCESS));
    using tavrik::test::WriteSddl;
    ASSERT_EQ(WriteSddl(L"MACHINE\\SOFTWARE\\Vendor", SE_REGISTRY_KEY, L"O:BU", OWNER_SECURITY_INFORMATION),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(KeySddl(L"MACHINE\\SOFTWARE\\Vendor\\Child", all), child);
    ASSERT_EQ(WriteSddl(L"MACHINE\\SOFTWARE\\Vendor", SE_REGISTRY_KEY, L"D:PAI(A;CI;KA;;;BA)(A;CI;KR;;;AU)",
                        DACL_SECURITY_INFORMATION),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(KeySddl(L"MACHINE\\SOFTWARE\\Vendor\\Child", all),
              L"O:BAG:SYD:AI(A;;KR;;;BU)(A;CIID;KA;;;BA)(A;CIID;KR;;;AU)S:(AU;SA;KA;;;BU)");
}

}  // namespace
