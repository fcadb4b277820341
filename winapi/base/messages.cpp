// FormatMessageW over the layer's message tables, and the one module whose
// messages a caller can load: netmsg.dll, as a data file.
#include <atomic>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>

#include "winapi/base/system_messages.h"
#include "winapi/win32.h"

namespace {

// The loaded netmsg.dll: its address is the module handle.
struct NetworkMessageModule {
    std::atomic<int> references{0};
};
NetworkMessageModule networkModule;

HMODULE NetworkModuleHandle() { return reinterpret_cast<HMODULE>(&networkModule); }

bool IsNetworkMessageModuleName(std::wstring name) {
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
    return name == L"netmsg.dll" || name == L"netmsg";
}

// Only English texts exist; the neutral and default languages select them.
bool EnglishOrNeutral(DWORD languageId) {
    const DWORD primary = languageId & 0x3ff;
    return languageId <= 0xffff && (primary == 0x00 || primary == 0x09);
}

constexpr DWORD kFacilityWin32Prefix = 0x80070000u;

DWORD Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

// One insert, %n or %n!format!, from an argument array of DWORD_PTRs.
bool AppendInsert(const wchar_t*& p, const DWORD_PTR* args, std::wstring& out) {
    unsigned index = 0;
    while (*p >= L'0' && *p <= L'9' && index < 100) index = index * 10 + static_cast<unsigned>(*p++ - L'0');
    std::wstring format = L"s";
    if (*p == L'!') {
        const wchar_t* end = std::wcschr(p + 1, L'!');
        if (end == nullptr) return false;
        format.assign(p + 1, end);
        p = end + 1;
    }
    if (index == 0 || index > 99 || args == nullptr) return false;
    const DWORD_PTR arg = args[index - 1];
    if (format == L"s" || format == L"ws" || format == L"ls") {
        out += arg ? reinterpret_cast<const wchar_t*>(arg) : L"(null)";
        return true;
    }
    const wchar_t last = format.empty() ? L'\0' : format.back();
    switch (last) {
        case L'd':
        case L'i':
            out += std::to_wstring(static_cast<int32_t>(arg));
            return true;
        case L'u':
            out += std::to_wstring(static_cast<uint32_t>(arg));
            return true;
        case L'x':
        case L'X': {
            wchar_t digits[20];
            std::swprintf(digits, 20, last == L'x' ? L"%x" : L"%X", static_cast<uint32_t>(arg));
            out += digits;
            return true;
        }
        default:
            return false;
    }
}

// Expands escapes and inserts as FormatMessageW does without
// FORMAT_MESSAGE_IGNORE_INSERTS.
bool Expand(const wchar_t* text, const DWORD_PTR* args, std::wstring& out) {
    for (const wchar_t* p = text; *p != L'\0';) {
        if (*p != L'%') {
            out += *p++;
            continue;
        }
        ++p;
        switch (*p) {
            case L'0':
                return true;  // ends the message, without its line break
            case L'n':
                out += L"\r\n";
                ++p;
                break;
            case L'r':
                out += L'\r';
                ++p;
                break;
            case L't':
                out += L'\t';
                ++p;
                break;
            case L'%':
            case L' ':
            case L'.':
            case L'!':
                out += *p++;
                break;
            case L'\0':
                return true;
            default:
                if (*p < L'1' || *p > L'9' || !AppendInsert(p, args, out)) return false;
        }
    }
    return true;
}

}  // namespace

HMODULE LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD /*dwFlags*/) {
    if (lpLibFileName == nullptr || hFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!IsNetworkMessageModuleName(lpLibFileName)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ++networkModule.references;
    return NetworkModuleHandle();
}

BOOL FreeLibrary(HMODULE hLibModule) {
    if (hLibModule != NetworkModuleHandle() || networkModule.references.load() <= 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --networkModule.references;
    return TRUE;
}

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, void* Arguments) {
    const bool fromString = dwFlags & FORMAT_MESSAGE_FROM_STRING;
    const bool fromModule = dwFlags & FORMAT_MESSAGE_FROM_HMODULE;
    const bool fromSystem = dwFlags & FORMAT_MESSAGE_FROM_SYSTEM;
    if (lpBuffer == nullptr || (fromString && (fromModule || fromSystem)) ||
        (!fromString && !fromModule && !fromSystem))
        return Fail(ERROR_INVALID_PARAMETER);

    const wchar_t* text = nullptr;
    if (fromString) {
        text = static_cast<const wchar_t*>(lpSource);
        if (text == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    } else {
        if (!EnglishOrNeutral(dwLanguageId)) return Fail(ERROR_RESOURCE_LANG_NOT_FOUND);
        if (fromModule && lpSource != nullptr) {
            if (lpSource != NetworkModuleHandle()) return Fail(ERROR_INVALID_HANDLE);
            text = winapi::NetworkMessageText(dwMessageId);
        }
        // The process image carries no message table of its own, so a null
        // module falls through to the system table like a missing text does.
        if (text == nullptr && fromSystem) {
            DWORD code = dwMessageId;
            if ((code & 0xffff0000u) == kFacilityWin32Prefix) code &= 0xffffu;  // HRESULT_FROM_WIN32
            text = winapi::SystemMessageText(code);
        }
        if (text == nullptr) return Fail(ERROR_MR_MID_NOT_FOUND);
    }

    std::wstring message;
    const bool tableText = !fromString;
    const bool singleLine = (dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if (dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) {
        message = text;
    } else {
        const DWORD_PTR* args =
            (dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) ? static_cast<const DWORD_PTR*>(Arguments) : nullptr;
        if (!Expand(text, args, message)) return Fail(ERROR_INVALID_PARAMETER);
    }
    // Table texts end in a line break, which a width of 0xFF (one line, no
    // regular breaks) drops.
    if (tableText && !singleLine) message += L"\r\n";

    const size_t needed = message.size() + 1;
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        const size_t chars = needed > nSize ? needed : nSize;
        auto* block = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, chars * sizeof(WCHAR)));
        if (block == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        std::wmemcpy(block, message.c_str(), needed);
        *reinterpret_cast<LPWSTR*>(lpBuffer) = block;
    } else {
        if (nSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
        std::wmemcpy(lpBuffer, message.c_str(), needed);
    }
    return static_cast<DWORD>(message.size());
}
