// A test against a fresh simulated computer TESTPC: files and directories
// made below its drive C:, and the message lines a job reports collected
// for the checks.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_machine.h"

namespace tavrik::test {

class ComputerTest : public ::testing::Test {
protected:
    // Creates a directory or a file (with parents) below drive C:; returns
    // its C:\ name.
    std::wstring MakeDirectory(const std::string& relative);
    std::wstring MakeFile(const std::string& relative, const std::string& content = "x");
    std::string HostPath(const std::string& relative) const;

    bool HasMessage(const std::wstring& text) const;
    bool HasMessageStartingWith(const std::wstring& prefix) const { return !MessagesStartingWith(prefix).empty(); }
    std::vector<std::wstring> MessagesStartingWith(const std::wstring& prefix) const;

    TempMachine machine_{L"TESTPC"};
    std::vector<std::wstring> messages;
};

}  // namespace tavrik::test
