// A fresh simulated network for one test: its own database and drive
// directories below a temporary folder, removed afterwards.
#pragma once

#include <string>

namespace tavrik::test {

class TempMachine {
public:
    // Creates the folder, opens a new database in it and fills it with the
    // default computer `name`, drive C: mapped to <folder>/c.
    explicit TempMachine(const std::wstring& name = L"TESTPC");
    ~TempMachine();
    TempMachine(const TempMachine&) = delete;
    TempMachine& operator=(const TempMachine&) = delete;

    const std::string& Folder() const { return folder_; }
    std::string DatabasePath() const { return folder_ + "/machine.db"; }
    std::string DriveC() const { return folder_ + "/c"; }
    // A new empty directory below the folder, e.g. for another drive.
    std::string MakeDirectory(const std::string& relative) const;

private:
    std::string folder_;
};

}  // namespace tavrik::test
