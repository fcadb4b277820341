// tavrik wmi QUERY PROPERTY, run as a user runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_machine.h"
#include "winapi/machine/admin.h"

namespace {

struct CommandResult {
    int status = -1;
    std::string out, err;
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class WmiCommand : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(TAVRIK_BINARY)) GTEST_SKIP() << "tavrik is not built";
        // The command opens the database itself; release it here so both
        // never hold it at once.
        winapi::machine::AddService(L"TESTPC", L"Zeta Service");
        winapi::machine::CloseMachine();
    }

    CommandResult Tavrik(const std::string& arguments) {
        const std::string errPath = machine_.Folder() + "/stderr.txt";
        const std::string command = std::string(TAVRIK_BINARY) + " wmi --machine " + Quote(machine_.DatabasePath()) +
                                    " " + arguments + " 2>" + Quote(errPath);
        CommandResult run;
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return run;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
        int status = pclose(pipe);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream err(errPath);
        std::stringstream text;
        text << err.rdbuf();
        run.err = text.str();
        return run;
    }

    tavrik::test::TempMachine machine_;
};

const std::string kConnected = "Connected to ROOT\\CIMV2 WMI namespace\n";

}  // namespace

TEST_F(WmiCommand, PrintsOneValuePerLine) {
    CommandResult run = Tavrik("\"SELECT Name FROM Win32_Service WHERE Name LIKE '%e%'\" Name");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, kConnected + "EventLog\nLanmanServer\nSpooler\nW32Time\nZeta Service\n");
    EXPECT_EQ(run.err, "");
}

TEST_F(WmiCommand, NoResultsIsStillSuccess) {
    CommandResult run = Tavrik("\"SELECT Name FROM Win32_Service WHERE Name = 'none'\" Name");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kConnected);
}

TEST_F(WmiCommand, RefusedQueryExitsWithOne) {
    CommandResult run = Tavrik("\"SELECT Name FROM Win32_Service WHERE Name = 'open\" Name");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, kConnected + "Query for operating system name failed. Error code = 0x80041017\n");
    run = Tavrik("\"SELECT * FROM Win32_Bogus\" Name");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, kConnected + "Query for operating system name failed. Error code = 0x80041010\n");
}

TEST_F(WmiCommand, TraceGoesToStandardError) {
    CommandResult run = Tavrik("--trace \"SELECT Name FROM Win32_Printer\" Name");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kConnected + "Microsoft Print to PDF\n");
    EXPECT_NE(run.err.find("WMIQuery::Initialize() #7\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("WMIQuery::ExecuteQuery(SELECT Name FROM Win32_Printer, Name, ...) beginning\n"),
              std::string::npos);
    // The value line has no line end of its own; the command gives it one.
    EXPECT_NE(run.err.find("WMIQuery::Enumerate() value 'Microsoft Print to PDF'\n"), std::string::npos);
}

TEST_F(WmiCommand, MissingArgumentsAreAUsageError) {
    CommandResult run = Tavrik("\"SELECT Name FROM Win32_Service\"");
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.out.find("Connected"), std::string::npos);
}
