// The list action: one record per object of the tree, to the messages and,
// when the job names one, to the backup file.
#include <cerrno>
#include <optional>

#include "engine/tavrik.h"
#include "listing/backup_file.h"
#include "listing/backup_record.h"
#include "listing/list_record.h"
#include "objects/csd.h"

namespace {

DWORD WriteErrorCode(int error) {
    return error == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
}

}  // namespace

DWORD CTavrik::ListObjects() {
    if (m_backupFile) {
        fclose(m_backupFile);
        m_backupFile = nullptr;
    }
    // The records go to a new file that replaces the named one only when the
    // listing has ended well, so a listing that fails (a mistyped object
    // name, a full disk) leaves an earlier backup of that name untouched.
    std::wstring temporaryName;
    if (!m_backupFileName.empty()) {
        m_backupFile = tavrik::CreateBackupFileBeside(m_backupFileName, temporaryName);
        if (!m_backupFile) return RTN_ERR_OPEN_BACKUP_FILE;
    }

    // Records go to the file a block at a time; each record's message is
    // held back with it until its block is in the file.
    std::optional<tavrik::BackupBlock> block;
    if (m_backupFile) {
        block.emplace(m_backupFile);
        m_backupBlock = &*block;
    }
    struct Detach {
        CTavrik* job;
        ~Detach() { job->m_backupBlock = nullptr; }
    } detach{this};

    DWORD result;
    try {
        switch (m_objectType) {
            case SE_FILE_OBJECT:
                result = WalkFileSystem(m_objectName, &CTavrik::ListObject);
                break;
            case SE_REGISTRY_KEY:
                result = WalkRegistry(m_objectName, &CTavrik::ListObject);
                break;
            default:
                result = ListObject(m_objectName);
                break;
        }
    } catch (...) {
        // A run that ends from inside the walk leaves no half backup behind.
        m_backupBlock = nullptr;
        if (m_backupFile) fclose(m_backupFile);
        m_backupFile = nullptr;
        tavrik::DiscardBackupFile(temporaryName);
        throw;
    }

    if (m_backupFile) {
        // The last block, and the records held back with it (also after
        // another failure: what was listed is shown, as it was listed).
        if (!ReleaseBackupBlock() && (result == RTN_OK || result == RTN_ERR_WRITE_OUTPUT)) {
            m_lastOsError = WriteErrorCode(block->error);
            result = RTN_ERR_WRITE_OUTPUT;
        }
        m_backupBlock = nullptr;
        // Blocks are written past stdio, so a failing close means the file
        // system did not keep what it was given.
        if (fclose(m_backupFile) != 0 && result == RTN_OK) {
            m_lastOsError = WriteErrorCode(errno);
            result = RTN_ERR_WRITE_OUTPUT;
        }
        m_backupFile = nullptr;
        if (result != RTN_OK) {
            tavrik::DiscardBackupFile(temporaryName);
        } else if (!tavrik::CommitBackupFile(temporaryName, m_backupFileName)) {
            m_lastOsError = ERROR_ACCESS_DENIED;
            result = RTN_ERR_OPEN_BACKUP_FILE;
        }
    }
    return result;
}

bool CTavrik::ReleaseBackupBlock() {
    tavrik::BackupBlock* block = m_backupBlock;
    if (!block) return true;
    if (block->failed) return false;
    if (block->writer.Pending() == 0 && block->held.empty()) return true;
    if (!block->writer.Flush()) {
        block->failed = true;
        block->error = errno;
        block->held.clear();
        return false;
    }
    std::vector<std::wstring> held;
    held.swap(block->held);
    for (std::wstring& text : held) OutputMessage(std::move(text));
    return true;
}

DWORD CTavrik::ListObject(std::wstring path) {
    if (m_listWhat == 0) return RTN_ERR_NOTHING_TO_LIST;
    if (m_backupBlock && m_backupBlock->failed) {
        m_lastOsError = WriteErrorCode(m_backupBlock->error);
        return RTN_ERR_WRITE_OUTPUT;
    }
    if (IsFiltered(path)) {
        OutputMessage(L"Omitting ACL of: <" + path + L"> because a filter keyword matched.");
        return RTN_OK;
    }

    CSD sd(this);
    // An SDDL record converts the descriptor whole: no absolute copy of it
    // is made.
    const DWORD readCode = m_listFormat == LIST_SDDL
                               ? sd.GetSDAsRead(path, m_objectType, tavrik::RequestedParts(m_listWhat))
                               : sd.GetSD(path, m_objectType, tavrik::RequestedParts(m_listWhat));
    m_lastOsError = sd.m_lastError;
    if (readCode != RTN_OK) {
        // Without the privilege that reading SACLs needs no object can be
        // listed as asked: the job fails instead of writing a backup that
        // holds nothing.
        if (readCode == RTN_ERR_PRIVILEGE) {
            m_lastOsError = ERROR_PRIVILEGE_NOT_HELD;
            return readCode;
        }
        if (sd.m_lastError == ERROR_ACCESS_DENIED || m_ignoreErrors) {
            ReportObjectNotProcessed(L"ERROR reading SD from <" + path + L">: " + GetOSErrorText(sd.m_lastError));
            m_lastOsError = 0;
            return RTN_OK;
        }
        if (sd.m_sd || sd.m_lastError != 0) return readCode;
        ReportObjectNotProcessed(L"ERROR reading SD from <" + path +
                                 L">: The object has a NULL security descriptor");
        m_lastOsError = 0;
        return RTN_OK;
    }

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(sd.m_sd, &control, &revision)) {
        m_lastOsError = GetLastError();
        return RTN_ERR_SD_CONTROL;
    }

    thread_local tavrik::ListRecord record;
    if (const DWORD code = tavrik::BuildListRecord(*this, sd, control, path, record); code != RTN_OK) return code;
    if (record.text.empty()) return RTN_OK;

    if (m_backupFile) {
        // A record that would not read back as naming this object stays out
        // of the backup, so that no restore can write its descriptor to
        // another object.
        if (!record.lineBreakFree || !tavrik::IsBackupSafeName(path)) {
            ReportObjectNotProcessed(L"ERROR writing backup of <" + tavrik::DisplayableName(path) +
                          L">: the name cannot be stored unambiguously in a backup file; the object is not backed "
                          L"up.");
            return RTN_OK;
        }
        if (m_backupBlock) {
            m_backupBlock->writer.Append(record.text);
            m_backupBlock->held.push_back(std::move(record.text));
            if (m_backupBlock->writer.Pending() >= tavrik::kBackupBlockBytes && !ReleaseBackupBlock()) {
                m_lastOsError = WriteErrorCode(m_backupBlock->error);
                return RTN_ERR_WRITE_OUTPUT;
            }
            return RTN_OK;
        }
        if (!tavrik::WriteBackupRecord(m_backupFile, record.text)) {
            m_lastOsError = WriteErrorCode(errno);
            return RTN_ERR_WRITE_OUTPUT;
        }
    }
    OutputMessage(record.text);
    return RTN_OK;
}
