// tavrik sddl TEXT: prints a security descriptor in Windows' canonical SDDL.
#include <iostream>
#include <memory>

#include "cli/command.h"
#include "winapi/win32.h"

namespace tavrik::cli {
namespace {

struct LocalFreeDeleter {
    void operator()(void* block) const { LocalFree(block); }
};

int ConvertToCanonicalSddl(const std::string& text) {
    std::wstring input = FromConsole(text);
    PSECURITY_DESCRIPTOR rawSd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(input.c_str(), SDDL_REVISION_1, &rawSd, nullptr)) {
        DWORD error = GetLastError();
        std::cerr << "tavrik sddl: not a valid security descriptor: \"" << text << "\" (Windows error " << error
                  << ")\n";
        return 1;
    }
    std::unique_ptr<void, LocalFreeDeleter> sd(rawSd);
    LPWSTR rawText = nullptr;
    const SECURITY_INFORMATION all =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.get(), SDDL_REVISION_1, all, &rawText, nullptr)) {
        std::cerr << "tavrik sddl: the descriptor could not be written as SDDL (Windows error " << GetLastError()
                  << ")\n";
        return 1;
    }
    std::unique_ptr<void, LocalFreeDeleter> canonical(rawText);
    std::cout << ToConsole(rawText) << "\n";
    return 0;
}

const CommandRegistration registration(900, {"sddl"}, [](CLI::App& app, int& exitCode) {
    auto* cmd = app.add_subcommand("sddl", "Print a security descriptor in Windows' canonical SDDL form");
    cmd->footer("Example:\n  tavrik sddl 'D:(a;;ga;;; wd)'   prints D:(A;;GA;;;WD)\n"
                "Exit status 0 when Windows would accept the text, 1 when it would reject it.");
    auto text = std::make_shared<std::string>();
    cmd->add_option("TEXT", *text, "SDDL text, e.g. O:BAG:SYD:PAI(A;OICI;FA;;;BA)")->required();
    cmd->callback([text, &exitCode] { exitCode = ConvertToCanonicalSddl(*text); });
});

}  // namespace
}  // namespace tavrik::cli
