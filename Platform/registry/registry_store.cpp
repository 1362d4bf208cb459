// The SQLite hive store: connections, prepared statements and the schema.
#include "registry/registry_store.h"

#include <cerrno>

#include "base/clock.h"
#include "base/fault.h"

namespace platform::registry {

SqliteGate* g_sqliteGate = new SqliteGate;
thread_local int t_sqliteDepth = 0;

LSTATUS FromSqlite(int rc, bool writing) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_BUSY;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        case SQLITE_NOMEM:
            return ERROR_OUTOFMEMORY;
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_TOOBIG:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_IOERR:
            return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
        default:
            return ERROR_BADDB;  // corrupt, not a database, schema mismatch
    }
}

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

LSTATUS CreateSchema(sqlite3* db, Hive hive) {
    int rc = Exec(db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) return FromSqlite(rc, true);
    int version = -1;
    {
        Statement query(db, "PRAGMA user_version");
        if (query.Step() == SQLITE_ROW) version = static_cast<int>(query.ColumnInt(0));
    }
    if (version == 0) {
        rc = Exec(db,
                  "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
                  " name BLOB NOT NULL, folded BLOB NOT NULL, class BLOB, written INTEGER NOT NULL DEFAULT 0,"
                  " UNIQUE(parent, folded));"
                  "CREATE TABLE vals(seq INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
                  " name BLOB NOT NULL, folded BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
                  " UNIQUE(key, folded));"
                  "CREATE INDEX vals_order ON vals(key, seq);"
                  "INSERT INTO keys(id, parent, name, folded) VALUES(1, 0, x'', x'');");
        if (rc == SQLITE_OK && hive == Hive::Machine) {
            // The machine keys every installation has (HKEY_CLASSES_ROOT lives under SOFTWARE).
            StoredName software = Store(u"SOFTWARE"), classes = Store(u"Classes"), system = Store(u"SYSTEM");
            Statement insert(db, "INSERT INTO keys(parent, name, folded) VALUES(?, ?, ?)");
            rc = insert.Int(1, kRootKeyId).Blob(2, software.bytes).Blob(3, software.folded).Step();
            sqlite3_int64 softwareId = sqlite3_last_insert_rowid(db);
            if (rc == SQLITE_DONE) {
                Statement second(db, "INSERT INTO keys(parent, name, folded) VALUES(?, ?, ?)");
                rc = second.Int(1, softwareId).Blob(2, classes.bytes).Blob(3, classes.folded).Step();
            }
            if (rc == SQLITE_DONE) {
                Statement third(db, "INSERT INTO keys(parent, name, folded) VALUES(?, ?, ?)");
                rc = third.Int(1, kRootKeyId).Blob(2, system.bytes).Blob(3, system.folded).Step();
            }
            if (rc == SQLITE_DONE) rc = SQLITE_OK;
        }
        if (rc == SQLITE_OK) rc = Exec(db, "PRAGMA user_version = 1");
    } else if (version != kSchemaVersion) {
        rc = SQLITE_CORRUPT;
    }
    if (rc != SQLITE_OK) {
        Exec(db, "ROLLBACK");
        return FromSqlite(rc, true);
    }
    rc = Exec(db, "COMMIT");
    if (rc != SQLITE_OK) Exec(db, "ROLLBACK");
    return FromSqlite(rc, true);
}

LSTATUS OpenDatabase(const std::string& folder, Hive hive, std::shared_ptr<Database>* out) {
    SqliteSection section;
    if (!MakeFolders(folder)) return errno == EACCES || errno == EROFS ? ERROR_ACCESS_DENIED : ERROR_CANTOPEN;
    auto database = std::make_shared<Database>();
    database->folder = folder;
    database->hive = hive;
    database->owner = getpid();
    std::string path = folder + "/" + HiveFile(hive);
    int rc = sqlite3_open_v2(path.c_str(), &database->db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) return FromSqlite(rc, false);
    sqlite3* db = database->db;
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    database->readOnly = sqlite3_db_readonly(db, "main") == 1;
    // Switching to WAL needs a moment alone with the file; another process doing the same
    // answers busy without calling the busy handler, so wait here.
    for (int attempt = 0;; ++attempt) {
        rc = Exec(db, "PRAGMA journal_mode=WAL");
        if ((rc & 0xFF) != SQLITE_BUSY || attempt >= kBusyTimeoutMs / 10) break;
        usleep(10000);
    }
    if (rc != SQLITE_OK && !database->readOnly) return FromSqlite(rc, true);
    Exec(db, "PRAGMA synchronous=NORMAL");
    if (!database->readOnly) {
        LSTATUS status = CreateSchema(db, hive);
        if (status != ERROR_SUCCESS) return status;
    } else {
        Statement query(db, "PRAGMA user_version");
        rc = query.Step();
        if (rc != SQLITE_ROW) return FromSqlite(rc, false);
        if (query.ColumnInt(0) != kSchemaVersion) return ERROR_BADDB;
    }
    *out = std::move(database);
    return ERROR_SUCCESS;
}

Cache& Connections() {
    static Cache* cache = new Cache;  // never destroyed: handles may outlive static destruction
    return *cache;
}

LSTATUS GetDatabase(const std::string& folder, Hive hive, bool current, std::shared_ptr<Database>* out) {
    Cache& cache = Connections();
    std::lock_guard lock(cache.mutex);
    if (cache.owner != getpid()) {
        cache.open.clear();  // inherited through fork(): the destructors leave them alone
        cache.owner = getpid();
    }
    if (current) {
        for (auto it = cache.open.begin(); it != cache.open.end();)
            it = it->first.first != folder ? cache.open.erase(it) : std::next(it);
    }
    auto found = cache.open.find({folder, hive});
    if (found != cache.open.end()) {
        *out = found->second;
        return ERROR_SUCCESS;
    }
    std::shared_ptr<Database> database;
    LSTATUS status = OpenDatabase(folder, hive, &database);
    if (status != ERROR_SUCCESS) return status;
    cache.open[{folder, hive}] = database;
    *out = std::move(database);
    return ERROR_SUCCESS;
}

void ForgetConnections() {
    Cache& cache = Connections();
    std::lock_guard lock(cache.mutex);
    cache.open.clear();
}

}  // namespace platform::registry
