// Transactions over one hive, and the key tree and values inside one.
#pragma once

#include <memory>

#include "registry/registry_handles.h"

namespace platform::registry {

class Transaction {
public:
    Transaction(Database& database, bool writing) : database_(database), lock_(database.mutex), writing_(writing) {}
    // (section_ is declared first, so it is entered before and left after the connection's lock.)
    ~Transaction() {
        if (begun_ && !committed_) Exec(database_.db, "ROLLBACK");
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    LSTATUS Begin() {
        if (writing_ && database_.readOnly) return ERROR_ACCESS_DENIED;
        int rc = Exec(database_.db, writing_ ? "BEGIN IMMEDIATE" : "BEGIN");
        begun_ = rc == SQLITE_OK;
        return Error(rc);
    }
    LSTATUS Commit() {
        int rc = Exec(database_.db, "COMMIT");
        committed_ = rc == SQLITE_OK;
        return Error(rc);
    }
    LSTATUS Error(int rc) const { return FromSqlite(rc, writing_); }
    sqlite3* db() const { return database_.db; }
    Database& database() const { return database_; }

private:
    SqliteSection section_;
    Database& database_;
    std::lock_guard<std::mutex> lock_;
    bool writing_;
    bool begun_ = false;
    bool committed_ = false;
};

LSTATUS Done(Transaction& tx, Statement& statement);

LSTATUS KeyExists(Transaction& tx, sqlite3_int64 id);

LSTATUS FindChild(Transaction& tx, sqlite3_int64 parent, const StoredName& name, sqlite3_int64* id);

LSTATUS Touch(Transaction& tx, sqlite3_int64 id);

LSTATUS CreateChild(Transaction& tx, sqlite3_int64 parent, const StoredName& name, const StoredName* keyClass,
                    sqlite3_int64* id);

// The key a target names, checked to exist. HKEY_CLASSES_ROOT's key is created on demand when
// `create` is set.
LSTATUS TargetKey(Transaction& tx, const Target& target, bool create, sqlite3_int64* id);

LSTATUS HasSubkeys(Transaction& tx, sqlite3_int64 id, bool* has);

// Deletes the values and subkeys of key `id`, and the key itself when `self` is set.
LSTATUS DeleteSubtree(Transaction& tx, sqlite3_int64 id, bool self);

LSTATUS ParentOf(Transaction& tx, sqlite3_int64 id, sqlite3_int64* parent);

// Walks `parts` down from `start`; every key on the way must exist.
LSTATUS Walk(Transaction& tx, sqlite3_int64 start, const std::vector<std::u16string_view>& parts, sqlite3_int64* id);

struct FoundValue {
    DWORD type = REG_NONE;
    std::string data;
};

LSTATUS FindValue(Transaction& tx, sqlite3_int64 key, std::u16string_view name, FoundValue* value);

// Copies a name into a caller's buffer of *chars characters (terminator included); on success
// *chars becomes the length without the terminator.
LSTATUS CopyName(const std::u16string& name, LPWSTR buffer, LPDWORD chars);

FILETIME ToFileTime(sqlite3_int64 ticks);

}  // namespace platform::registry
