#include "winapi/machine/store.h"

#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "winapi/machine/text.h"

namespace winapi::machine {
namespace {

// Each step brings the schema from version N to N+1; the database records
// the version it has reached in PRAGMA user_version.
const char* const kMigrations[] = {
    // 1: the network as first released
    R"sql(
CREATE TABLE computers (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL,
    name_key TEXT NOT NULL UNIQUE,
    role INTEGER NOT NULL DEFAULT 0,
    domain TEXT NOT NULL DEFAULT '',
    is_local INTEGER NOT NULL DEFAULT 0,
    reachable INTEGER NOT NULL DEFAULT 1,
    major INTEGER NOT NULL DEFAULT 10,
    minor INTEGER NOT NULL DEFAULT 0,
    platform INTEGER NOT NULL DEFAULT 2,
    build INTEGER NOT NULL DEFAULT 19045,
    machine_sid TEXT NOT NULL
);
CREATE TABLE domains (
    id INTEGER PRIMARY KEY,
    flat_name TEXT NOT NULL,
    flat_key TEXT NOT NULL UNIQUE,
    dns_name TEXT NOT NULL,
    dns_key TEXT NOT NULL,
    controller TEXT NOT NULL DEFAULT '',
    sid TEXT NOT NULL
);
CREATE TABLE accounts (
    id INTEGER PRIMARY KEY,
    owner_key TEXT NOT NULL,
    name TEXT NOT NULL,
    name_key TEXT NOT NULL,
    kind INTEGER NOT NULL,
    sid TEXT NOT NULL UNIQUE,
    UNIQUE (owner_key, name_key)
);
CREATE TABLE drives (
    computer_id INTEGER NOT NULL REFERENCES computers(id),
    letter TEXT NOT NULL,
    directory TEXT NOT NULL DEFAULT '',
    remote TEXT NOT NULL DEFAULT '',
    PRIMARY KEY (computer_id, letter)
);
CREATE TABLE keys (
    id INTEGER PRIMARY KEY,
    computer_id INTEGER NOT NULL REFERENCES computers(id),
    parent_id INTEGER REFERENCES keys(id),
    name TEXT NOT NULL,
    name_key TEXT NOT NULL,
    descriptor BLOB NOT NULL
);
CREATE UNIQUE INDEX keys_by_parent ON keys (computer_id, ifnull(parent_id, 0), name_key);
CREATE TABLE objects (
    id INTEGER PRIMARY KEY,
    computer_id INTEGER NOT NULL REFERENCES computers(id),
    kind INTEGER NOT NULL,
    name TEXT NOT NULL,
    name_key TEXT NOT NULL,
    directory TEXT NOT NULL DEFAULT '',
    descriptor BLOB NOT NULL,
    UNIQUE (computer_id, kind, name_key)
);
CREATE TABLE token (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    user_sid TEXT NOT NULL,
    groups TEXT NOT NULL,
    privileges TEXT NOT NULL
);
CREATE TABLE faults (
    id INTEGER PRIMARY KEY,
    call TEXT NOT NULL,
    error INTEGER NOT NULL,
    remaining INTEGER NOT NULL,
    object_key TEXT NOT NULL DEFAULT ''
);
CREATE TABLE settings (
    name TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
)sql",
    // 2: sub-keys are looked up by parent and name on every open and enumeration
    R"sql(
CREATE INDEX keys_by_parent_name ON keys (parent_id, name_key);
)sql",
    // 3: which accounts belong to which groups, for access checks of accounts other than the caller's
    R"sql(
CREATE TABLE IF NOT EXISTS memberships (
    group_sid TEXT NOT NULL,
    member_sid TEXT NOT NULL,
    PRIMARY KEY (group_sid, member_sid)
);
CREATE INDEX IF NOT EXISTS memberships_by_member ON memberships (member_sid);
)sql",
};

}  // namespace

Query::Query(Store& store, sqlite3_stmt* statement, bool owned) : store_(&store), statement_(statement), owned_(owned) {}

Query::Query(Query&& other) noexcept
    : store_(other.store_), statement_(other.statement_), owned_(other.owned_) {
    other.statement_ = nullptr;
}

Query::~Query() {
    if (statement_ == nullptr) return;
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    if (owned_) sqlite3_finalize(statement_);
    else store_->Release(statement_);
}

Query& Query::Bind(int index, int64_t value) {
    if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) store_->Fail("bind");
    return *this;
}

Query& Query::Bind(int index, const std::string& text) {
    if (sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        store_->Fail("bind");
    return *this;
}

Query& Query::Bind(int index, const std::wstring& text) { return Bind(index, ToUtf8(text)); }

Query& Query::BindBlob(int index, const Bytes& blob) {
    // A zero-length blob must still bind as a blob, not as NULL.
    static const BYTE empty = 0;
    const void* data = blob.empty() ? static_cast<const void*>(&empty) : blob.data();
    if (sqlite3_bind_blob(statement_, index, data, static_cast<int>(blob.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        store_->Fail("bind");
    return *this;
}

Query& Query::BindNull(int index) {
    if (sqlite3_bind_null(statement_, index) != SQLITE_OK) store_->Fail("bind");
    return *this;
}

bool Query::Step() {
    int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    store_->Fail("step");
}

void Query::Run() {
    while (Step()) {
    }
}

int64_t Query::Int(int column) const { return sqlite3_column_int64(statement_, column); }

std::string Query::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(statement_, column);
    int size = sqlite3_column_bytes(statement_, column);
    return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), size);
}

std::wstring Query::WText(int column) const { return FromUtf8(Text(column)); }

Bytes Query::Blob(int column) const {
    const BYTE* data = static_cast<const BYTE*>(sqlite3_column_blob(statement_, column));
    int size = sqlite3_column_bytes(statement_, column);
    return data == nullptr ? Bytes() : Bytes(data, data + size);
}

bool Query::IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

Store::Store(const std::string& path) : path_(path) {
    int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open the machine database " + path + ": " + message);
    }
    // Test processes and the tavrik program they start share one file.
    sqlite3_busy_timeout(db_, 10000);
    sqlite3_update_hook(db_, &Store::CountChange, this);
    try {
        Execute("PRAGMA foreign_keys = ON");
        // A write-ahead log keeps each transaction to one sync at commit
        // and lets readers in other processes go on while one writes.
        // Switching a new file to WAL takes an exclusive lock for which
        // SQLite does not always wait (several processes creating the
        // default database at once): retry within the busy timeout.
        for (int attempt = 0;; ++attempt) {
            int rc = sqlite3_exec(db_, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) break;
            if ((rc & 0xff) != SQLITE_BUSY || attempt == 1000) Fail("switching to write-ahead logging");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Execute("PRAGMA synchronous = NORMAL");
        Migrate();
    } catch (...) {
        CloseConnection();
        throw;
    }
}

Store::~Store() { CloseConnection(); }

void Store::CloseConnection() {
    for (auto& [text, statement] : idle_) sqlite3_finalize(statement);
    idle_.clear();
    textOf_.clear();
    // close_v2 also releases the connection once any statement still in use
    // is finalized, so nothing leaks whatever state an error left.
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

void Store::Fail(const std::string& what) const {
    throw StoreError("machine database " + path_ + ": " + what + " failed: " + sqlite3_errmsg(db_));
}

void Store::Execute(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw StoreError("machine database " + path_ + ": " + message);
    }
}

void Store::Migrate() {
    Transaction transaction(*this);
    int version = 0;
    {
        Query query = Prepare("PRAGMA user_version");
        if (query.Step()) version = static_cast<int>(query.Int(0));
    }
    const int latest = static_cast<int>(std::size(kMigrations));
    if (version > latest)
        throw StoreError("the machine database " + path_ + " was written by a newer tavrik (schema " +
                         std::to_string(version) + ")");
    for (; version < latest; ++version) Execute(kMigrations[version]);
    Execute(("PRAGMA user_version = " + std::to_string(latest)).c_str());
    transaction.Commit();
}

Query Store::Prepare(const std::string& sql) {
    auto it = idle_.find(sql);
    if (it != idle_.end()) {
        sqlite3_stmt* statement = it->second;
        idle_.erase(it);
        return Query(*this, statement, false);
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK)
        Fail("preparing \"" + sql + "\"");
    textOf_[statement] = sql;
    return Query(*this, statement, false);
}

void Store::Release(sqlite3_stmt* statement) {
    auto it = textOf_.find(statement);
    if (it == textOf_.end()) {
        sqlite3_finalize(statement);
        return;
    }
    idle_.emplace(it->second, statement);
}

void Store::CountChange(void* store, int, const char*, const char* table, long long) {
    auto& counts = static_cast<Store*>(store)->ownChanges_;
    auto it = counts.find(std::string_view(table));
    if (it == counts.end()) it = counts.emplace(table, 0).first;
    ++it->second;
}

uint64_t Store::OwnChanges(const std::string& table) const {
    auto it = ownChanges_.find(table);
    return it == ownChanges_.end() ? 0 : it->second;
}

int64_t Store::OtherConnectionsVersion() {
    Query query = Prepare("PRAGMA data_version");
    return query.Step() ? query.Int(0) : 0;
}

int64_t Store::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }
int Store::Changes() const { return sqlite3_changes(db_); }

Transaction::Transaction(Store& store) : store_(store), guard_(store.Lock()), outer_(store.transactionDepth_ == 0) {
    if (outer_) store_.Execute("BEGIN IMMEDIATE");
    ++store_.transactionDepth_;
}

Transaction::~Transaction() {
    --store_.transactionDepth_;
    if (outer_ && !done_) {
        sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Transaction::Commit() {
    if (outer_ && !done_) store_.Execute("COMMIT");
    done_ = true;
}

}  // namespace winapi::machine
