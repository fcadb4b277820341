// WMIQuery: its trace and console lines, how it collects values, and how it
// behaves when COM or WMI fails at each step.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_machine.h"
#include "winapi/com/com_object.h"
#include "winapi/machine/admin.h"
#include "wmi/wmi_query.h"

using tavrik::TraceSink;
using tavrik::WMIQuery;
using Lines = std::vector<std::wstring>;

namespace {

class RecordedTrace : public TraceSink {
public:
    void Trace(int level, const std::wstring& text) override {
        levels.push_back(level);
        lines.push_back(text);
    }
    Lines lines;
    std::vector<int> levels;
};

const Lines kInitialized = {
    L"WMIQuery::Initialize() #1\n", L"WMIQuery::Initialize() #2\n", L"WMIQuery::Initialize() #3\n",
    L"WMIQuery::Initialize() #4\n", L"WMIQuery::Initialize() #5\n", L"WMIQuery::Initialize() #6\n",
    L"WMIQuery::Initialize() #7\n"};
const std::string kConnected = "Connected to ROOT\\CIMV2 WMI namespace\n";

class WmiQueryTest : public ::testing::Test {
protected:
    // Initialises the helper and forgets what that wrote.
    void Ready() {
        wmi_.Initialize();
        ASSERT_TRUE(wmi_.IsInitialized()) << console_.str();
        trace_.lines.clear();
        console_.str("");
    }

    tavrik::test::TempMachine machine_;
    RecordedTrace trace_;
    std::ostringstream console_;
    WMIQuery wmi_{&trace_, console_};
};

}  // namespace

TEST_F(WmiQueryTest, InitializeConnectsAndTracesEveryStep) {
    EXPECT_FALSE(wmi_.IsInitialized());
    wmi_.Initialize();
    EXPECT_TRUE(wmi_.IsInitialized());
    EXPECT_EQ(trace_.lines, kInitialized);
    EXPECT_EQ(console_.str(), kConnected);
    for (int level : trace_.levels) EXPECT_EQ(level, 0);
}

TEST_F(WmiQueryTest, QueryMatchingNothingSucceedsAndLeavesOutputAlone) {
    Ready();
    std::wstring output = L"kept";
    EXPECT_TRUE(wmi_.ExecuteQuery(L"SELECT Name FROM Win32_Service WHERE Name = 'none'", L"Name", output));
    EXPECT_EQ(output, L"kept");
    EXPECT_EQ(trace_.lines, (Lines{L"WMIQuery::ExecuteQuery(SELECT Name FROM Win32_Service WHERE Name = 'none', "
                                   L"Name, ...) beginning\n",
                                   L"WMIQuery::ExecQuery() beginning\n", L"WMIQuery::ExecQuery() succeeded\n",
                                   L"WMIQuery::Enumerate() beginning\n", L"    WMIQuery::Enumerate() Enumerating\n"}));
    EXPECT_EQ(console_.str(), "");
}

TEST_F(WmiQueryTest, ValuesAreJoinedByCrLfAndNullValuesAddNothing) {
    // Three disks in letter order: two network drives around a local one,
    // whose ProviderName is NULL.
    winapi::machine::MapNetworkDrive(L"TESTPC", L'X', L"\\\\FILES\\a");
    winapi::machine::MapDrive(L"TESTPC", L'Y', machine_.MakeDirectory("y"));
    winapi::machine::MapNetworkDrive(L"TESTPC", L'Z', L"\\\\FILES\\b");
    Ready();
    std::wstring output;
    EXPECT_TRUE(wmi_.ExecuteQuery(L"SELECT * FROM Win32_LogicalDisk WHERE DeviceID > 'W'", L"ProviderName", output));
    EXPECT_EQ(output, L"\\\\FILES\\a\r\n\\\\FILES\\b");
    const Lines expected = {
        L"WMIQuery::ExecuteQuery(SELECT * FROM Win32_LogicalDisk WHERE DeviceID > 'W', ProviderName, ...) beginning\n",
        L"WMIQuery::ExecQuery() beginning\n",
        L"WMIQuery::ExecQuery() succeeded\n",
        L"WMIQuery::Enumerate() beginning\n",
        L"    WMIQuery::Enumerate() Enumerating\n",
        L"WMIQuery::Enumerate() value '\\\\FILES\\a'",
        L"    WMIQuery::Enumerate() Enumerating\n",
        L"    WMIQuery::Enumerate() Enumerating\n",
        L"WMIQuery::Enumerate() value '\\\\FILES\\a\r\n\\\\FILES\\b'",
        L"    WMIQuery::Enumerate() Enumerating\n"};
    EXPECT_EQ(trace_.lines, expected);
}

TEST_F(WmiQueryTest, NewValuesJoinTextAlreadyInTheOutput) {
    Ready();
    std::wstring output = L"before";
    EXPECT_TRUE(wmi_.ExecuteQuery(L"SELECT Name FROM Win32_Service WHERE Name = 'Spooler'", L"Name", output));
    EXPECT_EQ(output, L"before\r\nSpooler");
    EXPECT_TRUE(wmi_.ExecuteQuery(L"SELECT Name FROM Win32_Service WHERE Name LIKE 'w%'", L"Name", output));
    EXPECT_EQ(output, L"before\r\nSpooler\r\nW32Time");
}

TEST_F(WmiQueryTest, UnknownPropertyAddsNothingAndStillSucceeds) {
    Ready();
    std::wstring output;
    EXPECT_TRUE(wmi_.ExecuteQuery(L"SELECT * FROM Win32_Service", L"NoSuchProperty", output));
    EXPECT_EQ(output, L"");
    EXPECT_EQ(console_.str(), "");
}

TEST_F(WmiQueryTest, ValuesOfOtherTypesReadAsAUserExpects) {
    Ready();
    auto value = [this](const std::wstring& query, const std::wstring& property) {
        std::wstring output;
        EXPECT_TRUE(wmi_.ExecuteQuery(query, property, output)) << console_.str();
        return output;
    };
    EXPECT_EQ(value(L"SELECT * FROM Win32_LogicalDisk WHERE DeviceID = 'C:'", L"DriveType"), L"3");
    EXPECT_EQ(value(L"SELECT * FROM Win32_OperatingSystem", L"OSType"), L"18");
    EXPECT_EQ(value(L"SELECT * FROM Win32_OperatingSystem", L"Primary"), L"True");
    EXPECT_EQ(value(L"SELECT * FROM Win32_ComputerSystem", L"PartOfDomain"), L"False");
    EXPECT_EQ(value(L"SELECT * FROM Win32_ComputerSystem", L"Roles"), L"LM_Workstation,LM_Server,NT");
    EXPECT_EQ(value(L"SELECT * FROM Win32_Group WHERE Name = 'Administrators'", L"SIDType"), L"4");
    const std::wstring size = value(L"SELECT * FROM Win32_LogicalDisk WHERE DeviceID = 'C:'", L"Size");
    ASSERT_FALSE(size.empty());
    EXPECT_EQ(size.find_first_not_of(L"0123456789"), std::wstring::npos) << size;
}

TEST_F(WmiQueryTest, EnumerationIsForwardOnly) {
    Ready();
    ASSERT_TRUE(wmi_.ExecQuery(L"SELECT Name FROM Win32_Service WHERE Name = 'Spooler'"));
    std::wstring first, second;
    EXPECT_TRUE(wmi_.Enumerate(first, L"Name"));
    EXPECT_TRUE(wmi_.Enumerate(second, L"Name"));
    EXPECT_EQ(first, L"Spooler");
    EXPECT_EQ(second, L"");
}

TEST_F(WmiQueryTest, RefusedQueryWritesItsCodeAndRetiresTheHelper) {
    Ready();
    std::wstring output = L"kept";
    EXPECT_FALSE(wmi_.ExecuteQuery(L"SELECT * FROM Win32_Nothing", L"Name", output));
    EXPECT_EQ(console_.str(), "Query for operating system name failed. Error code = 0x80041010\n");
    EXPECT_EQ(trace_.lines, (Lines{L"WMIQuery::ExecuteQuery(SELECT * FROM Win32_Nothing, Name, ...) beginning\n",
                                   L"WMIQuery::ExecQuery() beginning\n",
                                   L"WMIQuery::ExecuteQuery(SELECT * FROM Win32_Nothing, Name, ...) not initialized\n"}));
    EXPECT_FALSE(wmi_.IsInitialized());
    EXPECT_EQ(output, L"kept");

    // From now on nothing reaches WMI.
    trace_.lines.clear();
    console_.str("");
    EXPECT_FALSE(wmi_.ExecuteQuery(L"SELECT * FROM Win32_Service", L"Name", output));
    EXPECT_EQ(trace_.lines, (Lines{L"WMIQuery::ExecuteQuery(SELECT * FROM Win32_Service, Name, ...) beginning\n",
                                   L"WMIQuery::ExecuteQuery(SELECT * FROM Win32_Service, Name, ...) not initialized\n"}));
    EXPECT_EQ(console_.str(), "");
    EXPECT_EQ(output, L"kept");
}

TEST_F(WmiQueryTest, BadQueriesOfEveryKindFailCleanly) {
    const std::pair<std::wstring, std::string> cases[] = {
        {L"SELECT Name FROM", "80041017"},
        {L"SELECT Name FROM Win32_Service WHERE Name = 'open", "80041017"},
        {L"SELECT Bogus FROM Win32_Service", "80041017"},
        {L"SELECT * FROM Win32_Service WHERE Name LIKE 5", "80041017"},
        {L"SELECT * FROM Win32_Service WHERE " + std::wstring(30000, L'('), "80041017"},
        {L"", "80041017"},
        {L"SELECT * FROM Win32_Bogus", "80041010"},
    };
    for (const auto& [query, code] : cases) {
        WMIQuery wmi(nullptr, console_);
        wmi.Initialize();
        console_.str("");
        std::wstring output;
        EXPECT_FALSE(wmi.ExecuteQuery(query, L"Name", output));
        EXPECT_EQ(console_.str(), "Query for operating system name failed. Error code = 0x" + code + "\n");
    }
}

TEST_F(WmiQueryTest, QueryTextIsNeverTakenAsAFormat) {
    Ready();
    std::wstring output;
    EXPECT_FALSE(wmi_.ExecuteQuery(L"SELECT %s%n%x FROM %s", L"%n", output));
    ASSERT_FALSE(trace_.lines.empty());
    EXPECT_EQ(trace_.lines.front(), L"WMIQuery::ExecuteQuery(SELECT %s%n%x FROM %s, %n, ...) beginning\n");
}

TEST_F(WmiQueryTest, LocatorFailureIsReportedAndNothingElseIsTried) {
    winapi::machine::InjectFault("CoCreateInstance", ERROR_ACCESS_DENIED);
    wmi_.Initialize();
    EXPECT_FALSE(wmi_.IsInitialized());
    EXPECT_EQ(console_.str(), "Failed to create IWbemLocator object. Err code = 0x80070005\n");
    EXPECT_EQ(trace_.lines, Lines(kInitialized.begin(), kInitialized.begin() + 3));
}

TEST_F(WmiQueryTest, ConnectionFailureIsReportedAndTraced) {
    winapi::machine::InjectFault("ConnectServer", 0x80041003u /* WBEM_E_ACCESS_DENIED */);
    wmi_.Initialize();
    EXPECT_FALSE(wmi_.IsInitialized());
    EXPECT_EQ(console_.str(), "Could not connect. Error code = 0x80041003\n");
    Lines expected(kInitialized.begin(), kInitialized.begin() + 5);
    expected.push_back(L"WMIQuery::Initialize() Could not connect 80041003");
    EXPECT_EQ(trace_.lines, expected);
}

TEST_F(WmiQueryTest, ProxyBlanketFailureIsReported) {
    winapi::machine::InjectFault("CoSetProxyBlanket", ERROR_ACCESS_DENIED);
    wmi_.Initialize();
    EXPECT_FALSE(wmi_.IsInitialized());
    EXPECT_EQ(console_.str(), kConnected + "Could not set proxy blanket. Error code = 0x80070005\n");
    EXPECT_EQ(trace_.lines, Lines(kInitialized.begin(), kInitialized.begin() + 6));
}

TEST_F(WmiQueryTest, HelperWhoseConnectionFailedDoesNotTouchWmi) {
    winapi::machine::InjectFault("ConnectServer", ERROR_ACCESS_DENIED);
    wmi_.Initialize();
    winapi::machine::ClearFaults();
    // A fault armed now would fire on the first ExecQuery that reached WMI.
    winapi::machine::InjectFault("ExecQuery", ERROR_ACCESS_DENIED, 1);
    trace_.lines.clear();
    console_.str("");
    std::wstring output = L"kept";
    EXPECT_FALSE(wmi_.ExecuteQuery(L"SELECT * FROM Win32_Service", L"Name", output));
    EXPECT_EQ(trace_.lines, (Lines{L"WMIQuery::ExecuteQuery(SELECT * FROM Win32_Service, Name, ...) beginning\n",
                                   L"WMIQuery::ExecuteQuery(SELECT * FROM Win32_Service, Name, ...) not initialized\n"}));
    EXPECT_EQ(output, L"kept");
    EXPECT_EQ(console_.str(), "");
    EXPECT_FALSE(wmi_.ExecQuery(L"SELECT * FROM Win32_Service"));
    EXPECT_EQ(trace_.lines.back(), L"WMIQuery::ExecQuery() dropped out\n");
    EXPECT_FALSE(wmi_.Enumerate(output, L"Name"));
    EXPECT_EQ(trace_.lines.back(), L"    WMIQuery::Enumerate() failed - not initialized\n");

    // The armed fault is still there: nothing consumed it.
    WMIQuery other(nullptr, console_);
    other.Initialize();
    EXPECT_FALSE(other.ExecQuery(L"SELECT * FROM Win32_Service"));
}

TEST_F(WmiQueryTest, WithoutASinkThereAreNoTraceLinesButStillConsoleLines) {
    WMIQuery quiet(nullptr, console_);
    quiet.Initialize();
    std::wstring output;
    EXPECT_TRUE(quiet.ExecuteQuery(L"SELECT Name FROM Win32_Printer", L"Name", output));
    EXPECT_EQ(output, L"Microsoft Print to PDF");
    EXPECT_EQ(console_.str(), kConnected);
}

TEST(WmiQueryLifetime, DestructionReleasesEveryObjectAndTheApartment) {
    tavrik::test::TempMachine machine;
    std::ostringstream console;
    const long objects = winapi::com::LiveObjectCount();
    ASSERT_EQ(winapi::com::ApartmentDepth(), 0);
    {
        WMIQuery wmi(nullptr, console);
        wmi.Initialize();
        EXPECT_EQ(winapi::com::ApartmentDepth(), 1);
        // Results left unread, and a second Initialize that must not leak the first connection.
        ASSERT_TRUE(wmi.ExecQuery(L"SELECT * FROM Win32_Service"));
        wmi.Initialize();
        ASSERT_TRUE(wmi.ExecQuery(L"SELECT * FROM Win32_Group"));
        EXPECT_EQ(winapi::com::ApartmentDepth(), 1);
    }
    EXPECT_EQ(winapi::com::LiveObjectCount(), objects);
    EXPECT_EQ(winapi::com::ApartmentDepth(), 0);

    for (const char* call : {"CoCreateInstance", "ConnectServer", "CoSetProxyBlanket"}) {
        winapi::machine::InjectFault(call, ERROR_ACCESS_DENIED, 1);
        {
            WMIQuery wmi(nullptr, console);
            wmi.Initialize();
            EXPECT_FALSE(wmi.IsInitialized()) << call;
        }
        EXPECT_EQ(winapi::com::LiveObjectCount(), objects) << call;
        EXPECT_EQ(winapi::com::ApartmentDepth(), 0) << call;
    }
}

TEST(WmiQueryLifetime, AThreadInAnotherApartmentKeepsItsOwnInitialisation) {
    tavrik::test::TempMachine machine;
    std::thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            std::ostringstream console;
            WMIQuery wmi(nullptr, console);
            wmi.Initialize();
            EXPECT_TRUE(wmi.IsInitialized());
        }
        // The helper's own CoInitializeEx failed, so it must not have undone ours.
        EXPECT_EQ(winapi::com::ApartmentDepth(), 1);
        CoUninitialize();
    }).join();
}

TEST_F(WmiQueryTest, FailureWhileHandingOutResultsIsNotAnEmptyResult) {
    Ready();
    // WMI accepts the query, then fails when asked for the results (as a
    // query that returns at once reports an unknown class or a denied
    // access on Windows).
    winapi::machine::InjectFault("Next", 0x80041003u /* WBEM_E_ACCESS_DENIED */, 1);
    std::wstring output = L"kept";
    EXPECT_FALSE(wmi_.ExecuteQuery(L"SELECT Name FROM Win32_Service", L"Name", output));
    EXPECT_EQ(output, L"kept");
    EXPECT_EQ(console_.str(), "Query for operating system name failed. Error code = 0x80041003\n");
    // The connection itself is still good.
    console_.str("");
    EXPECT_TRUE(wmi_.ExecuteQuery(L"SELECT Name FROM Win32_Service WHERE Name = 'Spooler'", L"Name", output));
    EXPECT_EQ(output, L"kept\r\nSpooler");
}
