// Injected failures, kept in the database so that a tavrik process started
// by a test fails the way the test asked.
#include "winapi/machine/admin.h"
#include "winapi/machine/machine.h"
#include "winapi/machine/network_cache.h"
#include "winapi/machine/network_records.h"
#include "winapi/machine/text.h"
#include "winapi/win32.h"

namespace winapi::machine {

void InjectFault(const std::string& call, DWORD error, int count, const std::wstring& object) {
    if (call.empty()) throw std::runtime_error("a fault needs the name of the call that fails");
    if (count == 0) return;
    std::lock_guard guard(MachineLock());
    Transaction transaction(CurrentStore());
    CurrentStore()
        .Prepare("INSERT INTO faults (call, error, remaining, object_key) VALUES (?1, ?2, ?3, ?4)")
        .Bind(1, call)
        .Bind(2, static_cast<int64_t>(error))
        .Bind(3, static_cast<int64_t>(count < 0 ? -1 : count))
        .Bind(4, UpperCase(object))
        .Run();
    transaction.Commit();
}

void ClearFaults() {
    std::lock_guard guard(MachineLock());
    Transaction transaction(CurrentStore());
    CurrentStore().Prepare("DELETE FROM faults").Run();
    CurrentStore().Prepare("DELETE FROM settings WHERE name = 'disk_full'").Run();
    transaction.Commit();
}

void SetDiskFull(bool full) {
    std::lock_guard guard(MachineLock());
    Transaction transaction(CurrentStore());
    if (full) CurrentStore().Prepare("INSERT OR REPLACE INTO settings (name, value) VALUES ('disk_full', '1')").Run();
    else CurrentStore().Prepare("DELETE FROM settings WHERE name = 'disk_full'").Run();
    transaction.Commit();
}

namespace {

// Whether any fault or a full disk is injected, as the cached rows say;
// kept on the thread under their generation, so that the common case, no
// faults at all, costs neither a lock nor a read of the database.
struct FaultRows {
    uint64_t network = 0;
    bool anyFaults = false;
    bool diskFull = false;
};

const FaultRows& CurrentFaultRows() {
    thread_local FaultRows rows;
    const uint64_t network = NetworkGeneration();
    if (rows.network != network) {
        std::lock_guard guard(MachineLock());
        const CachedNetwork& current = CurrentNetwork();
        rows = {network, current.anyFaults, current.diskFull};
    }
    return rows;
}

}  // namespace

DWORD InjectedFailure(std::string_view call, std::wstring_view object) {
    try {
        if (!CurrentFaultRows().anyFaults) return ERROR_SUCCESS;
        std::lock_guard guard(MachineLock());
        Store& store = CurrentStore();
        int64_t id = 0, remaining = 0;
        DWORD error = 0;
        {
            Query q = store.Prepare(
                "SELECT id, error, remaining FROM faults WHERE call = ?1 AND (object_key = '' OR object_key = ?2)"
                " ORDER BY object_key DESC, id LIMIT 1");
            q.Bind(1, std::string(call)).Bind(2, UpperCase(object));
            if (!q.Step()) return ERROR_SUCCESS;
            id = q.Int(0);
            error = static_cast<DWORD>(q.Int(1));
            remaining = q.Int(2);
        }
        if (remaining > 0) {
            // Another process may be counting the same fault down: take the
            // write lock, then look again before using up one more.
            Transaction transaction(store);
            {
                Query again = store.Prepare("SELECT remaining FROM faults WHERE id = ?1");
                again.Bind(1, id);
                if (!again.Step()) return ERROR_SUCCESS;
                remaining = again.Int(0);
            }
            if (remaining == 1) store.Prepare("DELETE FROM faults WHERE id = ?1").Bind(1, id).Run();
            else store.Prepare("UPDATE faults SET remaining = remaining - 1 WHERE id = ?1").Bind(1, id).Run();
            transaction.Commit();
        }
        return error;
    } catch (const std::exception&) {
        return ERROR_SUCCESS;
    }
}

bool DiskFullInjected() {
    try {
        return CurrentFaultRows().diskFull;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace winapi::machine
