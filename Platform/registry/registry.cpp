// The registry API over SQLite hives.
//
// Each hive is one database: a table of keys (a tree by parent id) and a table of values. A name
// is kept twice, as given (UTF-16LE bytes) and folded to upper case as big-endian UTF-16, so
// that lookups ignore case and ORDER BY on the folded bytes is the code-unit order of the
// upper-case names, the order in which Windows enumerates subkeys. Values keep their creation
// order (rowid), as Windows does.
//
// Every call runs in one transaction: reads in a deferred one (a consistent snapshot in WAL
// mode), writes in BEGIN IMMEDIATE, so concurrent writers queue behind the busy timeout instead
// of failing or losing updates. Connections are opened on first use and cached per process;
// a child process after fork() opens its own.
#include "registry/winreg.h"

#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/fault.h"
#include "kernel/winbase.h"
#include "platform_testing.h"

namespace platform::registry {
namespace {

constexpr const char* kFolderVariable = "MSGPLUGIN_REGISTRY_DIR";
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 30000;
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr sqlite3_int64 kRootKeyId = 1;

enum class Hive { Machine, User, Users };

// ---- Names ---------------------------------------------------------------------------------

// Upper case of one UTF-16 code unit, for the letters of Latin, Greek and Cyrillic scripts.
char16_t Upcase(char16_t c) {
    if (c < u'a') return c;
    if (c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c <= 0x17F) {
        bool oddIsLower = (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
        bool evenIsLower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddIsLower && (c & 1)) return static_cast<char16_t>(c - 1);
        if (evenIsLower && !(c & 1)) return static_cast<char16_t>(c - 1);
        return c;
    }
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x3B1 && c <= 0x3CB) return static_cast<char16_t>(c - 0x20);
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);
    return c;
}

// A name as stored: its own bytes and its folded form.
struct StoredName {
    std::string bytes;   // UTF-16LE
    std::string folded;  // upper case, UTF-16BE
};

StoredName Store(std::u16string_view name) {
    StoredName stored;
    stored.bytes.reserve(name.size() * 2);
    stored.folded.reserve(name.size() * 2);
    for (char16_t c : name) {
        stored.bytes.push_back(static_cast<char>(c & 0xFF));
        stored.bytes.push_back(static_cast<char>(c >> 8));
        char16_t up = Upcase(c);
        stored.folded.push_back(static_cast<char>(up >> 8));
        stored.folded.push_back(static_cast<char>(up & 0xFF));
    }
    return stored;
}

std::u16string FromBytes(const void* data, int size) {
    std::u16string text(static_cast<size_t>(size) / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
    return text;
}

std::u16string_view View(LPCWSTR text) { return text ? std::u16string_view(text) : std::u16string_view(); }

// Splits a key path at '\'. A trailing separator is allowed; a leading one, an empty component
// or a component over 255 characters is not.
LSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    parts->clear();
    if (path.empty()) return ERROR_SUCCESS;
    if (path.front() == u'\\') return ERROR_BAD_PATHNAME;
    if (path.back() == u'\\') path.remove_suffix(1);
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string_view part = path.substr(start, end - start);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
        parts->push_back(part);
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

// ---- Folder --------------------------------------------------------------------------------

std::mutex& OverrideMutex() {
    static std::mutex mutex;
    return mutex;
}
std::string& FolderOverride() {
    static std::string folder;
    return folder;
}

std::string ConfiguredFolder() {
    {
        std::lock_guard lock(OverrideMutex());
        if (!FolderOverride().empty()) return FolderOverride();
    }
    if (const char* dir = std::getenv(kFolderVariable); dir && *dir) return dir;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::string(state) + "/msgplugin/registry";
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && *variable == '/') {
        home = variable;
    } else {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty()) home = "/tmp";
    return home + "/.local/state/msgplugin/registry";
}

bool MakeFolders(const std::string& folder) {
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        path = folder.substr(0, pos);
        if (path.empty()) continue;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string HiveFile(Hive hive) {
    switch (hive) {
        case Hive::Machine:
            return "machine.sqlite";
        case Hive::User:
            return "user-" + std::to_string(getuid()) + ".sqlite";
        case Hive::Users:
            return "users.sqlite";
    }
    return "machine.sqlite";
}

// ---- Databases -----------------------------------------------------------------------------

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

SqliteGate* g_sqliteGate = new SqliteGate;  // replaced in a child of fork(); never destroyed
thread_local int t_sqliteDepth = 0;

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

struct Cache {
    std::mutex mutex;
    pid_t owner = 0;
    std::map<std::pair<std::string, Hive>, std::shared_ptr<Database>> open;
};

Cache& Connections() {
    static Cache* cache = new Cache;  // never destroyed: handles may outlive static destruction
    return *cache;
}

// The connection to `hive` in `folder`. With `current` set, `folder` is the configured one, and
// connections to folders configured before are let go (handles still open keep theirs alive).
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

// ---- Handles -------------------------------------------------------------------------------

struct OpenKey {
    std::shared_ptr<Database> database;
    sqlite3_int64 id = 0;
    REGSAM access = 0;
};

struct HandleTable {
    std::mutex mutex;
    uintptr_t next = 0x1000;
    std::unordered_map<uintptr_t, OpenKey> keys;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable;
    return *table;
}

HKEY AddHandle(OpenKey key) {
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    uintptr_t value;
    do {
        value = table.next;
        table.next += 4;
        if (table.next >= 0x7FFFFFF0u) table.next = 0x1000;
    } while (table.keys.count(value));
    table.keys.emplace(value, std::move(key));
    return reinterpret_cast<HKEY>(value);
}

bool IsPredefined(HKEY key, Hive* hive, bool* classes) {
    uintptr_t value = reinterpret_cast<uintptr_t>(key);
    *classes = false;
    if (value == reinterpret_cast<uintptr_t>(HKEY_CLASSES_ROOT)) {
        *hive = Hive::Machine;
        *classes = true;
    } else if (value == reinterpret_cast<uintptr_t>(HKEY_CURRENT_USER)) {
        *hive = Hive::User;
    } else if (value == reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE)) {
        *hive = Hive::Machine;
    } else if (value == reinterpret_cast<uintptr_t>(HKEY_USERS)) {
        *hive = Hive::Users;
    } else {
        return false;
    }
    return true;
}

// fork() while another thread holds one of the process-wide locks would leave it locked for
// ever in the child: take them all around fork(), in the order in which calls nest them.
void LockForFork() {
    Handles().mutex.lock();
    Connections().mutex.lock();
    OverrideMutex().lock();
    g_sqliteGate->Close();
}
void UnlockAfterFork() {
    g_sqliteGate->Reopen();
    OverrideMutex().unlock();
    Connections().mutex.unlock();
    Handles().mutex.unlock();
}
void UnlockInChild() {
    g_sqliteGate->ReleaseInChild();
    g_sqliteGate = new SqliteGate;
    OverrideMutex().unlock();
    Connections().mutex.unlock();
    Handles().mutex.unlock();
}
const bool g_forkHandlers = (pthread_atfork(&LockForFork, &UnlockAfterFork, &UnlockInChild), true);

REGSAM MapAccess(REGSAM desired) {
    REGSAM access = desired & ~static_cast<REGSAM>(KEY_WOW64_RES);
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    return access & (KEY_ALL_ACCESS | SYNCHRONIZE);
}

// Rights that change a key, which a read-only hive cannot grant.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE;

// What one call works on: a connection and a key in it.
struct Target {
    std::shared_ptr<Database> database;
    sqlite3_int64 id = 0;  // 0: HKEY_CLASSES_ROOT, looked up inside the transaction
    REGSAM access = 0;
    bool predefined = false;
};

LSTATUS Resolve(HKEY key, Target* target) {
    if (!key) return ERROR_INVALID_HANDLE;
    Hive hive;
    bool classes;
    if (IsPredefined(key, &hive, &classes)) {
        LSTATUS status = GetDatabase(ConfiguredFolder(), hive, true, &target->database);
        if (status != ERROR_SUCCESS) return status;
        target->id = classes ? 0 : kRootKeyId;
        target->access =
            target->database->readOnly ? static_cast<REGSAM>(KEY_READ) : static_cast<REGSAM>(KEY_ALL_ACCESS);
        target->predefined = true;
        return ERROR_SUCCESS;
    }
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    auto found = table.keys.find(reinterpret_cast<uintptr_t>(key));
    if (found == table.keys.end()) return ERROR_INVALID_HANDLE;
    OpenKey& open = found->second;
    if (open.database->owner != getpid()) {
        // A handle inherited through fork(): the same hive, through this process's connection.
        std::shared_ptr<Database> own;
        LSTATUS status = GetDatabase(open.database->folder, open.database->hive, false, &own);
        if (status != ERROR_SUCCESS) return status;
        open.database = std::move(own);
    }
    target->database = open.database;
    target->id = open.id;
    target->access = open.access;
    return ERROR_SUCCESS;
}

// ---- Transactions and the tree -------------------------------------------------------------

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

LSTATUS Done(Transaction& tx, Statement& statement) {
    int rc = statement.Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : tx.Error(rc);
}

LSTATUS KeyExists(Transaction& tx, sqlite3_int64 id) {
    Statement query(tx.database(), "SELECT 1 FROM keys WHERE id = ?");
    int rc = query.Int(1, id).Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : tx.Error(rc);
}

LSTATUS FindChild(Transaction& tx, sqlite3_int64 parent, const StoredName& name, sqlite3_int64* id) {
    Statement query(tx.database(), "SELECT id FROM keys WHERE parent = ? AND folded = ?");
    int rc = query.Int(1, parent).Blob(2, name.folded).Step();
    if (rc == SQLITE_ROW) {
        *id = query.ColumnInt(0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : tx.Error(rc);
}

LSTATUS Touch(Transaction& tx, sqlite3_int64 id) {
    Statement update(tx.database(), "UPDATE keys SET written = ? WHERE id = ?");
    update.Int(1, static_cast<sqlite3_int64>(clock::NowFileTime())).Int(2, id);
    return Done(tx, update);
}

LSTATUS CreateChild(Transaction& tx, sqlite3_int64 parent, const StoredName& name, const StoredName* keyClass,
                    sqlite3_int64* id) {
    Statement insert(tx.database(), "INSERT INTO keys(parent, name, folded, class, written) VALUES(?, ?, ?, ?, ?)");
    insert.Int(1, parent).Blob(2, name.bytes).Blob(3, name.folded);
    if (keyClass && !keyClass->bytes.empty())
        insert.Blob(4, keyClass->bytes);
    else
        insert.Null(4);
    insert.Int(5, static_cast<sqlite3_int64>(clock::NowFileTime()));
    LSTATUS status = Done(tx, insert);
    if (status != ERROR_SUCCESS) return status;
    *id = sqlite3_last_insert_rowid(tx.db());
    return Touch(tx, parent);
}

// The key a target names, checked to exist. HKEY_CLASSES_ROOT's key is created on demand when
// `create` is set.
LSTATUS TargetKey(Transaction& tx, const Target& target, bool create, sqlite3_int64* id) {
    if (target.id != 0) {
        *id = target.id;
        return KeyExists(tx, target.id);
    }
    sqlite3_int64 current = kRootKeyId;
    for (std::u16string_view part : {std::u16string_view(u"SOFTWARE"), std::u16string_view(u"Classes")}) {
        StoredName name = Store(part);
        sqlite3_int64 child = 0;
        LSTATUS status = FindChild(tx, current, name, &child);
        if (status == ERROR_FILE_NOT_FOUND && create) status = CreateChild(tx, current, name, nullptr, &child);
        if (status != ERROR_SUCCESS) return status;
        current = child;
    }
    *id = current;
    return ERROR_SUCCESS;
}

LSTATUS HasSubkeys(Transaction& tx, sqlite3_int64 id, bool* has) {
    Statement query(tx.database(), "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
    int rc = query.Int(1, id).Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return tx.Error(rc);
    *has = rc == SQLITE_ROW;
    return ERROR_SUCCESS;
}

// Deletes the values and subkeys of key `id`, and the key itself when `self` is set.
LSTATUS DeleteSubtree(Transaction& tx, sqlite3_int64 id, bool self) {
    static constexpr const char* kTree =
        "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) ";
    std::string values = std::string(kTree) + "DELETE FROM vals WHERE key IN tree";
    std::string keys = std::string(kTree) + "DELETE FROM keys WHERE id IN tree AND (?2 OR id <> ?1)";
    Statement deleteValues(tx.database(), values.c_str());
    deleteValues.Int(1, id);
    LSTATUS status = Done(tx, deleteValues);
    if (status != ERROR_SUCCESS) return status;
    Statement deleteKeys(tx.database(), keys.c_str());
    deleteKeys.Int(1, id).Int(2, self ? 1 : 0);
    return Done(tx, deleteKeys);
}

LSTATUS ParentOf(Transaction& tx, sqlite3_int64 id, sqlite3_int64* parent) {
    Statement query(tx.database(), "SELECT parent FROM keys WHERE id = ?");
    int rc = query.Int(1, id).Step();
    if (rc == SQLITE_ROW) {
        *parent = query.ColumnInt(0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : tx.Error(rc);
}

// Walks `parts` down from `start`; every key on the way must exist.
LSTATUS Walk(Transaction& tx, sqlite3_int64 start, const std::vector<std::u16string_view>& parts, sqlite3_int64* id) {
    sqlite3_int64 current = start;
    for (std::u16string_view part : parts) {
        LSTATUS status = FindChild(tx, current, Store(part), &current);
        if (status != ERROR_SUCCESS) return status;
    }
    *id = current;
    return ERROR_SUCCESS;
}

struct FoundValue {
    DWORD type = REG_NONE;
    std::string data;
};

LSTATUS FindValue(Transaction& tx, sqlite3_int64 key, std::u16string_view name, FoundValue* value) {
    StoredName stored = Store(name);
    Statement query(tx.database(), "SELECT type, data FROM vals WHERE key = ? AND folded = ?");
    int rc = query.Int(1, key).Blob(2, stored.folded).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return tx.Error(rc);
    value->type = static_cast<DWORD>(query.ColumnInt(0));
    const void* data = query.ColumnBlob(1);
    int size = query.ColumnBytes(1);
    value->data.assign(static_cast<const char*>(data), data ? static_cast<size_t>(size) : 0);
    return ERROR_SUCCESS;
}

// Copies a name into a caller's buffer of *chars characters (terminator included); on success
// *chars becomes the length without the terminator.
LSTATUS CopyName(const std::u16string& name, LPWSTR buffer, LPDWORD chars) {
    if (name.size() + 1 > *chars) return ERROR_MORE_DATA;
    std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    buffer[name.size()] = u'\0';
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

FILETIME ToFileTime(sqlite3_int64 ticks) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(ticks) & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(ticks) >> 32);
    return time;
}

}  // namespace
}  // namespace platform::registry

using namespace platform::registry;

// ---- The API -------------------------------------------------------------------------------

// No exception leaves the API: an allocation failure is the registry's out-of-memory answer.
template <typename Call>
LSTATUS Guarded(Call&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

#define REGISTRY_FAULT(name)                                   \
    do {                                                       \
        HRESULT injected_ = S_OK;                              \
        if (PLATFORM_FAULT(name, injected_)) return injected_; \
    } while (0)

static LSTATUS RegOpenKeyExWBody(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    REGISTRY_FAULT("RegOpenKeyExW");
    (void)ulOptions;
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    Hive hive;
    bool classes;
    if (View(lpSubKey).empty() && IsPredefined(hKey, &hive, &classes)) {
        // As on Windows, the predefined key itself stands for its root.
        Target target;
        LSTATUS status = Resolve(hKey, &target);
        if (status != ERROR_SUCCESS) return status;
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    std::vector<std::u16string_view> parts;
    if (LSTATUS status = SplitPath(View(lpSubKey), &parts); status != ERROR_SUCCESS) return status;
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    REGSAM access = MapAccess(samDesired);
    if ((access & kWriteRights) && target.database->readOnly) return ERROR_ACCESS_DENIED;
    sqlite3_int64 id = 0;
    {
        Transaction tx(*target.database, false);
        LSTATUS status = tx.Begin();
        sqlite3_int64 start = 0;
        if (status == ERROR_SUCCESS) status = TargetKey(tx, target, false, &start);
        if (status == ERROR_SUCCESS) status = Walk(tx, start, parts, &id);
        if (status == ERROR_SUCCESS) status = tx.Commit();
        if (status != ERROR_SUCCESS) return status;
    }
    *phkResult = AddHandle(OpenKey{target.database, id, access});
    return ERROR_SUCCESS;
}

static LSTATUS RegCreateKeyExWBody(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                   REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                   LPDWORD lpdwDisposition) {
    REGISTRY_FAULT("RegCreateKeyExW");
    (void)Reserved;
    (void)lpSecurityAttributes;
    if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (dwOptions & (REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE)) return ERROR_NOT_SUPPORTED;
    std::vector<std::u16string_view> parts;
    if (LSTATUS status = SplitPath(View(lpSubKey), &parts); status != ERROR_SUCCESS) return status;
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    REGSAM access = MapAccess(samDesired);
    if ((access & kWriteRights) && target.database->readOnly) return ERROR_ACCESS_DENIED;
    StoredName keyClass = Store(View(lpClass));
    sqlite3_int64 id = 0;
    bool created = false;
    {
        Transaction tx(*target.database, true);
        LSTATUS status = tx.Begin();
        sqlite3_int64 current = 0;
        if (status == ERROR_SUCCESS) status = TargetKey(tx, target, true, &current);
        for (size_t i = 0; status == ERROR_SUCCESS && i < parts.size(); ++i) {
            StoredName name = Store(parts[i]);
            sqlite3_int64 child = 0;
            status = FindChild(tx, current, name, &child);
            if (status == ERROR_FILE_NOT_FOUND) {
                // Creating a subkey needs that right on the handle the path starts from.
                if (!created && !(target.access & KEY_CREATE_SUB_KEY)) {
                    status = ERROR_ACCESS_DENIED;
                    break;
                }
                status = CreateChild(tx, current, name, i + 1 == parts.size() ? &keyClass : nullptr, &child);
                created = true;
            }
            current = child;
        }
        if (status == ERROR_SUCCESS) status = tx.Commit();
        if (status != ERROR_SUCCESS) return status;
        id = current;
    }
    *phkResult = AddHandle(OpenKey{target.database, id, access});
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

static LSTATUS RegQueryValueExWBody(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                    LPDWORD lpcbData) {
    REGISTRY_FAULT("RegQueryValueExW");
    if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    if (!(target.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    FoundValue value;
    {
        Transaction tx(*target.database, false);
        LSTATUS status = tx.Begin();
        sqlite3_int64 id = 0;
        if (status == ERROR_SUCCESS) status = TargetKey(tx, target, false, &id);
        if (status == ERROR_SUCCESS) status = FindValue(tx, id, View(lpValueName), &value);
        if (status == ERROR_SUCCESS) status = tx.Commit();
        if (status != ERROR_SUCCESS) return status;
    }
    if (lpType) *lpType = value.type;
    if (!lpcbData) return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(value.data.size());
    DWORD room = *lpcbData;
    *lpcbData = size;
    if (!lpData) return ERROR_SUCCESS;
    if (room < size) return ERROR_MORE_DATA;
    if (size) std::memcpy(lpData, value.data.data(), size);
    return ERROR_SUCCESS;
}

static LSTATUS RegSetValueExWBody(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                  DWORD cbData) {
    REGISTRY_FAULT("RegSetValueExW");
    (void)Reserved;
    if (!lpData && cbData) return ERROR_NOACCESS;
    std::u16string_view name = View(lpValueName);
    if (name.size() > kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    if (!(target.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    StoredName stored = Store(name);
    Transaction tx(*target.database, true);
    LSTATUS status = tx.Begin();
    sqlite3_int64 id = 0;
    if (status == ERROR_SUCCESS) status = TargetKey(tx, target, true, &id);
    if (status == ERROR_SUCCESS) {
        // An existing value keeps its place in the enumeration order and the case of its name.
        Statement upsert(tx.database(),
                         "INSERT INTO vals(key, name, folded, type, data) VALUES(?, ?, ?, ?, ?)"
                         " ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
        upsert.Int(1, id).Blob(2, stored.bytes).Blob(3, stored.folded).Int(4, dwType).Blob(5, lpData, cbData);
        status = Done(tx, upsert);
    }
    if (status == ERROR_SUCCESS) status = Touch(tx, id);
    if (status == ERROR_SUCCESS) status = tx.Commit();
    return status;
}

static LSTATUS RegDeleteValueWBody(HKEY hKey, LPCWSTR lpValueName) {
    REGISTRY_FAULT("RegDeleteValueW");
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    if (!(target.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    StoredName stored = Store(View(lpValueName));
    Transaction tx(*target.database, true);
    LSTATUS status = tx.Begin();
    sqlite3_int64 id = 0;
    if (status == ERROR_SUCCESS) status = TargetKey(tx, target, false, &id);
    if (status == ERROR_SUCCESS) {
        Statement remove(tx.database(), "DELETE FROM vals WHERE key = ? AND folded = ?");
        remove.Int(1, id).Blob(2, stored.folded);
        status = Done(tx, remove);
        if (status == ERROR_SUCCESS && sqlite3_changes(tx.db()) == 0) status = ERROR_FILE_NOT_FOUND;
    }
    if (status == ERROR_SUCCESS) status = Touch(tx, id);
    if (status == ERROR_SUCCESS) status = tx.Commit();
    return status;
}

namespace {

// The key named by hKey and lpSubKey, for the two deletions; *root tells whether it is the
// root of a hive (or HKEY_CLASSES_ROOT's key), which is never deleted.
LSTATUS FindForDelete(Transaction& tx, const Target& target, const std::vector<std::u16string_view>& parts,
                      sqlite3_int64* id, bool* root) {
    sqlite3_int64 start = 0;
    LSTATUS status = TargetKey(tx, target, false, &start);
    if (status != ERROR_SUCCESS) return status;
    status = Walk(tx, start, parts, id);
    *root = target.predefined && parts.empty();
    if (*id == kRootKeyId) *root = true;
    return status;
}

}  // namespace

static LSTATUS RegDeleteKeyWBody(HKEY hKey, LPCWSTR lpSubKey) {
    REGISTRY_FAULT("RegDeleteKeyW");
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::vector<std::u16string_view> parts;
    if (LSTATUS status = SplitPath(View(lpSubKey), &parts); status != ERROR_SUCCESS) return status;
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    Transaction tx(*target.database, true);
    LSTATUS status = tx.Begin();
    sqlite3_int64 id = 0;
    bool root = false;
    if (status == ERROR_SUCCESS) status = FindForDelete(tx, target, parts, &id, &root);
    if (status == ERROR_SUCCESS && root) status = ERROR_ACCESS_DENIED;
    bool hasSubkeys = false;
    if (status == ERROR_SUCCESS) status = HasSubkeys(tx, id, &hasSubkeys);
    if (status == ERROR_SUCCESS && hasSubkeys) status = ERROR_ACCESS_DENIED;
    sqlite3_int64 parent = 0;
    if (status == ERROR_SUCCESS) status = ParentOf(tx, id, &parent);
    if (status == ERROR_SUCCESS) status = DeleteSubtree(tx, id, true);
    if (status == ERROR_SUCCESS) status = Touch(tx, parent);
    if (status == ERROR_SUCCESS) status = tx.Commit();
    return status;
}

static LSTATUS RegDeleteTreeWBody(HKEY hKey, LPCWSTR lpSubKey) {
    REGISTRY_FAULT("RegDeleteTreeW");
    std::vector<std::u16string_view> parts;
    if (LSTATUS status = SplitPath(View(lpSubKey), &parts); status != ERROR_SUCCESS) return status;
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    // Without a subkey the handle's own key is emptied, which needs its rights to do so.
    constexpr REGSAM kNeeded = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE;
    if (!lpSubKey && (target.access & kNeeded) != kNeeded) return ERROR_ACCESS_DENIED;
    Transaction tx(*target.database, true);
    LSTATUS status = tx.Begin();
    sqlite3_int64 id = 0;
    bool root = false;
    if (status == ERROR_SUCCESS) status = FindForDelete(tx, target, parts, &id, &root);
    // Only the contents of a root go; a named subkey goes with everything under it.
    bool self = lpSubKey != nullptr && !parts.empty() && !root;
    if (status == ERROR_SUCCESS && lpSubKey && !parts.empty() && root) status = ERROR_ACCESS_DENIED;
    sqlite3_int64 parent = id;
    if (status == ERROR_SUCCESS && self) status = ParentOf(tx, id, &parent);
    if (status == ERROR_SUCCESS) status = DeleteSubtree(tx, id, self);
    if (status == ERROR_SUCCESS) status = Touch(tx, parent);
    if (status == ERROR_SUCCESS) status = tx.Commit();
    return status;
}

static LSTATUS RegEnumKeyExWBody(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                 LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    REGISTRY_FAULT("RegEnumKeyExW");
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    if (!(target.access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    std::u16string name, keyClass;
    sqlite3_int64 written = 0;
    {
        Transaction tx(*target.database, false);
        LSTATUS status = tx.Begin();
        sqlite3_int64 id = 0;
        if (status == ERROR_SUCCESS) status = TargetKey(tx, target, false, &id);
        if (status == ERROR_SUCCESS) {
            Statement query(tx.database(),
                            "SELECT name, class, written FROM keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
            int rc = query.Int(1, id).Int(2, dwIndex).Step();
            if (rc == SQLITE_ROW) {
                name = query.ColumnName(0);
                if (!query.ColumnIsNull(1)) keyClass = query.ColumnName(1);
                written = query.ColumnInt(2);
            } else {
                status = rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : tx.Error(rc);
            }
        }
        if (status == ERROR_SUCCESS) status = tx.Commit();
        if (status != ERROR_SUCCESS) return status;
    }
    if (lpClass && keyClass.size() + 1 > *lpcchClass) return ERROR_MORE_DATA;
    if (LSTATUS status = CopyName(name, lpName, lpcchName); status != ERROR_SUCCESS) return status;
    if (lpClass) CopyName(keyClass, lpClass, lpcchClass);
    if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(written);
    return ERROR_SUCCESS;
}

static LSTATUS RegEnumValueWBody(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                 LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    REGISTRY_FAULT("RegEnumValueW");
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    if (!(target.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::u16string name;
    FoundValue value;
    {
        Transaction tx(*target.database, false);
        LSTATUS status = tx.Begin();
        sqlite3_int64 id = 0;
        if (status == ERROR_SUCCESS) status = TargetKey(tx, target, false, &id);
        if (status == ERROR_SUCCESS) {
            Statement query(tx.database(),
                            "SELECT name, type, data FROM vals WHERE key = ? ORDER BY seq LIMIT 1 OFFSET ?");
            int rc = query.Int(1, id).Int(2, dwIndex).Step();
            if (rc == SQLITE_ROW) {
                name = query.ColumnName(0);
                value.type = static_cast<DWORD>(query.ColumnInt(1));
                const void* data = query.ColumnBlob(2);
                value.data.assign(static_cast<const char*>(data), data ? static_cast<size_t>(query.ColumnBytes(2)) : 0);
            } else {
                status = rc == SQLITE_DONE ? ERROR_NO_MORE_ITEMS : tx.Error(rc);
            }
        }
        if (status == ERROR_SUCCESS) status = tx.Commit();
        if (status != ERROR_SUCCESS) return status;
    }
    if (LSTATUS status = CopyName(name, lpValueName, lpcchValueName); status != ERROR_SUCCESS) return status;
    if (lpType) *lpType = value.type;
    if (!lpcbData) return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(value.data.size());
    DWORD room = *lpcbData;
    *lpcbData = size;
    if (!lpData) return ERROR_SUCCESS;
    if (room < size) return ERROR_MORE_DATA;
    if (size) std::memcpy(lpData, value.data.data(), size);
    return ERROR_SUCCESS;
}

static LSTATUS RegQueryInfoKeyWBody(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                    LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                    LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                    LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    REGISTRY_FAULT("RegQueryInfoKeyW");
    if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
    Target target;
    if (LSTATUS status = Resolve(hKey, &target); status != ERROR_SUCCESS) return status;
    if (!(target.access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    std::u16string keyClass;
    sqlite3_int64 written = 0, subkeys = 0, maxSubkey = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
    {
        Transaction tx(*target.database, false);
        LSTATUS status = tx.Begin();
        sqlite3_int64 id = 0;
        if (status == ERROR_SUCCESS) status = TargetKey(tx, target, false, &id);
        if (status == ERROR_SUCCESS) {
            Statement self(tx.database(), "SELECT class, written FROM keys WHERE id = ?");
            int rc = self.Int(1, id).Step();
            if (rc == SQLITE_ROW) {
                if (!self.ColumnIsNull(0)) keyClass = self.ColumnName(0);
                written = self.ColumnInt(1);
            } else {
                status = rc == SQLITE_DONE ? ERROR_KEY_DELETED : tx.Error(rc);
            }
        }
        if (status == ERROR_SUCCESS) {
            Statement keys(tx.database(),
                           "SELECT count(*), ifnull(max(length(name)), 0) / 2, ifnull(max(length(class)), 0) / 2"
                           " FROM keys WHERE parent = ?");
            int rc = keys.Int(1, id).Step();
            if (rc == SQLITE_ROW) {
                subkeys = keys.ColumnInt(0);
                maxSubkey = keys.ColumnInt(1);
                maxClass = keys.ColumnInt(2);
            } else {
                status = tx.Error(rc);
            }
        }
        if (status == ERROR_SUCCESS) {
            Statement vals(tx.database(),
                           "SELECT count(*), ifnull(max(length(name)), 0) / 2, ifnull(max(length(data)), 0)"
                           " FROM vals WHERE key = ?");
            int rc = vals.Int(1, id).Step();
            if (rc == SQLITE_ROW) {
                values = vals.ColumnInt(0);
                maxName = vals.ColumnInt(1);
                maxData = vals.ColumnInt(2);
            } else {
                status = tx.Error(rc);
            }
        }
        if (status == ERROR_SUCCESS) status = tx.Commit();
        if (status != ERROR_SUCCESS) return status;
    }
    if (lpClass) {
        if (keyClass.size() + 1 > *lpcchClass) {
            *lpcchClass = static_cast<DWORD>(keyClass.size());
            return ERROR_MORE_DATA;
        }
        CopyName(keyClass, lpClass, lpcchClass);
    } else if (lpcchClass) {
        *lpcchClass = static_cast<DWORD>(keyClass.size());
    }
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(subkeys);
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = static_cast<DWORD>(maxSubkey);
    if (lpcbMaxClassLen) *lpcbMaxClassLen = static_cast<DWORD>(maxClass);
    if (lpcValues) *lpcValues = static_cast<DWORD>(values);
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = static_cast<DWORD>(maxName);
    if (lpcbMaxValueLen) *lpcbMaxValueLen = static_cast<DWORD>(maxData);
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(written);
    return ERROR_SUCCESS;
}

static LSTATUS RegCloseKeyBody(HKEY hKey) {
    REGISTRY_FAULT("RegCloseKey");
    Hive hive;
    bool classes;
    if (IsPredefined(hKey, &hive, &classes)) return ERROR_SUCCESS;
    std::shared_ptr<Database> release;  // closed, if last, outside the table's lock
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    auto found = table.keys.find(reinterpret_cast<uintptr_t>(hKey));
    if (found == table.keys.end()) return ERROR_INVALID_HANDLE;
    release = std::move(found->second.database);
    table.keys.erase(found);
    return ERROR_SUCCESS;
}

LSTATUS APIENTRY RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    return Guarded([&] { return RegOpenKeyExWBody(hKey, lpSubKey, ulOptions, samDesired, phkResult); });
}

LSTATUS APIENTRY RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                 REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                 LPDWORD lpdwDisposition) {
    return Guarded([&] {
        return RegCreateKeyExWBody(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired, lpSecurityAttributes,
                                   phkResult, lpdwDisposition);
    });
}

LSTATUS APIENTRY RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                  LPDWORD lpcbData) {
    return Guarded([&] { return RegQueryValueExWBody(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData); });
}

LSTATUS APIENTRY RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                DWORD cbData) {
    return Guarded([&] { return RegSetValueExWBody(hKey, lpValueName, Reserved, dwType, lpData, cbData); });
}

LSTATUS APIENTRY RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Guarded([&] { return RegDeleteValueWBody(hKey, lpValueName); });
}

LSTATUS APIENTRY RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return Guarded([&] { return RegDeleteKeyWBody(hKey, lpSubKey); });
}

LSTATUS APIENTRY RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    return Guarded([&] { return RegDeleteTreeWBody(hKey, lpSubKey); });
}

LSTATUS APIENTRY RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                               LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return Guarded([&] {
        return RegEnumKeyExWBody(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass, lpftLastWriteTime);
    });
}

LSTATUS APIENTRY RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                               LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return Guarded([&] {
        return RegEnumValueWBody(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData, lpcbData);
    });
}

LSTATUS APIENTRY RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                  LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                  LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                  PFILETIME lpftLastWriteTime) {
    return Guarded([&] {
        return RegQueryInfoKeyWBody(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
                                    lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                                    lpcbSecurityDescriptor, lpftLastWriteTime);
    });
}

LSTATUS APIENTRY RegCloseKey(HKEY hKey) {
    return Guarded([&] { return RegCloseKeyBody(hKey); });
}

// ---- Platform functions --------------------------------------------------------------------

namespace platform::registry {

std::string RegistryFolder() { return ConfiguredFolder(); }

UINT ReadAnsiCodePage() noexcept {
    constexpr UINT kDefault = 1252;
    // Converting text is no reason to create a registry: without a machine hive the answer is
    // the default.
    struct stat info {};
    try {
        if (stat((ConfiguredFolder() + "/" + HiveFile(Hive::Machine)).c_str(), &info) != 0) return kDefault;
    } catch (...) {
        return kDefault;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return kDefault;
    WCHAR text[16] = {};
    DWORD size = sizeof(text) - sizeof(WCHAR);  // room for a terminator the value may lack
    DWORD type = REG_NONE;
    LSTATUS status = RegQueryValueExW(key, u"ACP", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return kDefault;
    UINT value = 0;
    size_t digits = 0;
    for (size_t i = 0; i < size / sizeof(WCHAR) && text[i]; ++i) {
        if (text[i] < u'0' || text[i] > u'9' || value > 65535) return kDefault;
        value = value * 10 + static_cast<UINT>(text[i] - u'0');
        ++digits;
    }
    return digits && value >= 1 && value <= 65535 ? value : kDefault;
}

// The kernel reads the ANSI code page from here at its first use, where Windows keeps it.
[[maybe_unused]] const bool g_ansiCodePageSourceSet =
    (platform::kernel::SetAnsiCodePageSource(&ReadAnsiCodePage), true);

}  // namespace platform::registry

namespace platform::testing {
namespace {

struct SavedVariable {
    bool saved = false;
    bool present = false;
    std::string value;
};

SavedVariable& Saved() {
    static SavedVariable saved;
    return saved;
}

void RestoreFolder() {
    {
        std::lock_guard lock(registry::OverrideMutex());
        registry::FolderOverride().clear();
        SavedVariable& saved = Saved();
        if (saved.saved) {
            if (saved.present)
                setenv(registry::kFolderVariable, saved.value.c_str(), 1);
            else
                unsetenv(registry::kFolderVariable);
            saved = SavedVariable{};
        }
    }
    registry::ForgetConnections();
}

const bool g_resetRegistered = (RegisterResetHook(&RestoreFolder), true);

}  // namespace

void UseRegistryFolder(const std::string& folder) {
    if (folder.empty()) {
        RestoreFolder();
        return;
    }
    std::lock_guard lock(registry::OverrideMutex());
    SavedVariable& saved = Saved();
    if (!saved.saved) {
        const char* current = std::getenv(registry::kFolderVariable);
        saved.saved = true;
        saved.present = current != nullptr;
        saved.value = current ? current : "";
    }
    registry::FolderOverride() = folder;
    setenv(registry::kFolderVariable, folder.c_str(), 1);
}

ScopedTempRegistry::ScopedTempRegistry() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/msgplugin-registry-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) folder_ = buffer.data();
    UseRegistryFolder(folder_);
}

ScopedTempRegistry::~ScopedTempRegistry() {
    UseRegistryFolder("");
    if (folder_.empty()) return;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        for (const char* file : {"machine.sqlite", "users.sqlite"}) unlink((folder_ + "/" + file + suffix).c_str());
        unlink((folder_ + "/user-" + std::to_string(getuid()) + ".sqlite" + suffix).c_str());
    }
    rmdir(folder_.c_str());
}

}  // namespace platform::testing
