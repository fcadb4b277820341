// Fuzzes the reading of backup files and the restore that follows:
// arbitrary bytes are read as lines in both encodings and every line is
// split into an entry. Beyond not crashing, an entry that a restore would
// accept must name an object the listing could have written, and must read
// back from its own record. The same bytes are then restored, as a backup
// file, onto a scratch computer (files, a registry key, a service, a share),
// once stopping at the first error and once passing errors over; the file
// outside every drive must keep its descriptor.
#include <sys/xattr.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/tavrik.h"
#include "listing/backup_file.h"
#include "listing/backup_record.h"
#include "winapi/files/link_policy.h"
#include "winapi/machine/admin.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void ReadAll(const uint8_t* data, size_t size, tavrik::BackupLineReader::Encoding encoding) {
    if (size == 0) return;
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!file) return;
    {
        tavrik::BackupLineReader reader(file, encoding);
        tavrik::BackupLine line;
        while (reader.ReadLine(line)) {
            Check(line.text.size() <= tavrik::kMaxBackupLineUnits);
            const tavrik::BackupEntry entry = tavrik::ParseBackupEntry(line.text);
            (void)tavrik::SecurityInfoFromSddl(entry.sddl);
            if (!entry.exactShape || line.damaged || line.overlong) continue;
            Check(tavrik::IsBackupSafeName(entry.name));
            const std::wstring record = tavrik::FormatSddlRecord(entry.name, entry.objectType, entry.sddl);
            const tavrik::BackupEntry again = tavrik::ParseBackupEntry(record);
            Check(again.exactShape && again.name == entry.name && again.objectType == entry.objectType);
        }
    }
    fclose(file);
}

struct Scratch {
    std::string folder;
    std::string backup;
    std::string outside;
    std::string outsideNtacl;
};

std::string Attribute(const std::string& file) {
    char value[65536];
    for (const char* name : {"security.NTACL", "user.NTACL"}) {
        ssize_t size = lgetxattr(file.c_str(), name, value, sizeof value);
        if (size >= 0) return std::string(value, static_cast<size_t>(size));
    }
    return {};
}

// Drive C: holds a few files, a link inside and one out of the drive; the
// computer has a key, a service and a share. Built once per process.
const Scratch& ScratchComputer() {
    static const Scratch scratch = [] {
        namespace fs = std::filesystem;
        Scratch s;
        s.folder = (fs::temp_directory_path() / "tavrik-fuzz-restore").string();
        fs::remove_all(s.folder);
        fs::create_directories(s.folder + "/c/Data/Sub");
        fs::create_directories(s.folder + "/outside");
        std::ofstream(s.folder + "/c/Data/a.txt") << "a";
        std::ofstream(s.folder + "/c/Data/Sub/b.txt") << "b";
        s.outside = s.folder + "/outside/secret";
        std::ofstream(s.outside) << "x";
        fs::create_directory_symlink(s.folder + "/outside", s.folder + "/c/out");
        fs::create_directory_symlink("Data", s.folder + "/c/in");
        winapi::machine::OpenMachine(s.folder + "/machine.db");
        winapi::machine::InitializeDefaultComputer(L"FUZZ", s.folder + "/c");
        winapi::machine::AddKey(L"FUZZ", L"MACHINE\\SOFTWARE\\Fuzz\\Deeper");
        winapi::machine::AddService(L"FUZZ", L"FuzzSvc");
        winapi::machine::AddShare(L"FUZZ", L"FuzzShare", s.folder + "/c/Data");
        const char mark[] = "outside";
        if (setxattr(s.outside.c_str(), "user.NTACL", mark, sizeof mark, 0) != 0) std::abort();
        s.outsideNtacl = Attribute(s.outside);
        s.backup = s.folder + "/input.bak";
        // As `tavrik restore` runs: a link on a saved name is refused.
        winapi::SetDirectoryLinksRefused(true);
        return s;
    }();
    return scratch;
}

void Restore(const uint8_t* data, size_t size, BOOL ignoreErrors) {
    const Scratch& scratch = ScratchComputer();
    {
        std::ofstream out(scratch.backup, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    CTavrik job(nullptr);
    std::wstring backup(scratch.backup.begin(), scratch.backup.end());
    Check(job.SetObject(backup, SE_FILE_OBJECT) == RTN_OK);
    Check(job.SetAction(ACTION_RESTORE) == RTN_OK);
    job.SetBackupFile(backup);
    job.SetIgnoreErrors(ignoreErrors);
    const DWORD code = job.Run();
    // Only the codes a restore can end with; a record naming an object the
    // computer lacks ends it with the failed read of that object.
    const bool expected = code == RTN_OK || code == RTN_ERR_READ_SD || code == RTN_ERR_READ_BACKUP_FILE || code == RTN_ERR_OPEN_BACKUP_FILE ||
          code == RTN_ERR_SD_CONVERT || code == RTN_ERR_WRITE_SD || code == RTN_ERR_PRIVILEGE ||
          code == RTN_ERR_PARAMETER || code == RTN_ERR_INVALID_SD || code == RTN_ERR_REG_PATH ||
          code == RTN_ERR_REG_CONNECT || code == RTN_ERR_REG_OPEN ||
          (code >= RTN_ERR_SD_SET_DACL && code <= RTN_ERR_SD_SET_GROUP) || code == RTN_ERR_SD_INIT ||
          code == RTN_ERR_SD_ALLOC;
    if (!expected) std::fprintf(stderr, "restore ended with code %lu\n", static_cast<unsigned long>(code));
    Check(expected);
    Check(Attribute(scratch.outside) == scratch.outsideNtacl);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAll(data, size, tavrik::BackupLineReader::Encoding::Utf16Le);
    ReadAll(data, size, tavrik::BackupLineReader::Encoding::EightBit);
    Restore(data, size, FALSE);
    Restore(data, size, TRUE);
    return 0;
}
