// A simulated computer and a job whose messages are captured, plus helpers
// that read and write descriptors through the Windows layer as SDDL.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/tavrik.h"
#include "support/computer_test.h"

namespace tavrik::test {

class EngineTest : public ComputerTest {
protected:
    EngineTest();

    // A new job whose messages go to `messages`.
    std::unique_ptr<CTavrik> NewJob();

    // The descriptor parts `info` of an object as Windows' SDDL; empty on failure.
    static std::wstring Sddl(const std::wstring& name, DWORD type,
                             SECURITY_INFORMATION info = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                         DACL_SECURITY_INFORMATION);
    static std::wstring DaclSddl(const std::wstring& name, DWORD type) {
        return Sddl(name, type, DACL_SECURITY_INFORMATION);
    }
    // Writes the parts `info` of `sddl` to the object; returns the Win32 result.
    static DWORD SetSddl(const std::wstring& name, DWORD type, const std::wstring& sddl,
                         SECURITY_INFORMATION info = DACL_SECURITY_INFORMATION);

    // The SID string of an account (as LookupAccountNameW finds it).
    static std::wstring SidOf(const std::wstring& system, const std::wstring& account);
};

}  // namespace tavrik::test
