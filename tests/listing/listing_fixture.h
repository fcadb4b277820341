// A simulated computer, a job whose messages are captured, and helpers to
// read and write descriptors as SDDL and to look at backup files as bytes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/tavrik.h"
#include "support/computer_test.h"

namespace tavrik::test {

class ListingTest : public ComputerTest {
public:
    static std::string ReadBytes(const std::string& path);
    static void WriteBytes(const std::string& path, const std::string& bytes);

protected:
    std::unique_ptr<CTavrik> NewJob();
    // A path for a backup file outside every drive.
    std::string BackupPath(const std::string& name = "backup.txt") const;

    // The parts `info` of an object's descriptor as SDDL; "<unreadable>" on failure.
    static std::wstring Sddl(const std::wstring& name, DWORD type,
                             SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                         DACL_SECURITY_INFORMATION);
    // Writes the parts `info` of `sddl` (protected where the text says so);
    // returns the Win32 result.
    static DWORD SetSddl(const std::wstring& name, DWORD type, const std::wstring& sddl,
                         SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION);

    // FF FE and the UTF-16LE bytes of `text`.
    static std::string Utf16File(const std::wstring& text);
    static std::string Utf16(const std::wstring& text);

    static std::wstring DaclSddl(const std::wstring& name, DWORD type = SE_FILE_OBJECT) {
        return Sddl(name, type, DACL_SECURITY_INFORMATION);
    }
};

}  // namespace tavrik::test
