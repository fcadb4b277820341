#include "winapi/machine/registry_model.h"

#include "winapi/machine/network_records.h"
#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

const char* const kKeyColumns = "SELECT id, computer_id, ifnull(parent_id, 0), name, descriptor FROM keys ";

KeyRecord ReadKey(const Query& q) { return KeyRecord{q.Int(0), q.Int(1), q.Int(2), q.WText(3), q.Blob(4)}; }

}  // namespace

std::wstring CanonicalRootName(std::wstring_view root) {
    for (const wchar_t* name : {L"MACHINE", L"USERS", L"CLASSES_ROOT", L"CURRENT_USER"})
        if (EqualNoCase(root, name)) return name;
    return {};
}

std::optional<KeyRecord> FindRootKey(int64_t computerId, std::wstring_view root) {
    std::wstring canonical = CanonicalRootName(root);
    if (canonical.empty()) return std::nullopt;
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(std::string(kKeyColumns) +
                                     "WHERE computer_id = ?1 AND parent_id IS NULL AND name_key = ?2");
    q.Bind(1, computerId).Bind(2, canonical);
    if (!q.Step()) return std::nullopt;
    return ReadKey(q);
}

std::optional<KeyRecord> FindChildKey(const KeyRecord& parent, std::wstring_view name) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(std::string(kKeyColumns) + "WHERE parent_id = ?1 AND name_key = ?2");
    q.Bind(1, parent.id).Bind(2, UpperCase(name));
    if (!q.Step()) return std::nullopt;
    return ReadKey(q);
}

std::optional<KeyRecord> KeyById(int64_t id) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare(std::string(kKeyColumns) + "WHERE id = ?1");
    q.Bind(1, id);
    if (!q.Step()) return std::nullopt;
    return ReadKey(q);
}

std::wstring KeyPath(const KeyRecord& key) {
    std::wstring path = key.name;
    for (auto parent = key.parentId ? KeyById(key.parentId) : std::nullopt; parent;
         parent = parent->parentId ? KeyById(parent->parentId) : std::nullopt) {
        path = parent->name + L"\\" + path;
    }
    auto computer = ComputerRecordById(key.computerId);
    if (computer && !computer->isLocal) path = L"\\\\" + computer->name + L"\\" + path;
    return path;
}

std::vector<KeyRecord> ChildKeys(int64_t id) {
    std::lock_guard guard(MachineLock());
    std::vector<KeyRecord> all;
    // UTF-8 sorts by code point, which is Windows' order of upper-cased names.
    Query q = CurrentStore().Prepare(std::string(kKeyColumns) + "WHERE parent_id = ?1 ORDER BY name_key");
    q.Bind(1, id);
    while (q.Step()) all.push_back(ReadKey(q));
    return all;
}

size_t ChildKeyCount(int64_t id) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare("SELECT count(*) FROM keys WHERE parent_id = ?1");
    q.Bind(1, id);
    return q.Step() ? static_cast<size_t>(q.Int(0)) : 0;
}

std::optional<std::wstring> ChildKeyName(int64_t id, size_t index) {
    std::lock_guard guard(MachineLock());
    Query q = CurrentStore().Prepare("SELECT name FROM keys WHERE parent_id = ?1 ORDER BY name_key LIMIT 1 OFFSET ?2");
    q.Bind(1, id).Bind(2, static_cast<int64_t>(index));
    if (!q.Step()) return std::nullopt;
    return q.WText(0);
}

bool SplitKeyPath(std::wstring_view path, std::vector<std::wstring>* parts) {
    parts->clear();
    if (path.empty()) return true;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find(L'\\', start);
        std::wstring_view part = path.substr(start, slash == std::wstring_view::npos ? path.npos : slash - start);
        bool last = slash == std::wstring_view::npos || slash + 1 == path.size();
        if (part.empty()) return last && !parts->empty();
        if (part.size() > 255) return false;
        parts->emplace_back(part);
        if (slash == std::wstring_view::npos || slash + 1 == path.size()) break;
        start = slash + 1;
    }
    return true;
}

int64_t InsertKey(int64_t computerId, int64_t parentId, const std::wstring& name, const Bytes& descriptor) {
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    Transaction transaction(store);
    Query q = store.Prepare(
        "INSERT INTO keys (computer_id, parent_id, name, name_key, descriptor) VALUES (?1, ?2, ?3, ?4, ?5)");
    q.Bind(1, computerId);
    if (parentId == 0) q.BindNull(2);
    else q.Bind(2, parentId);
    q.Bind(3, name).Bind(4, parentId == 0 ? CanonicalRootName(name) : UpperCase(name)).BindBlob(5, descriptor);
    q.Run();
    int64_t id = store.LastInsertId();
    transaction.Commit();
    return id;
}

void WriteKeyDescriptor(int64_t id, const Bytes& descriptor) {
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    Transaction transaction(store);
    store.Prepare("UPDATE keys SET descriptor = ?1 WHERE id = ?2").BindBlob(1, descriptor).Bind(2, id).Run();
    transaction.Commit();
}

}  // namespace winapi::machine
