// The process token: OpenProcessToken, LookupPrivilegeValueW and
// AdjustTokenPrivileges over the simulated computer's token.
#include <memory>
#include <vector>

#include "winapi/base/handles.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/process_token.h"
#include "winapi/machine/win32_guard.h"
#include "winapi/win32.h"

using namespace winapi::machine;

namespace {

// Windows' pseudo handle for "this process".
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

class TokenHandle : public winapi::HandleObject {
public:
    explicit TokenHandle(DWORD access) : access(access) {}
    DWORD access;
};

const wchar_t* PrivilegeByLuid(const LUID& luid) {
    if (luid.HighPart != 0) return nullptr;
    for (const auto& privilege : KnownPrivileges())
        if (privilege.luid == luid.LowPart) return privilege.name;
    return nullptr;
}

DWORD LuidOf(const std::wstring& name) {
    for (const auto& privilege : KnownPrivileges())
        if (name == privilege.name) return privilege.luid;
    return 0;
}

}  // namespace

HANDLE GetCurrentProcess() { return kCurrentProcess; }

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (TokenHandle == nullptr) return BoolResult(ERROR_INVALID_PARAMETER);
    *TokenHandle = nullptr;
    if (ProcessHandle != kCurrentProcess) return BoolResult(ERROR_INVALID_HANDLE);
    return BoolResult(GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("OpenProcessToken")) return fault;
        *TokenHandle = winapi::RegisterHandle(std::make_unique<::TokenHandle>(DesiredAccess));
        return ERROR_SUCCESS;
    }));
}

BOOL LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
    if (lpName == nullptr || lpLuid == nullptr) return BoolResult(ERROR_INVALID_PARAMETER);
    return BoolResult(GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("LookupPrivilegeValueW", lpName)) return fault;
        auto computer = FindComputerRecord(lpSystemName == nullptr ? std::wstring_view() : lpSystemName);
        if (!computer || !computer->reachable) return RPC_S_SERVER_UNAVAILABLE;
        std::wstring name = CanonicalPrivilegeName(lpName);
        if (name.empty()) return ERROR_NO_SUCH_PRIVILEGE;
        lpLuid->LowPart = LuidOf(name);
        lpLuid->HighPart = 0;
        return ERROR_SUCCESS;
    }));
}

BOOL AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                           DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    auto* token = winapi::LookupHandleAs<::TokenHandle>(TokenHandle);
    if (token == nullptr) return BoolResult(ERROR_INVALID_HANDLE);
    if (!(token->access & TOKEN_ADJUST_PRIVILEGES)) return BoolResult(ERROR_ACCESS_DENIED);
    if (!DisableAllPrivileges && NewState == nullptr) return BoolResult(ERROR_INVALID_PARAMETER);
    if (PreviousState != nullptr && !(token->access & TOKEN_QUERY)) return BoolResult(ERROR_ACCESS_DENIED);
    bool notAllAssigned = false;
    DWORD error = GuardedCall([&]() -> DWORD {
        if (DWORD fault = InjectedFailure("AdjustTokenPrivileges")) return fault;
        std::lock_guard guard(MachineLock());
        // Read through the shared copy: taking the token for writing drops
        // that copy, and a job enables the same privilege before every
        // object, so the copy is given up only when a privilege really
        // changes state.
        const std::shared_ptr<const winapi::AccessToken> current = SharedToken();
        const winapi::AccessToken& process = *current;
        // Work out every change first: a call that fails changes nothing.
        struct Change {
            std::wstring name;
            bool enable;
        };
        std::vector<Change> changes;
        if (DisableAllPrivileges) {
            for (const auto& name : process.enabledPrivileges) changes.push_back({name, false});
        } else {
            for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
                const auto& entry = NewState->Privileges[i];
                const wchar_t* name = PrivilegeByLuid(entry.Luid);
                if (name == nullptr) return ERROR_NO_SUCH_PRIVILEGE;
                if (!process.heldPrivileges.count(name)) {
                    notAllAssigned = true;
                    continue;
                }
                changes.push_back({name, (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0});
            }
        }
        std::vector<LUID_AND_ATTRIBUTES> previous;
        for (const auto& change : changes) {
            bool wasEnabled = process.enabledPrivileges.count(change.name) != 0;
            if (wasEnabled != change.enable) {
                LUID luid{LuidOf(change.name), 0};
                previous.push_back({luid, wasEnabled ? SE_PRIVILEGE_ENABLED : 0u});
            }
        }
        if (PreviousState != nullptr) {
            DWORD needed = static_cast<DWORD>(sizeof(DWORD) + sizeof(LUID_AND_ATTRIBUTES) *
                                                                  (previous.empty() ? 1 : previous.size()));
            if (ReturnLength != nullptr) *ReturnLength = needed;
            if (BufferLength < needed) return ERROR_INSUFFICIENT_BUFFER;
            PreviousState->PrivilegeCount = static_cast<DWORD>(previous.size());
            for (size_t i = 0; i < previous.size(); ++i) PreviousState->Privileges[i] = previous[i];
        }
        if (previous.empty()) return ERROR_SUCCESS;
        winapi::AccessToken& token = ProcessToken();
        for (const auto& change : changes) {
            if (change.enable) token.enabledPrivileges.insert(change.name);
            else token.enabledPrivileges.erase(change.name);
        }
        return ERROR_SUCCESS;
    });
    if (error != ERROR_SUCCESS) return BoolResult(error);
    // Windows reports privileges the token lacks only through the last error.
    SetLastError(notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}
