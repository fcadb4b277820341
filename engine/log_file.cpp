// The job's log file: opened for appending, written by OutputMessage.
#include <cerrno>

#include "engine/tavrik.h"
#include "engine/utf16_file.h"

DWORD CTavrik::SetLogFile(std::wstring fileName) {
    if (fileName.empty()) return RTN_ERR_PARAMETER;
    FILE* file = tavrik::OpenUtf16FileForAppend(fileName);
    if (!file) {
        m_lastOsError = (errno == ENOENT) ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED;
        return RTN_ERR_WRITE_OUTPUT;
    }
    if (m_logFile) fclose(m_logFile);
    m_logFile = file;
    return RTN_OK;
}
