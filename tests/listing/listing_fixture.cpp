#include "listing_fixture.h"

#include <fstream>
#include <iterator>

#include "engine/utf16_file.h"
#include "support/privileges.h"
#include "support/sddl_access.h"

namespace tavrik::test {

namespace {

// Jobs switch their privileges off when they end; the helpers that read
// and write descriptors outside a job switch them on again.
void EnableDescriptorPrivileges() {
    EnablePrivileges({SE_BACKUP_NAME, SE_RESTORE_NAME, SE_SECURITY_NAME, SE_TAKE_OWNERSHIP_NAME});
}

}  // namespace

std::unique_ptr<CTavrik> ListingTest::NewJob() {
    return std::make_unique<CTavrik>([this](const std::wstring& line) { messages.push_back(line); });
}

std::string ListingTest::BackupPath(const std::string& name) const { return machine_.Folder() + "/" + name; }

std::wstring ListingTest::Sddl(const std::wstring& name, DWORD type, SECURITY_INFORMATION info) {
    EnableDescriptorPrivileges();
    return ReadSddl(name, type, info);
}

DWORD ListingTest::SetSddl(const std::wstring& name, DWORD type, const std::wstring& sddl, SECURITY_INFORMATION info) {
    EnableDescriptorPrivileges();
    return WriteSddl(name, type, sddl, info);
}

std::string ListingTest::ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ListingTest::WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ListingTest::Utf16(const std::wstring& text) { return ToUtf16LeBytes(text); }

std::string ListingTest::Utf16File(const std::wstring& text) { return std::string("\xFF\xFE", 2) + Utf16(text); }

}  // namespace tavrik::test
