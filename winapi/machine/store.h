// The SQLite database that holds the simulated network. One connection per
// process; statements are prepared once and cached by their text; every
// write runs inside a Transaction so a crash never leaves half an object.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/security/bytes.h"

struct sqlite3;
struct sqlite3_stmt;

namespace winapi::machine {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A write the file system will not take: the disk is full
// (ERROR_DISK_FULL) or the database is open only for reading because its
// file system is read-only (ERROR_WRITE_PROTECT). The Win32 calls return
// the code.
class StoreWriteRefused : public StoreError {
public:
    StoreWriteRefused(const std::string& what, uint32_t win32Error) : StoreError(what), win32Error(win32Error) {}
    uint32_t win32Error;
};

class Store;

// One use of a cached statement: bind, step, read columns. Resets the
// statement when it goes out of scope, so the cache can hand it out again.
class Query {
public:
    Query(Store& store, sqlite3_stmt* statement, bool owned);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    Query(Query&& other) noexcept;

    Query& Bind(int index, int64_t value);
    Query& Bind(int index, const std::string& text);
    Query& Bind(int index, const std::wstring& text);
    Query& BindBlob(int index, const Bytes& blob);
    Query& BindNull(int index);

    // Advances to the next row; false when there is none. Throws on errors.
    bool Step();
    // Runs a statement that returns no rows.
    void Run();

    int64_t Int(int column) const;
    std::string Text(int column) const;
    std::wstring WText(int column) const;
    Bytes Blob(int column) const;
    bool IsNull(int column) const;

private:
    Store* store_;
    sqlite3_stmt* statement_;
    bool owned_;
};

class Store {
public:
    // Opens or creates the database and brings its schema up to date. A
    // database that exists but cannot be written (a full disk, a read-only
    // file system) is opened for reading only; every Transaction then
    // fails with a StoreError that says why.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::string& Path() const { return path_; }
    // Empty when the database is open for writing; otherwise why it is not.
    const std::string& ReadOnlyReason() const { return readOnlyReason_; }
    // Throws the StoreError of a write to a database open only for reading.
    void RefuseWriteWhenReadOnly() const;
    Query Prepare(const std::string& sql);
    int64_t LastInsertId() const;
    int Changes() const;

    // Serialises this process's use of the connection.
    std::recursive_mutex& Lock() { return lock_; }

    // Rows of `table` changed through this connection so far, committed or
    // rolled back: a copy read when the count was lower may be stale.
    uint64_t OwnChanges(std::string_view table) const;
    // Rows of every table changed through this connection so far: while it
    // stands still, no table's own count has moved.
    uint64_t AllOwnChanges() const { return allOwnChanges_; }
    // Rows changed through any connection of this process so far; readable
    // without the connection's lock.
    static uint64_t ProcessChanges();
    // Moves on whenever another connection, in this process or another,
    // has committed since the last call (SQLite's data_version). While the
    // log's shared index has not changed since the last look, nothing was
    // committed and the answer costs no system call (see the .cpp).
    int64_t OtherConnectionsVersion();

    [[noreturn]] void Fail(const std::string& what) const;

private:
    friend class Query;
    friend class Transaction;
    void Execute(const char* sql);
    void Migrate();
    // The SQLite result of opening for writing (SQLITE_OK, or why not, with
    // the text in openFailure_).
    int OpenForWriting();
    bool OpenForReading(const std::string& uri);
    std::string WriteRefusal(int code);
    void Release(sqlite3_stmt* statement);
    void CloseConnection();
    // The shared index of the write-ahead log as SQLite maps it, or null
    // (not yet mapped, or the database is not in WAL mode).
    const volatile unsigned char* WalIndex();
    // SQLite's update hook: counts each row this connection changes.
    static void CountChange(void* store, int operation, const char* database, const char* table, long long row);

    std::string path_;
    std::string readOnlyReason_;
    bool readOnlyFileSystem_ = false;
    std::string openFailure_;
    sqlite3* db_ = nullptr;
    std::recursive_mutex lock_;
    // Statements not in use, by their text; one in use is taken out of the
    // map, so a nested use of the same text prepares a second copy.
    std::multimap<std::string, sqlite3_stmt*> idle_;
    std::map<sqlite3_stmt*, std::string> textOf_;
    int transactionDepth_ = 0;
    std::map<std::string, uint64_t, std::less<>> ownChanges_;
    uint64_t allOwnChanges_ = 0;
    // The start of the write-ahead log's index and the two copies of its
    // header as they stood before the last data_version was read.
    const volatile unsigned char* walIndex_ = nullptr;
    bool walIndexRefused_ = false;
    bool versionKnown_ = false;
    int64_t lastVersion_ = 0;
    unsigned char lastHeaders_[96] = {};
};

// BEGIN IMMEDIATE ... COMMIT, rolled back unless Commit() is reached.
// Nested transactions join the outer one.
class Transaction {
public:
    explicit Transaction(Store& store);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

private:
    Store& store_;
    std::lock_guard<std::recursive_mutex> guard_;
    bool outer_;
    bool done_ = false;
};

}  // namespace winapi::machine
