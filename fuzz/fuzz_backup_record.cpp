// Fuzzes the reading of backup files: arbitrary bytes are read as lines in
// both encodings and every line is split into an entry. Beyond not
// crashing, an entry that a restore would accept must name an object the
// listing could have written, and must read back from its own record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "listing/backup_file.h"
#include "listing/backup_record.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadAll(data, size, tavrik::BackupLineReader::Encoding::Utf16Le);
    ReadAll(data, size, tavrik::BackupLineReader::Encoding::EightBit);
    return 0;
}
