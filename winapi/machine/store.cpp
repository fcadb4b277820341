#include "winapi/machine/store.h"

#include <sqlite3.h>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
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

namespace {

// ERROR_DISK_FULL and ERROR_WRITE_PROTECT, as the Win32 calls return them.
constexpr uint32_t kDiskFull = 112;
constexpr uint32_t kWriteProtect = 19;

// A file: URI for `path` with `parameters`: the characters a URI gives
// meaning to are escaped, so any file name opens as itself.
std::string FileUri(const std::string& path, const char* parameters) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7f) {
            uri += '%';
            uri += kHex[c >> 4];
            uri += kHex[c & 0xf];
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?" + parameters;
}

// Failures that mean the file system will not take a write: the disk is
// full, or the file system (or the file) is read-only. A write-ahead-log
// database then cannot even be opened for writing, because its side files
// (-wal, -shm) cannot be created or grown.
bool CannotWrite(int code) {
    switch (code & 0xff) {
        case SQLITE_FULL:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_IOERR:
        case SQLITE_PERM:
            return true;
        default:
            return false;
    }
}

}  // namespace

Store::Store(const std::string& path) : path_(path) {
    int code = OpenForWriting();
    if (code == SQLITE_OK) return;
    std::string message = openFailure_;
    struct stat status;
    // A database that exists but cannot be written is still read: jobs that
    // only read the network (listing, changing files) go on; a change to
    // the network says why it cannot be saved.
    if (CannotWrite(code) && ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        readOnlyReason_ = WriteRefusal(code);
        // With its side files present (or creatable) SQLite reads a
        // write-ahead-log database with the usual locking; when they cannot
        // be created, as immutable, which needs no side file: nothing can
        // change a file that no one can write.
        for (const char* parameters : {"mode=ro", "mode=ro&immutable=1"}) {
            if (OpenForReading(FileUri(path, parameters))) return;
        }
        message += "; reading it failed too: " + openFailure_;
    }
    throw StoreError("cannot open the machine database " + path + ": " + message);
}

int Store::OpenForWriting() {
    int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        openFailure_ = db_ ? sqlite3_errmsg(db_) : "out of memory";
        CloseConnection();
        return rc == SQLITE_OK ? SQLITE_ERROR : rc;
    }
    // Test processes and the tavrik program they start share one file.
    sqlite3_busy_timeout(db_, 10000);
    sqlite3_update_hook(db_, &Store::CountChange, this);
    sqlite3_extended_result_codes(db_, 1);
    // While another process creates the file and switches it to WAL, SQLite
    // answers some statements here with SQLITE_BUSY at once instead of
    // calling the busy handler (the first read of the schema, the switch's
    // exclusive lock): each setting is retried within the busy timeout.
    auto execUntilNotBusy = [this](const char* sql) {
        int result = SQLITE_OK;
        for (int attempt = 0; attempt <= 1000; ++attempt) {
            result = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
            if ((result & 0xff) != SQLITE_BUSY) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return result;
    };
    rc = execUntilNotBusy("PRAGMA foreign_keys = ON");
    // A write-ahead log keeps each transaction to one sync at commit
    // and lets readers in other processes go on while one writes.
    if (rc == SQLITE_OK) rc = execUntilNotBusy("PRAGMA journal_mode = WAL");
    // A file opened read-only (its file system is) reports no error until
    // it is written.
    if (rc == SQLITE_OK && sqlite3_db_readonly(db_, "main") == 1) rc = SQLITE_READONLY;
    if (rc == SQLITE_OK) rc = execUntilNotBusy("PRAGMA synchronous = NORMAL");
    if (rc != SQLITE_OK) {
        openFailure_ = std::string("switching to write-ahead logging failed: ") + sqlite3_errmsg(db_);
        CloseConnection();
        return rc;
    }
    try {
        Migrate();
    } catch (const StoreError& e) {
        const int migrationCode = sqlite3_extended_errcode(db_);
        CloseConnection();
        if (!CannotWrite(migrationCode)) throw;
        openFailure_ = e.what();
        return migrationCode;
    }
    return SQLITE_OK;
}

bool Store::OpenForReading(const std::string& uri) {
    int rc = sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(db_, 10000);
        sqlite3_extended_result_codes(db_, 1);
        // The schema must be the one this program reads; bringing it up to
        // date would be a write.
        sqlite3_stmt* statement = nullptr;
        rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &statement, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(statement) == SQLITE_ROW ? SQLITE_OK : sqlite3_errcode(db_);
        const int version = rc == SQLITE_OK ? sqlite3_column_int(statement, 0) : 0;
        sqlite3_finalize(statement);
        if (rc == SQLITE_OK && version != static_cast<int>(std::size(kMigrations))) {
            CloseConnection();
            throw StoreError("cannot open the machine database " + path_ + ": its schema (version " +
                             std::to_string(version) + ") would have to be brought up to date, but " +
                             readOnlyReason_);
        }
    }
    if (rc != SQLITE_OK) {
        openFailure_ = db_ ? sqlite3_errmsg(db_) : "out of memory";
        CloseConnection();
        return false;
    }
    return true;
}

std::string Store::WriteRefusal(int code) {
    struct statvfs fs;
    const std::string folder = std::filesystem::path(path_).parent_path().string();
    const bool readOnlyFs = ::statvfs(folder.empty() ? "." : folder.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY);
    readOnlyFileSystem_ = readOnlyFs;
    if (readOnlyFs) return "it is on a read-only file system";
    if ((code & 0xff) == SQLITE_FULL || (::statvfs(folder.empty() ? "." : folder.c_str(), &fs) == 0 && fs.f_bavail == 0))
        return "its disk is full (disk full: no space is left on its file system)";
    return "it cannot be written (" + openFailure_ + ")";
}

void Store::RefuseWriteWhenReadOnly() const {
    if (readOnlyReason_.empty()) return;
    throw StoreWriteRefused("the simulated network cannot be changed: the machine database " + path_ +
                                " was opened only for reading because " + readOnlyReason_,
                            readOnlyFileSystem_ ? kWriteProtect : kDiskFull);
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
    walIndex_ = nullptr;
    walIndexRefused_ = false;
    versionKnown_ = false;
}

void Store::Fail(const std::string& what) const {
    // A write that finds the disk full says so first.
    if ((sqlite3_extended_errcode(db_) & 0xff) == SQLITE_FULL)
        throw StoreWriteRefused("disk full: the machine database " + path_ + " cannot grow: " + what + " failed",
                                kDiskFull);
    throw StoreError("machine database " + path_ + ": " + what + " failed: " + sqlite3_errmsg(db_));
}

void Store::Execute(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        if ((sqlite3_extended_errcode(db_) & 0xff) == SQLITE_FULL) {
            sqlite3_free(error);
            throw StoreWriteRefused("disk full: the machine database " + path_ + " cannot grow", kDiskFull);
        }
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

namespace {
std::atomic<uint64_t> processChanges{0};
}  // namespace

uint64_t Store::ProcessChanges() { return processChanges.load(); }

void Store::CountChange(void* store, int, const char*, const char* table, long long) {
    processChanges.fetch_add(1);
    auto* self = static_cast<Store*>(store);
    auto& counts = self->ownChanges_;
    auto it = counts.find(std::string_view(table));
    if (it == counts.end()) it = counts.emplace(table, 0).first;
    ++it->second;
    ++self->allOwnChanges_;
}

uint64_t Store::OwnChanges(std::string_view table) const {
    auto it = ownChanges_.find(table);
    return it == ownChanges_.end() ? 0 : it->second;
}

// Every commit in WAL mode ends by rewriting the header at the start of
// the log's index (the -shm file every connection maps): the frame count
// grows, or the salts change when the log starts over, and the checksum
// over both changes with them. The header is written twice, the second
// copy first; a reader that finds both copies as it left them knows no
// commit has completed since, which is exactly when data_version (read in
// a transaction that takes and drops a lock on the index: two fcntl calls)
// would not have moved either. Any difference, a header half written
// included, only sends the look to data_version, and the copies kept are
// the ones read before it, so a commit landing between the two is seen by
// the next look.
constexpr int kWalIndexRegionSize = 32768;  // SQLite's region of the index
constexpr size_t kWalIndexHeadersSize = 96;  // two copies of the 48-byte header

const volatile unsigned char* Store::WalIndex() {
    if (walIndex_ || walIndexRefused_) return walIndex_;
    if (!readOnlyReason_.empty()) {
        walIndexRefused_ = true;
        return nullptr;
    }
    {
        Query mode = Prepare("PRAGMA journal_mode");
        if (!mode.Step() || mode.Text(0) != "wal") {
            walIndexRefused_ = true;
            return nullptr;
        }
    }
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods || file->pMethods->iVersion < 2 || !file->pMethods->xShmMap) {
        walIndexRefused_ = true;
        return nullptr;
    }
    // The region is mapped by the connection's first read; asking for it
    // without extending it returns that mapping, which lasts as long as the
    // connection.
    void volatile* region = nullptr;
    if (file->pMethods->xShmMap(file, 0, kWalIndexRegionSize, 0, &region) != SQLITE_OK || !region) return nullptr;
    walIndex_ = static_cast<const volatile unsigned char*>(region);
    return walIndex_;
}

int64_t Store::OtherConnectionsVersion() {
    const volatile unsigned char* index = WalIndex();
    // Read a word at a time (the mapping starts on a page): a word read
    // half before and half after a write differs from the copy kept, as a
    // byte of it would.
    static_assert(kWalIndexHeadersSize % sizeof(uint64_t) == 0);
    uint64_t headers[kWalIndexHeadersSize / sizeof(uint64_t)];
    if (index) {
        // The second copy is written first: reading the first copy first
        // means a commit under way makes at least one of them differ.
        const auto* words = reinterpret_cast<const volatile uint64_t*>(index);
        for (size_t i = 0; i < kWalIndexHeadersSize / sizeof(uint64_t); ++i) headers[i] = words[i];
        std::atomic_thread_fence(std::memory_order_acquire);
        if (versionKnown_ && std::memcmp(headers, lastHeaders_, kWalIndexHeadersSize) == 0) return lastVersion_;
    }
    int64_t version = 0;
    {
        Query query = Prepare("PRAGMA data_version");
        version = query.Step() ? query.Int(0) : 0;
    }
    if (index) {
        std::memcpy(lastHeaders_, headers, kWalIndexHeadersSize);
        lastVersion_ = version;
        versionKnown_ = true;
    }
    return version;
}

int64_t Store::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }
int Store::Changes() const { return sqlite3_changes(db_); }

Transaction::Transaction(Store& store) : store_(store), guard_(store.Lock()), outer_(store.transactionDepth_ == 0) {
    store_.RefuseWriteWhenReadOnly();
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
