// Messages to the host and the log file's bytes.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/utf16_file.h"
#include "engine_fixture.h"

namespace tavrik::test {
namespace {

using ReportingTest = EngineTest;

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Utf16(const char* ascii) {
    std::string bytes;
    for (const char* c = ascii; *c; ++c) {
        bytes.push_back(*c);
        bytes.push_back('\0');
    }
    return bytes;
}

TEST_F(ReportingTest, CallbackGetsTheLineAsGivenAndTheLogGetsCrLfLines) {
    const std::string log = machine_.Folder() + "/run.log";
    {
        auto job = NewJob();
        ASSERT_EQ(job->SetLogFile(std::wstring(log.begin(), log.end())), RTN_OK);
        EXPECT_EQ(job->OutputMessage(L"first\nsecond"), RTN_OK);
    }
    EXPECT_EQ(messages, std::vector<std::wstring>{L"first\nsecond"});
    EXPECT_EQ(ReadBytes(log), std::string("\xFF\xFE", 2) + Utf16("first\r\nsecond\r\n"));
}

TEST_F(ReportingTest, AppendingToALogWritesNoSecondByteOrderMark) {
    const std::string log = machine_.Folder() + "/run.log";
    const std::wstring name(log.begin(), log.end());
    for (const wchar_t* line : {L"one", L"two"}) {
        auto job = NewJob();
        ASSERT_EQ(job->SetLogFile(name), RTN_OK);
        job->OutputMessage(line);
    }
    EXPECT_EQ(ReadBytes(log), std::string("\xFF\xFE", 2) + Utf16("one\r\ntwo\r\n"));
}

TEST_F(ReportingTest, CharactersBeyondTheBasicPlaneBecomeSurrogatePairs) {
    EXPECT_EQ(ToUtf16LeBytes(L"\u00e9\U0001F600"), std::string("\xE9\x00\x3D\xD8\x00\xDE", 6));
    EXPECT_EQ(ToUtf16LeBytes(std::wstring(1, static_cast<wchar_t>(0x110000))), std::string("\xFD\xFF", 2));
}

TEST_F(ReportingTest, WithNeitherCallbackNorLogNothingHappens) {
    CTavrik job(nullptr);
    EXPECT_EQ(job.OutputMessage(L"nobody listens"), RTN_OK);
}

TEST_F(ReportingTest, AFailedLogWriteIsReportedAfterTheCallbackWasServed) {
    auto job = NewJob();
    job->m_logFile = fopen("/dev/full", "ab");
    ASSERT_NE(job->m_logFile, nullptr);
    EXPECT_EQ(job->OutputMessage(L"lost line"), RTN_ERR_WRITE_OUTPUT);
    EXPECT_EQ(messages, std::vector<std::wstring>{L"lost line"});
    // The log stays open and later lines are still attempted.
    EXPECT_EQ(job->OutputMessage(L"another"), RTN_ERR_WRITE_OUTPUT);
    EXPECT_EQ(messages.size(), 2u);
}

TEST_F(ReportingTest, ALogThatCannotBeOpenedIsRefused) {
    auto job = NewJob();
    const std::string missing = machine_.Folder() + "/no/such/dir/run.log";
    EXPECT_EQ(job->SetLogFile(std::wstring(missing.begin(), missing.end())), RTN_ERR_WRITE_OUTPUT);
    EXPECT_EQ(job->m_logFile, nullptr);
    EXPECT_EQ(job->SetLogFile(L""), RTN_ERR_PARAMETER);
}

TEST_F(ReportingTest, TheRunSummaryReachesTheLogFile) {
    const std::string log = machine_.Folder() + "/run.log";
    {
        auto job = NewJob();
        job->SetLogFile(std::wstring(log.begin(), log.end()));
        job->Run();
    }
    const std::string bytes = ReadBytes(log);
    EXPECT_NE(bytes.find(Utf16("\r\nTavrik finished with error(s): \r\nTavrik error message: No object")),
              std::string::npos);
}

TEST_F(ReportingTest, OsErrorTextFallsBackToTheRecordedError) {
    auto job = NewJob();
    job->m_lastOsError = ERROR_ACCESS_DENIED;
    const std::wstring text = job->GetOSErrorText(0);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text, job->GetOSErrorText(ERROR_ACCESS_DENIED));
    EXPECT_NE(text, job->GetOSErrorText(ERROR_FILE_NOT_FOUND));
}

TEST_F(ReportingTest, NetworkManagementCodesHaveTheirOwnTexts) {
    auto job = NewJob();
    EXPECT_FALSE(job->GetOSErrorText(NERR_NetNameNotFound).empty());
    EXPECT_EQ(job->GetOSErrorText(0x7FFFFFF0u), L"");
}

}  // namespace
}  // namespace tavrik::test
