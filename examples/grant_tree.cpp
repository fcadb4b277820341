// A host of the engine: grants BUILTIN\Users read & execute on a directory
// tree, then reads every changed descriptor back and prints it as SDDL.
//   grant_tree [DIRECTORY]      (default C:\Data)
#include <cstdio>
#include <string>
#include <vector>

#include "engine/tavrik.h"

int main(int argc, char** argv) {
    const std::string given = argc > 1 ? argv[1] : "C:\\Data";
    std::vector<std::wstring> changed;
    CTavrik job([&changed](const std::wstring& line) {
        std::printf("%ls\n", line.c_str());
        const std::wstring prefix = L"Processing ACL of: <";
        if (line.rfind(prefix, 0) == 0) changed.push_back(line.substr(prefix.size(), line.size() - prefix.size() - 1));
    });
    job.SetObject(std::wstring(given.begin(), given.end()), SE_FILE_OBJECT);
    job.SetAction(ACTION_ADD_ACE);
    job.AddACE(L"BUILTIN\\Users", FALSE, L"read_ex", 0, FALSE, GRANT_ACCESS, ACL_DACL);
    job.SetRecursion(RECURSE_CONTAINERS | RECURSE_OBJECTS);
    const DWORD code = job.Run();

    for (const std::wstring& name : changed) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        LPWSTR sddl = nullptr;
        if (GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                                  nullptr, &sd) == ERROR_SUCCESS &&
            ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl,
                                                                 nullptr)) {
            std::printf("%ls  %ls\n", name.c_str(), sddl);
        }
        LocalFree(sddl);
        LocalFree(sd);
    }
    return static_cast<int>(code);
}
