// LoadStringW and GetModuleHandleW over the program's registered strings.
#include "winapi/base/string_resources.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "winapi/base.h"
#include "winapi/errors.h"

namespace winapi {

namespace {

// Function-local so that tables registered during static initialisation of
// other files always find it constructed.
std::map<UINT, std::wstring>& Strings() {
    static std::map<UINT, std::wstring> strings;
    return strings;
}

// The one module this layer knows: the program itself.
HMODULE ProgramModule() {
    static char marker;
    return reinterpret_cast<HMODULE>(&marker);
}

}  // namespace

StringResourceTable::StringResourceTable(std::initializer_list<StringResource> strings) {
    for (const StringResource& entry : strings) Strings()[entry.id] = entry.text ? entry.text : L"";
}

const std::wstring* FindStringResource(UINT id) {
    auto it = Strings().find(id);
    return it == Strings().end() ? nullptr : &it->second;
}

}  // namespace winapi

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    if (lpModuleName == nullptr) return winapi::ProgramModule();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
    if (hInstance != nullptr && hInstance != winapi::ProgramModule()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    if (lpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring* text = winapi::FindStringResource(uID);
    if (text == nullptr) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        if (cchBufferMax > 0) lpBuffer[0] = L'\0';
        return 0;
    }
    if (cchBufferMax == 0) {
        // As on Windows: a read-only pointer to the resource itself.
        *reinterpret_cast<const wchar_t**>(lpBuffer) = text->c_str();
        return static_cast<int>(text->size());
    }
    if (cchBufferMax < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t copied = std::min(text->size(), static_cast<size_t>(cchBufferMax) - 1);
    std::memcpy(lpBuffer, text->data(), copied * sizeof(wchar_t));
    lpBuffer[copied] = L'\0';
    return static_cast<int>(copied);
}
