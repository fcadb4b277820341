// SDDL pairs recorded on real Windows: every accepted input must come back as
// Windows printed it, every rejected one must fail as Windows failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "winapi/win32.h"

namespace {

struct LocalFreeDeleter {
    void operator()(void* block) const { LocalFree(block); }
};

enum class Expectation { Reproduce, Reject };

struct Vector {
    std::string file;
    int line = 0;
    std::wstring input;
    std::wstring output;
    Expectation expectation = Expectation::Reproduce;
};

std::wstring FromUtf8(const std::string& bytes) {
    std::wstring text;
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
        bool truncated = extra > 0 && i + extra >= bytes.size();
        if (extra < 0 || truncated) {
            text += static_cast<wchar_t>(0xFFFD);
            ++i;
            continue;
        }
        uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) code = code << 6 | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
        text += static_cast<wchar_t>(code);
        i += extra + 1;
    }
    return text;
}

std::vector<Vector> LoadVectors(const std::string& file, Expectation expectation) {
    std::vector<Vector> vectors;
    std::ifstream in(std::string(TAVRIK_TEST_DATA_DIR) + "/sddl/" + file);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        vectors.push_back({file, number, FromUtf8(line.substr(0, arrow)), FromUtf8(line.substr(arrow + 4)),
                           expectation});
    }
    return vectors;
}

// Every .txt file of the folder counts, so that a file recorded later is
// checked as soon as it is dropped in; should_fail* list texts Windows
// refuses.
std::vector<Vector> AllVectors() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(TAVRIK_TEST_DATA_DIR) + "/sddl")) {
        if (entry.path().extension() == ".txt") files.push_back(entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    std::vector<Vector> all;
    for (const std::string& file : files) {
        bool reject = file.rfind("should_fail", 0) == 0;
        auto vectors = LoadVectors(file, reject ? Expectation::Reject : Expectation::Reproduce);
        all.insert(all.end(), vectors.begin(), vectors.end());
    }
    return all;
}

std::string CaseName(const testing::TestParamInfo<Vector>& info) {
    std::string name = info.param.file.substr(0, info.param.file.find('.')) + "_line" + std::to_string(info.param.line);
    return name;
}

class SddlConformance : public testing::TestWithParam<Vector> {};

TEST_P(SddlConformance, MatchesWindows) {
    const Vector& vector = GetParam();
    SCOPED_TRACE(std::string(vector.input.begin(), vector.input.end()));
    PSECURITY_DESCRIPTOR rawSd = nullptr;
    ULONG size = 0;
    BOOL parsed = ConvertStringSecurityDescriptorToSecurityDescriptorW(vector.input.c_str(), SDDL_REVISION_1, &rawSd,
                                                                       &size);
    std::unique_ptr<void, LocalFreeDeleter> sd(rawSd);
    if (vector.expectation == Expectation::Reject) {
        EXPECT_FALSE(parsed);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        return;
    }
    ASSERT_TRUE(parsed) << "error " << GetLastError();
    EXPECT_GE(size, sizeof(SECURITY_DESCRIPTOR_RELATIVE));
    LPWSTR rawText = nullptr;
    ULONG length = 0;
    const SECURITY_INFORMATION all =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.get(), SDDL_REVISION_1, all, &rawText, &length))
        << "error " << GetLastError();
    std::unique_ptr<void, LocalFreeDeleter> text(rawText);
    EXPECT_EQ(std::wstring(rawText), vector.output);
    EXPECT_EQ(length, vector.output.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(Recorded, SddlConformance, testing::ValuesIn(AllVectors()), CaseName);

// A missing or emptied folder must not pass as "no vectors, no failures".
TEST(SddlConformanceFiles, EveryFileHoldsVectors) {
    EXPECT_FALSE(LoadVectors("canonical.txt", Expectation::Reproduce).empty());
    EXPECT_FALSE(LoadVectors("windows_is_less_fussy.txt", Expectation::Reproduce).empty());
    EXPECT_FALSE(LoadVectors("should_fail.txt", Expectation::Reject).empty());
    EXPECT_FALSE(LoadVectors("windows_numbers.txt", Expectation::Reproduce).empty());
}

}  // namespace
