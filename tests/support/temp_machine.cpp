#include "support/temp_machine.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "winapi/machine/admin.h"

namespace tavrik::test {
namespace {

std::string MakeTemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tavrik-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
    return pattern;
}

}  // namespace

TempMachine::TempMachine(const std::wstring& name) : folder_(MakeTemporaryFolder()) {
    winapi::machine::OpenMachine(DatabasePath());
    winapi::machine::InitializeDefaultComputer(name, DriveC());
}

TempMachine::~TempMachine() {
    winapi::machine::CloseMachine();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::string TempMachine::MakeDirectory(const std::string& relative) const {
    std::filesystem::path path = std::filesystem::path(folder_) / relative;
    std::filesystem::create_directories(path);
    return path.string();
}

}  // namespace tavrik::test
