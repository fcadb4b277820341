// FormatMessageW over the system and netmsg.dll tables, the module calls,
// and the way the engine looks up an error's text.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "winapi/win32.h"

namespace {

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kNeutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

struct Result {
    DWORD length;
    DWORD error;
    std::wstring text;
};

Result Format(DWORD flags, LPCVOID source, DWORD code, DWORD capacity = 1024, void* args = nullptr,
              DWORD language = kNeutral) {
    std::wstring buffer(capacity + 1, L'#');
    SetLastError(0);
    const DWORD length = FormatMessageW(flags, source, code, language, buffer.data(), capacity, args);
    const DWORD error = GetLastError();
    return {length, error, length ? std::wstring(buffer.c_str()) : std::wstring()};
}

struct Module {
    HMODULE handle = LoadLibraryExW(L"netmsg.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ~Module() {
        if (handle) FreeLibrary(handle);
    }
};

}  // namespace

TEST(Messages, SystemTextEndsInCrLf) {
    Result r = Format(kSystem, nullptr, ERROR_ACCESS_DENIED);
    EXPECT_EQ(r.text, L"Access is denied.\r\n");
    EXPECT_EQ(r.length, r.text.size());
    EXPECT_EQ(Format(kSystem, nullptr, ERROR_INVALID_SECURITY_DESCR).text,
              L"The security descriptor structure is invalid.\r\n");
    EXPECT_EQ(Format(kSystem, nullptr, 0x80070005u).text, L"Access is denied.\r\n") << "HRESULT_FROM_WIN32";
    EXPECT_EQ(Format(kSystem | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr, ERROR_ACCESS_DENIED).text,
              L"Access is denied.");
}

TEST(Messages, FailuresSetTheirErrors) {
    Result unknown = Format(kSystem, nullptr, 0x0badc0de);
    EXPECT_EQ(unknown.length, 0u);
    EXPECT_EQ(unknown.error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

    const DWORD exact = static_cast<DWORD>(std::wstring(L"Access is denied.\r\n").size());
    Result small = Format(kSystem, nullptr, ERROR_ACCESS_DENIED, exact);
    EXPECT_EQ(small.length, 0u);
    EXPECT_EQ(small.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << "the terminator needs room too";
    EXPECT_EQ(Format(kSystem, nullptr, ERROR_ACCESS_DENIED, exact + 1).length, exact);

    EXPECT_EQ(Format(kSystem, nullptr, 5, 1024, nullptr, 0x0407).error,
              static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
    EXPECT_EQ(Format(FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Messages, AllocatedBufferIsALocalBlock) {
    LPWSTR text = nullptr;
    const DWORD length = FormatMessageW(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, ERROR_FILE_NOT_FOUND,
                                        kNeutral, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(text), L"The system cannot find the file specified.\r\n");
    EXPECT_EQ(length, std::wstring(text).size());
    EXPECT_EQ(LocalFree(text), nullptr);
}

TEST(Messages, NetmsgModuleSuppliesNetworkTexts) {
    Module netmsg;
    ASSERT_NE(netmsg.handle, nullptr);
    // The engine's lookup for a network-management code: module, then system.
    const DWORD flags = 0x1A00;
    EXPECT_EQ(Format(flags, netmsg.handle, NERR_NetNameNotFound).text, L"This shared resource does not exist.\r\n");
    EXPECT_EQ(Format(flags, netmsg.handle, NERR_UserNotFound).text, L"The user name could not be found.\r\n");
    EXPECT_EQ(Format(flags, netmsg.handle, ERROR_ACCESS_DENIED).text, L"Access is denied.\r\n")
        << "codes the module lacks come from the system table";
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, netmsg.handle, 5).error,
              static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(Format(kSystem, nullptr, NERR_NetNameNotFound).error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND))
        << "the system table does not hold netmsg.dll's texts";
    EXPECT_EQ(Format(flags, netmsg.handle, 2250).text, L"The network connection could not be found.\r\n");
    EXPECT_EQ(Format(kSystem, nullptr, 2250).text, L"This network connection does not exist.\r\n");
}

TEST(Messages, ModulesLoadAndFree) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryExW(L"kernel32.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    HMODULE byPath = LoadLibraryExW(L"C:\\Windows\\System32\\NETMSG.DLL", nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(byPath, nullptr);
    EXPECT_TRUE(FreeLibrary(byPath));
    EXPECT_FALSE(FreeLibrary(byPath)) << "freed once per load";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    int local = 0;
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&local)));
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_HMODULE, &local, 2310).error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Messages, InsertsAndEscapes) {
    const wchar_t* unknownText = L"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n";
    EXPECT_EQ(Format(kSystem, nullptr, ERROR_MR_MID_NOT_FOUND).text, unknownText) << "inserts pass through";
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND).error,
              static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << "inserts without arguments";
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(L"1F"), reinterpret_cast<DWORD_PTR>(L"System")};
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, ERROR_MR_MID_NOT_FOUND, 1024,
                     args)
                  .text,
              L"The system cannot find message text for message number 0x1F in the message file for System.\r\n");

    DWORD_PTR mixed[] = {reinterpret_cast<DWORD_PTR>(L"disk"), static_cast<DWORD_PTR>(-3),
                         static_cast<DWORD_PTR>(255)};
    EXPECT_EQ(Format(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                     L"%1 %2!d! %3!x! 100%% done%nnext%0ignored", 0, 1024, mixed)
                  .text,
              L"disk -3 ff 100% done\r\nnext");
}

// Every code errors.h defines has its English text: netmsg.dll's for the
// network-management range, the system's otherwise.
TEST(Messages, EveryDeclaredCodeHasText) {
    std::ifstream header(std::string(TAVRIK_SOURCE_DIR) + "/winapi/errors.h");
    ASSERT_TRUE(header) << "errors.h not found";
    Module netmsg;
    int checked = 0;
    for (std::string line; std::getline(header, line);) {
        // "#define NAME 123" or "#define NAME (NERR_BASE + 21)"
        std::istringstream words(line);
        std::string define, name, value;
        if (!(words >> define >> name) || define != "#define") continue;
        std::getline(words, value);
        value.erase(0, value.find_first_not_of(' '));
        DWORD code = 0;
        if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
            code = static_cast<DWORD>(std::stoul(value));
        } else if (value.starts_with("(NERR_BASE + ") && value.ends_with(")")) {
            code = 2100 + static_cast<DWORD>(std::stoul(value.substr(13)));
        } else {
            continue;
        }
        if (name.ends_with("_BASE")) continue;
        const bool networkRange = code >= 2100 && code <= 2999;
        Result r = networkRange ? Format(0x1A00, netmsg.handle, code) : Format(kSystem, nullptr, code);
        EXPECT_GT(r.length, 2u) << name << " (" << code << ") has no text";
        EXPECT_TRUE(r.text.ends_with(L".\r\n")) << name;
        ++checked;
    }
    EXPECT_GT(checked, 80);
}
