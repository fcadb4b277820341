// Every message of a run goes through OutputMessage: the host's callback
// first, then the log file.
#include "engine/tavrik.h"
#include "engine/utf16_file.h"

DWORD CTavrik::OutputMessage(const std::wstring& text) {
    // Listed records held back until their backup block is written go out
    // before anything said after them.
    if (m_backupBlock) ReleaseBackupBlock();
    if (m_messageCallback) m_messageCallback(text);
    if (!m_logFile) return RTN_OK;

    std::wstring line;
    line.reserve(text.size() + 8);
    for (wchar_t c : text) {
        if (c == L'\n') line += L'\r';
        line += c;
    }
    line += L"\r\n";
    return tavrik::WriteUtf16(m_logFile, line) ? RTN_OK : RTN_ERR_WRITE_OUTPUT;
}

std::wstring CTavrik::GetOSErrorText(DWORD code) {
    if (code == 0) code = m_lastOsError;
    if (code == 0) code = GetLastError();

    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    HMODULE module = nullptr;
    // The network-management texts live in their own message file.
    if (code >= 2100 && code <= 2999) {
        module = LoadLibraryExW(L"netmsg.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (module) flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
    WCHAR buffer[1024] = {};
    DWORD length = FormatMessageW(flags, module, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                                  static_cast<DWORD>(sizeof(buffer) / sizeof(buffer[0])), nullptr);
    if (module) FreeLibrary(module);
    if (length == 0) return std::wstring();
    buffer[sizeof(buffer) / sizeof(buffer[0]) - 1] = L'\0';
    return std::wstring(buffer);
}
