// Fuzzes the SDDL parser with arbitrary text. Whatever parses must print,
// and the printed text must parse again and print identically: the
// canonical form is a fixed point.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>

#include "winapi/win32.h"

namespace {

struct LocalFreeDeleter {
    void operator()(void* block) const { LocalFree(block); }
};
using LocalBlock = std::unique_ptr<void, LocalFreeDeleter>;

constexpr SECURITY_INFORMATION kAll =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

LocalBlock Parse(const std::wstring& text) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
        return nullptr;
    }
    return LocalBlock(sd);
}

std::wstring Print(void* sd) {
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, kAll, &text, nullptr)) {
        std::fprintf(stderr, "a parsed descriptor could not be printed (error %u)\n", GetLastError());
        std::abort();
    }
    LocalBlock owned(text);
    return std::wstring(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Bytes above 0x7F become characters beyond ASCII, which must be refused
    // like any other stray character.
    std::wstring text;
    text.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) break;
        text += static_cast<wchar_t>(data[i] < 0x80 ? data[i] : 0x100 + data[i]);
    }
    LocalBlock first = Parse(text);
    if (!first) return 0;
    std::wstring printed = Print(first.get());
    LocalBlock second = Parse(printed);
    if (!second) {
        std::fprintf(stderr, "printed text does not parse again: %ls\n", printed.c_str());
        std::abort();
    }
    std::wstring reprinted = Print(second.get());
    if (reprinted != printed) {
        std::fprintf(stderr, "printing is not stable:\n  %ls\n  %ls\n", printed.c_str(), reprinted.c_str());
        std::abort();
    }
    return 0;
}
