// The restore action: every entry of a backup file written back to the
// object it names.
#include <memory>

#include "engine/file_open.h"
#include "engine/local_memory.h"
#include "engine/tavrik.h"
#include "listing/backup_file.h"
#include "listing/backup_record.h"
#include "objects/csd.h"

namespace {

// The blocks of one entry: the self-relative descriptor from the SDDL text
// and its absolute form. They outlive the CSD that writes them.
struct EntryBuffers {
    tavrik::LocalPtr<> selfRelative;
    tavrik::LocalPtr<> absolute;
    tavrik::LocalPtr<> dacl;
    tavrik::LocalPtr<> sacl;
    tavrik::LocalPtr<> owner;
    tavrik::LocalPtr<> group;
};

tavrik::LocalPtr<> AllocateZeroed(DWORD size) {
    if (size == 0) return nullptr;
    return tavrik::LocalPtr<>(LocalAlloc(LMEM_ZEROINIT, size));
}

// SDDL text to the absolute descriptor and its parts; false with the last
// error set when any step fails.
bool BuildAbsoluteDescriptor(const std::wstring& sddl, EntryBuffers& buffers) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr)) {
        return false;
    }
    buffers.selfRelative.reset(raw);

    DWORD absoluteSize = 0, daclSize = 0, saclSize = 0, ownerSize = 0, groupSize = 0;
    if (MakeAbsoluteSD(raw, nullptr, &absoluteSize, nullptr, &daclSize, nullptr, &saclSize, nullptr, &ownerSize,
                       nullptr, &groupSize)) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;

    buffers.absolute = AllocateZeroed(absoluteSize);
    buffers.dacl = AllocateZeroed(daclSize);
    buffers.sacl = AllocateZeroed(saclSize);
    buffers.owner = AllocateZeroed(ownerSize);
    buffers.group = AllocateZeroed(groupSize);
    if ((absoluteSize && !buffers.absolute) || (daclSize && !buffers.dacl) || (saclSize && !buffers.sacl) ||
        (ownerSize && !buffers.owner) || (groupSize && !buffers.group)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return MakeAbsoluteSD(raw, buffers.absolute.get(), &absoluteSize, static_cast<PACL>(buffers.dacl.get()),
                          &daclSize, static_cast<PACL>(buffers.sacl.get()), &saclSize, buffers.owner.get(),
                          &ownerSize, buffers.group.get(), &groupSize) != FALSE;
}

bool IsBlank(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c != L' ' && c != L'\t' && c != L'\r' && c != L'\n') return false;
    }
    return true;
}

}  // namespace

DWORD CTavrik::RestoreFromFile() {
    if (m_backupFileName.empty()) return RTN_ERR_NO_BACKUP_FILE;
    if (m_backupFile) {
        fclose(m_backupFile);
        m_backupFile = nullptr;
    }
    m_backupFile = tavrik::OpenFileForReading(m_backupFileName);
    if (!m_backupFile) return RTN_ERR_OPEN_BACKUP_FILE;

    auto closeFile = [this] {
        if (m_backupFile) fclose(m_backupFile);
        m_backupFile = nullptr;
    };

    unsigned char mark[2] = {};
    if (fread(mark, 1, 2, m_backupFile) != 2) {
        closeFile();
        return RTN_ERR_READ_BACKUP_FILE;
    }
    auto encoding = tavrik::BackupLineReader::Encoding::Utf16Le;
    const std::wstring fileShown = tavrik::DisplayableName(m_backupFileName);
    if (mark[0] == 0xFF && mark[1] == 0xFE) {
        OutputMessage(L"Input file for restore operation: <" + fileShown + L"> detected as Unicode.");
    } else {
        OutputMessage(L"Input file for restore operation: <" + fileShown + L"> detected as ANSI.");
        closeFile();
        m_backupFile = tavrik::OpenFileForReading(m_backupFileName);
        if (!m_backupFile) return RTN_ERR_OPEN_BACKUP_FILE;
        encoding = tavrik::BackupLineReader::Encoding::EightBit;
    }

    DWORD result = RTN_OK;
    tavrik::BackupLineReader reader(m_backupFile, encoding);
    tavrik::BackupLine line;
    EntryBuffers buffers;
    while (reader.ReadLine(line)) {
        buffers = EntryBuffers{};
        // Blank lines (a hand-edited file) hold no entry.
        if (!line.overlong && !line.damaged && IsBlank(line.text)) continue;
        const tavrik::BackupEntry entry = tavrik::ParseBackupEntry(line.text);
        // Names come from the file: shown with their control characters
        // escaped, so a line cannot write to the console or forge log lines.
        const std::wstring shown = tavrik::DisplayableName(entry.name);

        if (IsFiltered(entry.name)) {
            OutputMessage(L"Omitting ACL of: <" + shown + L"> because a filter keyword matched.");
            continue;
        }
        OutputMessage(L"Restoring ACL of: <" + shown + L">");
        // An object that had none of the parts the backup asked for (a SACL
        // backup of an object without a SACL) is stored with an empty
        // descriptor text. The record does not say which parts were asked
        // for, so there is nothing that could be written back.
        if (entry.noParts && !line.overlong && !line.damaged) {
            OutputMessage(L"Info: The backup holds none of the descriptor parts of <" + shown +
                          L">; nothing to restore for it.");
            continue;
        }
        const SECURITY_INFORMATION info = tavrik::SecurityInfoFromSddl(entry.sddl);

        // Only a line with the exact shape of a listing record may name an
        // object: a damaged line, a piece of an overlong one or a line that
        // merely resembles an entry could otherwise aim the write at another
        // object. A line that names nothing fails at the write as before.
        const bool refused = line.overlong || line.damaged || (!entry.name.empty() && !entry.exactShape);
        bool built = false;
        DWORD error = ERROR_INVALID_DATA;
        if (!refused) {
            // The error is taken only from this entry's own calls, never one
            // left over from an earlier call.
            SetLastError(ERROR_SUCCESS);
            built = BuildAbsoluteDescriptor(entry.sddl, buffers);
            if (!built && GetLastError() != ERROR_SUCCESS) error = GetLastError();
        }
        if (!built) {
            if (!m_ignoreErrors) {
                m_lastOsError = error;
                result = RTN_ERR_SD_CONVERT;
                OutputMessage(L"ERROR: Restoring ACL of <" + shown + L">: " + GetOSErrorText(error));
                break;
            }
            ReportObjectNotProcessed(L"ERROR: Restoring ACL of <" + shown + L">: " + GetOSErrorText(error));
            continue;
        }

        auto sd = std::make_unique<CSD>(this);
        const DWORD code = sd->SetSD(entry.name, entry.objectType, info, static_cast<PACL>(buffers.dacl.get()),
                                     static_cast<PACL>(buffers.sacl.get()), buffers.owner.get(),
                                     buffers.group.get());
        m_lastOsError = sd->m_lastError;
        sd.reset();
        if (code != RTN_OK) {
            const std::wstring reason =
                m_lastOsError != 0 ? GetOSErrorText(m_lastOsError) : GetReturnCodeText(code);
            if (m_lastOsError == ERROR_ACCESS_DENIED || m_lastOsError == ERROR_FILE_NOT_FOUND || m_ignoreErrors) {
                ReportObjectNotProcessed(L"ERROR writing SD to <" + shown + L">: " + reason);
                m_lastOsError = 0;
                continue;
            }
            OutputMessage(L"ERROR writing SD to <" + shown + L">: " + reason);
            result = code;
            break;
        }
    }

    // A read error is no end of file: the entries after it were never seen.
    if (result == RTN_OK && reader.Failed()) {
        m_lastOsError = ERROR_READ_FAULT;
        result = RTN_ERR_READ_BACKUP_FILE;
    }
    closeFile();
    return result;
}
