// Message texts of the return codes: string resources of the program, whose
// identifier is the code (engine/messages.rc).
#include "engine/tavrik.h"

std::wstring CTavrik::GetReturnCodeText(DWORD code) {
    WCHAR buffer[1024] = {};
    int length = LoadStringW(GetModuleHandleW(nullptr), static_cast<UINT>(code), buffer,
                             static_cast<int>(sizeof(buffer) / sizeof(buffer[0])));
    if (length <= 0) return std::wstring();
    return std::wstring(buffer, static_cast<size_t>(length));
}
