// A handle closed during a walk's step leaves its object for the step's
// next call by the same name; no later step may be served with it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_machine.h"
#include "winapi/win32.h"

namespace {

namespace fs = std::filesystem;

std::wstring OwnerOf(const wchar_t* name) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    if (GetNamedSecurityInfoW(name, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &sd) != ERROR_SUCCESS) {
        return L"(unreadable)";
    }
    LPWSTR text = nullptr;
    std::wstring result = ConvertSidToStringSidW(owner, &text) ? text : L"(no SID)";
    LocalFree(text);
    LocalFree(sd);
    return result;
}

TEST(StepObjectsTest, AHandleClosedInOneStepServesNoLaterStep) {
    tavrik::test::TempMachine machine;
    const std::string dir = machine.MakeDirectory("c/dir");
    for (const char* name : {"a.txt", "b.txt"}) std::ofstream(dir + "/" + name) << "x";
    ASSERT_EQ(chown((dir + "/a.txt").c_str(), 4244, 4244), 0);

    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(L"C:\\dir\\*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    while (std::wstring(data.cFileName) != L"a.txt") ASSERT_TRUE(FindNextFileW(search, &data));
    HANDLE file = CreateFileW(L"C:\\dir\\a.txt", READ_CONTROL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(file));
    EXPECT_EQ(OwnerOf(L"C:\\dir\\a.txt"), L"S-1-22-1-4244");

    // The next step: a.txt is now another file, which every call must reach.
    ASSERT_TRUE(FindNextFileW(search, &data));
    file = CreateFileW(L"C:\\dir\\a.txt", READ_CONTROL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(file));
    ASSERT_TRUE(FindNextFileW(search, &data) || GetLastError() == ERROR_NO_MORE_FILES);
    fs::rename(dir + "/a.txt", dir + "/a.old");
    std::ofstream(dir + "/a.txt") << "y";
    ASSERT_EQ(chown((dir + "/a.txt").c_str(), 4243, 4243), 0);
    EXPECT_EQ(OwnerOf(L"C:\\dir\\a.txt"), L"S-1-22-1-4243");
    FindClose(search);
}

}  // namespace
