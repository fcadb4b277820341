// Undo files: before a job first writes an object's descriptor, the
// descriptor as it is goes to the job's undo file, in the backup format, so
// that `tavrik restore FILE` (or `tavrik undo`) puts back what the job
// changed, even when the job was killed halfway. By default the files are
// kept in the user's state directory, the last ten jobs' worth.
#pragma once

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/recorded_objects.h"
#include "engine/tavrik.h"
#include "listing/backup_file.h"

namespace tavrik::cli {

class UndoJournal {
public:
    UndoJournal() = default;
    ~UndoJournal();
    UndoJournal(const UndoJournal&) = delete;
    UndoJournal& operator=(const UndoJournal&) = delete;

    // Creates (or empties) the undo file; false when it cannot be created.
    bool Open(const std::wstring& fileName);
    // Installs the job's hook that writes each object's record before its
    // first change. A record that cannot be written stops the change
    // (RTN_ERR_WRITE_OUTPUT): no change is made that could not be undone.
    void Attach(CTavrik& job);
    // Closes the file; a default-location file that holds no record is
    // deleted, since its job changed nothing.
    void Close(bool deleteWhenEmpty);

    long records() const { return records_; }
    const std::wstring& fileName() const { return fileName_; }

private:
    DWORD Record(CTavrik& job, const std::wstring& object, DWORD objectType, SECURITY_INFORMATION parts);

    // A descriptor's SDDL text, as the undo file holds it (UTF-16LE), and
    // whether it holds a line break.
    struct Converted {
        std::vector<BYTE> descriptor;  // self-relative
        SECURITY_INFORMATION parts = 0;
        std::string sddlUtf16Le;
        bool lineBreak = false;
    };
    // The text of `sd` (self-relative, `parts` of it); null when it cannot
    // be converted (GetLastError tells why).
    const Converted* Convert(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION parts);

    FILE* file_ = nullptr;
    std::unique_ptr<BackupRecordWriter> writer_;
    // The last few descriptors turned into text: the objects of a tree
    // mostly hold the same few descriptors, and the conversion cost more
    // than all the rest of a record.
    std::array<Converted, 4> converted_;
    size_t nextConverted_ = 0;
    std::wstring fileName_;
    long records_ = 0;
    // Objects already recorded: the first state is the one to go back to.
    RecordedObjects seen_;
    // The write the job is making, which the system tells of once it knows
    // the write changes the object (Linux).
    struct Expected {
        std::wstring object;
        DWORD type = 0;
        bool armed = false;
    };
    Expected expected_;
    // The directory of an object its propagation changes (its capacity kept
    // from object to object).
    std::wstring directory_;
    // The descriptor a record reads (its capacity kept from record to record).
    std::vector<BYTE> stored_;
    bool observing_ = false;
};

// $XDG_STATE_HOME/tavrik/undo, else ~/.local/state/tavrik/undo (on
// Windows %LOCALAPPDATA%\tavrik\undo); empty when none can be named.
std::filesystem::path UndoDirectory();

// A new file name in UndoDirectory() for a job of `command` (created with
// the directory); empty when the directory cannot be made.
std::filesystem::path NewUndoFile(const std::string& command);

// Deletes all but the newest `keep` undo files of the directory.
void PruneUndoFiles(size_t keep = 10);

struct UndoFileInfo {
    std::filesystem::path path;
    std::string when;     // "2026-12-07 19:20:01" (UTC)
    std::string command;  // "grant", "trustee-replace"...
    bool undone = false;  // `tavrik undo` already put it back
};

// The undo files of the directory, newest first.
std::vector<UndoFileInfo> ListUndoFiles();

// The suffix a file gets once `tavrik undo` has put it back.
inline constexpr const char* kUndoneSuffix = ".undone";

}  // namespace tavrik::cli
