// The SQLite hive store: connections, prepared statements and the schema.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "registry/registry_folder.h"
#include "registry/registry_names.h"

namespace platform::registry {

constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 30000;
constexpr sqlite3_int64 kRootKeyId = 1;

LSTATUS FromSqlite(int rc, bool writing);

// Every use of SQLite runs inside a section of this gate; fork() closes it, so that no other
// thread is inside SQLite (holding its own internal locks) when the child is made. The gate is a
// count under a plain mutex, and only that mutex is held across fork(): the child releases it as
// the parent does. (A read-write lock held for writing could not be released in the child, which
// would have to abandon it locked.)
class SqliteGate {
public:
    void Enter() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !closing_; });
        ++inside_;
    }
    void Leave() {
        std::lock_guard lock(mutex_);
        if (--inside_ == 0) changed_.notify_all();
    }
    // Keeps newcomers out, waits until nobody is inside, and returns holding the gate's mutex.
    void Close() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !closing_; });
        closing_ = true;
        changed_.wait(lock, [&] { return inside_ == 0; });
        lock.release();
    }
    void Reopen() {
        closing_ = false;
        mutex_.unlock();
        changed_.notify_all();
    }
    // In the child: the mutex is released; the gate itself is replaced, as the parent's waiters
    // on its condition do not exist there.
    void ReleaseInChild() { mutex_.unlock(); }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int inside_ = 0;
    bool closing_ = false;
};

// Replaced in a child of fork(); never destroyed.
extern SqliteGate* g_sqliteGate;
extern thread_local int t_sqliteDepth;

class SqliteSection {
public:
    SqliteSection() {
        if (t_sqliteDepth++ == 0) g_sqliteGate->Enter();
    }
    ~SqliteSection() {
        if (--t_sqliteDepth == 0) g_sqliteGate->Leave();
    }
    SqliteSection(const SqliteSection&) = delete;
    SqliteSection& operator=(const SqliteSection&) = delete;
};

struct CachedStatement {
    sqlite3_stmt* stmt = nullptr;
    bool inUse = false;
};

struct Database {
    std::string folder;
    Hive hive = Hive::Machine;
    sqlite3* db = nullptr;
    pid_t owner = 0;
    bool readOnly = false;
    std::mutex mutex;                                             // one transaction at a time on this connection
    std::unordered_map<std::string, CachedStatement> statements;  // prepared once, under `mutex`

    ~Database() {
        // A connection inherited through fork() belongs to the parent: leave it alone.
        if (!db || owner != getpid()) return;
        SqliteSection section;
        for (auto& entry : statements) sqlite3_finalize(entry.second.stmt);
        sqlite3_close(db);
    }
};

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    // A statement of the connection's cache (the caller holds the connection's mutex); one
    // already in use further up the stack is prepared afresh.
    Statement(Database& database, const char* sql) {
        CachedStatement& entry = database.statements[sql];
        if (!entry.stmt) {
            rc_ = sqlite3_prepare_v3(database.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &entry.stmt, nullptr);
            if (rc_ != SQLITE_OK) {
                sqlite3_finalize(entry.stmt);
                entry.stmt = nullptr;
                return;
            }
        } else if (entry.inUse) {
            rc_ = sqlite3_prepare_v2(database.db, sql, -1, &stmt_, nullptr);
            return;
        }
        rc_ = SQLITE_OK;
        stmt_ = entry.stmt;
        entry.inUse = true;
        cached_ = &entry;
    }
    ~Statement() {
        if (!cached_) {
            sqlite3_finalize(stmt_);
            return;
        }
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
        cached_->inUse = false;
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    int prepared() const { return rc_; }
    Statement& Int(int index, sqlite3_int64 value) {
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement& Blob(int index, const void* data, size_t size) {
        static const char empty = 0;  // a null pointer would bind NULL, not an empty blob
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_blob64(stmt_, index, size ? data : &empty, size, SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Blob(int index, const std::string& bytes) { return Blob(index, bytes.data(), bytes.size()); }
    Statement& Null(int index) {
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_null(stmt_, index);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() {
        if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW && rc_ != SQLITE_DONE) return rc_;
        return sqlite3_step(stmt_);
    }
    sqlite3_int64 ColumnInt(int column) { return sqlite3_column_int64(stmt_, column); }
    bool ColumnIsNull(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    const void* ColumnBlob(int column) { return sqlite3_column_blob(stmt_, column); }
    int ColumnBytes(int column) { return sqlite3_column_bytes(stmt_, column); }
    std::u16string ColumnName(int column) {
        const void* data = ColumnBlob(column);
        return FromBytes(data, ColumnBytes(column));
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    CachedStatement* cached_ = nullptr;
    int rc_;
};

int Exec(sqlite3* db, const char* sql);

LSTATUS CreateSchema(sqlite3* db, Hive hive);

LSTATUS OpenDatabase(const std::string& folder, Hive hive, std::shared_ptr<Database>* out);

struct Cache {
    std::mutex mutex;
    pid_t owner = 0;
    std::map<std::pair<std::string, Hive>, std::shared_ptr<Database>> open;
};

Cache& Connections();

// The connection to `hive` in `folder`. With `current` set, `folder` is the configured one, and
// connections to folders configured before are let go (handles still open keep theirs alive).
LSTATUS GetDatabase(const std::string& folder, Hive hive, bool current, std::shared_ptr<Database>* out);

void ForgetConnections();

}  // namespace platform::registry
