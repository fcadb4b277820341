#include "winapi/machine/named_objects.h"

#include "winapi/machine/network_records.h"
#include "winapi/samba/samba_config.h"
#include "winapi/samba/samba_share_security.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

NamedObjectRecord ReadObject(const Query& q) {
    return NamedObjectRecord{q.Int(0), q.WText(1), q.Text(2), q.Blob(3)};
}

// On the Samba server itself a share's descriptor is smbd's, in
// share_info.tdb, for the shares smb.conf has.
bool SharesAreSambas(int64_t computerId, NamedObjectKind kind) {
    if (kind != NamedObjectKind::Share || SambaConfigurationPath().empty()) return false;
    auto local = LocalComputerRecord();
    return local && local->id == computerId;
}

void UseSambaDescriptor(NamedObjectRecord& record) {
    if (auto descriptor = ReadSambaShareDescriptor(record.name)) record.descriptor = std::move(*descriptor);
}

}  // namespace

std::optional<NamedObjectRecord> FindNamedObject(int64_t computerId, NamedObjectKind kind, std::wstring_view name) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(
        "SELECT id, name, directory, descriptor FROM objects WHERE computer_id = ?1 AND kind = ?2 AND name_key = ?3");
    q.Bind(1, computerId).Bind(2, static_cast<int64_t>(kind)).Bind(3, UpperCase(name));
    if (!q.Step()) return std::nullopt;
    NamedObjectRecord record = ReadObject(q);
    if (SharesAreSambas(computerId, kind)) UseSambaDescriptor(record);
    return record;
}

std::vector<NamedObjectRecord> NamedObjectsOf(int64_t computerId, NamedObjectKind kind) {
    std::lock_guard guard(MachineLock());
    std::vector<NamedObjectRecord> all;
    Query q = CurrentStore().Prepare(
        "SELECT id, name, directory, descriptor FROM objects WHERE computer_id = ?1 AND kind = ?2 ORDER BY name_key");
    q.Bind(1, computerId).Bind(2, static_cast<int64_t>(kind));
    while (q.Step()) all.push_back(ReadObject(q));
    if (SharesAreSambas(computerId, kind)) {
        for (NamedObjectRecord& record : all) UseSambaDescriptor(record);
    }
    return all;
}

void PutNamedObject(int64_t computerId, NamedObjectKind kind, const std::wstring& name, const std::string& directory,
                    const Bytes& descriptor) {
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    Transaction transaction(store);
    Query q = store.Prepare(
        "INSERT INTO objects (computer_id, kind, name, name_key, directory, descriptor) VALUES (?1, ?2, ?3, ?4, ?5, ?6)"
        " ON CONFLICT (computer_id, kind, name_key) DO UPDATE SET name = excluded.name,"
        " directory = excluded.directory, descriptor = excluded.descriptor");
    q.Bind(1, computerId).Bind(2, static_cast<int64_t>(kind)).Bind(3, name).Bind(4, UpperCase(name));
    q.Bind(5, directory).BindBlob(6, descriptor);
    q.Run();
    transaction.Commit();
}

void WriteNamedObjectDescriptor(int64_t id, const Bytes& descriptor) {
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    {
        Query q = store.Prepare("SELECT computer_id, kind, name FROM objects WHERE id = ?1");
        q.Bind(1, id);
        if (q.Step() && SharesAreSambas(q.Int(0), static_cast<NamedObjectKind>(q.Int(1)))) {
            WriteSambaShareDescriptor(q.WText(2), descriptor);
        }
    }
    Transaction transaction(store);
    store.Prepare("UPDATE objects SET descriptor = ?1 WHERE id = ?2").BindBlob(1, descriptor).Bind(2, id).Run();
    transaction.Commit();
}

}  // namespace winapi::machine
