#include "engine_fixture.h"

#include "engine/local_memory.h"
#include "support/privileges.h"
#include "support/sddl_access.h"

namespace tavrik::test {

namespace {

// Test set-up writes owners and SACLs as an administrator's tools would,
// with the restore and security privileges switched on.
void EnableSetupPrivileges() { EnablePrivileges({SE_RESTORE_NAME, SE_SECURITY_NAME}); }

}  // namespace

EngineTest::EngineTest() = default;

std::unique_ptr<CTavrik> EngineTest::NewJob() {
    return std::make_unique<CTavrik>([this](const std::wstring& line) { messages.push_back(line); });
}

std::wstring EngineTest::Sddl(const std::wstring& name, DWORD type, SECURITY_INFORMATION info) {
    return ReadSddl(name, type, info);
}

DWORD EngineTest::SetSddl(const std::wstring& name, DWORD type, const std::wstring& sddl, SECURITY_INFORMATION info) {
    EnableSetupPrivileges();
    return WriteSddl(name, type, sddl, info);
}

std::wstring EngineTest::SidOf(const std::wstring& system, const std::wstring& account) {
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidSize = sizeof(sid);
    WCHAR domain[256] = {};
    DWORD domainSize = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountNameW(system.empty() ? nullptr : system.c_str(), account.c_str(), sid, &sidSize, domain,
                            &domainSize, &use)) {
        return L"<unknown account>";
    }
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return L"<bad sid>";
    LocalPtr<WCHAR> owned(text);
    return text;
}

}  // namespace tavrik::test
