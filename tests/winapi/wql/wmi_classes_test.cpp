// The classes of ROOT\CIMV2 reflect the simulated computer as it changes,
// and the real host where only the host knows (system name, disk sizes).
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/temp_machine.h"
#include "winapi/machine/admin.h"
#include "wmi/wmi_query.h"

using Values = std::vector<std::wstring>;

namespace {

class WmiClasses : public ::testing::Test {
protected:
    // The property's non-empty values over the query's results, in order.
    Values Query(const std::wstring& query, const std::wstring& property) {
        std::ostringstream console;
        tavrik::WMIQuery wmi(nullptr, console);
        wmi.Initialize();
        std::wstring output;
        EXPECT_TRUE(wmi.ExecuteQuery(query, property, output)) << console.str();
        Values values;
        size_t start = 0;
        while (!output.empty()) {
            size_t end = output.find(L"\r\n", start);
            values.push_back(output.substr(start, end - start));
            if (end == std::wstring::npos) break;
            start = end + 2;
        }
        return values;
    }
    std::wstring One(const std::wstring& query, const std::wstring& property) {
        Values values = Query(query, property);
        EXPECT_EQ(values.size(), 1u) << testing::PrintToString(query);
        return values.empty() ? std::wstring() : values[0];
    }

    tavrik::test::TempMachine machine_;
};

bool Contains(const Values& values, const std::wstring& value) {
    for (const auto& v : values)
        if (v == value) return true;
    return false;
}

}  // namespace

TEST_F(WmiClasses, OperatingSystemIsTheSimulatedWindows) {
    EXPECT_EQ(One(L"SELECT Version FROM Win32_OperatingSystem", L"Version"), L"10.0.19045");
    EXPECT_EQ(One(L"SELECT * FROM Win32_OperatingSystem", L"BuildNumber"), L"19045");
    EXPECT_EQ(One(L"SELECT * FROM Win32_OperatingSystem", L"Caption"), L"Microsoft Windows 10 Pro");
    EXPECT_EQ(One(L"SELECT * FROM Win32_OperatingSystem", L"Manufacturer"), L"Microsoft Corporation");
    EXPECT_EQ(One(L"SELECT * FROM Win32_OperatingSystem", L"Name").rfind(L"Microsoft Windows 10 Pro|C:\\Windows|", 0),
              0u);
    EXPECT_EQ(One(L"SELECT * FROM Win32_OperatingSystem", L"CSName"), L"TESTPC");
    EXPECT_EQ(One(L"SELECT * FROM Win32_OperatingSystem", L"ProductType"), L"1");
    winapi::machine::SetComputerVersion(L"TESTPC", 6, 1, 2);
    EXPECT_EQ(One(L"SELECT * FROM Win32_OperatingSystem", L"Caption"), L"Microsoft Windows 7 Professional");
    EXPECT_EQ(One(L"SELECT * FROM Win32_OperatingSystem", L"Version").rfind(L"6.1.", 0), 0u);
}

TEST_F(WmiClasses, ComputerSystemFollowsTheSimulatedComputer) {
    EXPECT_EQ(One(L"SELECT * FROM Win32_ComputerSystem", L"Name"), L"TESTPC");
    EXPECT_EQ(One(L"SELECT * FROM Win32_ComputerSystem", L"Domain"), L"WORKGROUP");
    EXPECT_EQ(One(L"SELECT * FROM Win32_ComputerSystem", L"Workgroup"), L"WORKGROUP");
    EXPECT_EQ(One(L"SELECT * FROM Win32_ComputerSystem", L"DomainRole"), L"0");
    EXPECT_EQ(Query(L"SELECT * FROM Win32_ComputerSystem WHERE PartOfDomain = TRUE", L"Name"), Values());
    const std::wstring processors = One(L"SELECT * FROM Win32_ComputerSystem", L"NumberOfLogicalProcessors");
    EXPECT_GT(std::stoi(processors), 0);
}

TEST_F(WmiClasses, ServicesPrintersAndSharesAppearAsTheyAreAdded) {
    EXPECT_EQ(Query(L"SELECT Name FROM Win32_Service WHERE Name = 'Tavrik'", L"Name"), Values());
    winapi::machine::AddService(L"TESTPC", L"Tavrik");
    winapi::machine::AddPrinter(L"TESTPC", L"Laser");
    EXPECT_EQ(Query(L"SELECT Name FROM Win32_Service WHERE Name = 'tavrik'", L"Name"), Values({L"Tavrik"}));
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service", L"Name").size(), 5u);
    EXPECT_TRUE(Contains(Query(L"SELECT * FROM Win32_Printer", L"DeviceID"), L"Laser"));

    // A share shows where its directory lies on the computer's drives.
    winapi::machine::AddShare(L"TESTPC", L"Data", machine_.MakeDirectory("c/Data/Sub"));
    winapi::machine::AddShare(L"TESTPC", L"Outside", machine_.MakeDirectory("elsewhere"));
    EXPECT_EQ(One(L"SELECT * FROM Win32_Share WHERE Name = 'Data'", L"Path"), L"C:\\Data\\Sub");
    EXPECT_EQ(One(L"SELECT * FROM Win32_Share WHERE Name = 'C$'", L"Path"), L"C:\\");
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Share WHERE Name = 'Outside'", L"Path"), Values());
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Share WHERE Path IS NULL", L"Name"), Values({L"IPC$", L"Outside"}));
    EXPECT_EQ(One(L"SELECT * FROM Win32_Share WHERE Name = 'Data'", L"Type"), L"0");
    EXPECT_EQ(One(L"SELECT * FROM Win32_Share WHERE Name = 'C$'", L"Type"), L"2147483648");
}

TEST_F(WmiClasses, ServicesCarryStateStartModeAndPath) {
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service WHERE State = 'Running'", L"Name").size(), 4u);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Service WHERE StartMode = 'Auto'", L"Name").size(), 4u);
    EXPECT_EQ(One(L"SELECT * FROM Win32_Service WHERE Name = 'Spooler'", L"PathName"),
              L"C:\\Windows\\System32\\spoolsv.exe");
    winapi::machine::AddService(L"TESTPC", L"Tavrik");
    EXPECT_EQ(One(L"SELECT PathName FROM Win32_Service WHERE Name = 'Tavrik'", L"PathName"),
              L"C:\\Windows\\System32\\Tavrik.exe");
}

// A documented property the simulation has no value for reads as NULL; a
// name no class documents still makes the query invalid.
TEST_F(WmiClasses, DocumentedPropertiesWithoutValueReadAsNull) {
    EXPECT_EQ(Query(L"SELECT Default FROM Win32_Printer", L"Default"), Values());
    EXPECT_EQ(Query(L"SELECT Name FROM Win32_Service WHERE ProcessId IS NULL", L"Name").size(), 4u);
    EXPECT_EQ(Query(L"SELECT * FROM Win32_OperatingSystem", L"LastBootUpTime"), Values());
    std::ostringstream console;
    tavrik::WMIQuery wmi(nullptr, console);
    wmi.Initialize();
    std::wstring output;
    EXPECT_FALSE(wmi.ExecuteQuery(L"SELECT Colour FROM Win32_Printer", L"Colour", output));
}

TEST_F(WmiClasses, ProcessorBiosAndNetworkConfigurationExist) {
    const Values processors = Query(L"SELECT * FROM Win32_Processor", L"NumberOfLogicalProcessors");
    ASSERT_FALSE(processors.empty());
    long logical = 0;
    for (const auto& count : processors) logical += std::stol(count);
    EXPECT_EQ(logical, sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_EQ(Query(L"SELECT * FROM Win32_Processor", L"DeviceID")[0], L"CPU0");
    EXPECT_EQ(One(L"SELECT * FROM Win32_BIOS", L"PrimaryBIOS"), L"True");
    // Every adapter names the simulated computer, whatever the host has.
    for (const auto& host : Query(L"SELECT * FROM Win32_NetworkAdapterConfiguration", L"DNSHostName"))
        EXPECT_EQ(host, L"TESTPC");
    EXPECT_EQ(Query(L"SELECT * FROM Win32_NetworkAdapterConfiguration WHERE Description = 'lo'", L"Index"), Values());
}

TEST_F(WmiClasses, AccountsAreSplitIntoUsersAndGroups) {
    winapi::machine::AddAccount(L"TESTPC", L"bob", winapi::machine::AccountKind::User);
    winapi::machine::AddAccount(L"TESTPC", L"Auditors", winapi::machine::AccountKind::Alias);
    const Values users = Query(L"SELECT * FROM Win32_UserAccount", L"Caption");
    EXPECT_TRUE(Contains(users, L"TESTPC\\alice"));
    EXPECT_TRUE(Contains(users, L"TESTPC\\bob"));
    EXPECT_FALSE(Contains(users, L"TESTPC\\Auditors"));
    const Values groups = Query(L"SELECT * FROM Win32_Group", L"Caption");
    EXPECT_TRUE(Contains(groups, L"TESTPC\\Auditors"));
    // BUILTIN groups are listed under the computer's name, as Windows does.
    EXPECT_TRUE(Contains(groups, L"TESTPC\\Administrators"));
    EXPECT_EQ(One(L"SELECT * FROM Win32_Group WHERE Name = 'Administrators'", L"SID"), L"S-1-5-32-544");
    for (const auto& caption : groups) EXPECT_EQ(caption.find(L"NT AUTHORITY"), std::wstring::npos) << caption;
    EXPECT_EQ(Query(L"SELECT * FROM Win32_UserAccount WHERE LocalAccount = FALSE", L"Name"), Values());
    const std::wstring sid = One(L"SELECT * FROM Win32_UserAccount WHERE Name = 'bob'", L"SID");
    EXPECT_EQ(sid.rfind(L"S-1-5-21-", 0), 0u) << sid;
}

TEST_F(WmiClasses, DisksReportTheirRealSizes) {
    winapi::machine::AddShare(L"TESTPC", L"Public", machine_.MakeDirectory("public"));
    winapi::machine::MapNetworkDrive(L"TESTPC", L'P', L"\\\\TESTPC\\Public");
    winapi::machine::MapNetworkDrive(L"TESTPC", L'Q', L"\\\\NOWHERE\\x");

    struct statvfs fs {};
    ASSERT_EQ(statvfs(machine_.DriveC().c_str(), &fs), 0);
    const uint64_t total = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
    EXPECT_EQ(One(L"SELECT Size FROM Win32_LogicalDisk WHERE DeviceID = 'C:'", L"Size"), std::to_wstring(total));
    // Free space moves while tests run; it can never exceed the size.
    const std::wstring free = One(L"SELECT * FROM Win32_LogicalDisk WHERE DeviceID = 'C:'", L"FreeSpace");
    EXPECT_LE(std::stoull(free), total);

    EXPECT_EQ(Query(L"SELECT * FROM Win32_LogicalDisk WHERE DriveType = 4", L"DeviceID"), Values({L"P:", L"Q:"}));
    EXPECT_EQ(One(L"SELECT * FROM Win32_LogicalDisk WHERE DeviceID = 'P:'", L"ProviderName"), L"\\\\TESTPC\\Public");
    EXPECT_EQ(One(L"SELECT * FROM Win32_LogicalDisk WHERE DeviceID = 'P:'", L"Size"), std::to_wstring(total));
    // An unreachable server's share has no known size.
    EXPECT_EQ(Query(L"SELECT * FROM Win32_LogicalDisk WHERE DeviceID = 'Q:'", L"Size"), Values());
    EXPECT_EQ(Query(L"SELECT * FROM Win32_LogicalDisk WHERE Size > 0", L"DeviceID"), Values({L"C:", L"P:"}));
}
