#include "support/computer_test.h"

#include <filesystem>
#include <fstream>

namespace tavrik::test {
namespace {

std::wstring WindowsName(const std::string& relative) {
    std::wstring name = L"C:\\";
    for (char c : relative) name += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return name;
}

}  // namespace

std::string ComputerTest::HostPath(const std::string& relative) const { return machine_.DriveC() + "/" + relative; }

std::wstring ComputerTest::MakeDirectory(const std::string& relative) {
    std::filesystem::create_directories(HostPath(relative));
    return WindowsName(relative);
}

std::wstring ComputerTest::MakeFile(const std::string& relative, const std::string& content) {
    const std::filesystem::path path = HostPath(relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << content;
    return WindowsName(relative);
}

bool ComputerTest::HasMessage(const std::wstring& text) const {
    for (const auto& line : messages) {
        if (line == text) return true;
    }
    return false;
}

std::vector<std::wstring> ComputerTest::MessagesStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> found;
    for (const auto& line : messages) {
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
}

}  // namespace tavrik::test
