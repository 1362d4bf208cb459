// Transactions over one hive, and the key tree and values inside one.
#include "registry/registry_tree.h"

#include <climits>

#include "base/clock.h"
#include "base/fault.h"

namespace platform::registry {

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

LSTATUS Walk(Transaction& tx, sqlite3_int64 start, const std::vector<std::u16string_view>& parts, sqlite3_int64* id) {
    sqlite3_int64 current = start;
    for (std::u16string_view part : parts) {
        LSTATUS status = FindChild(tx, current, Store(part), &current);
        if (status != ERROR_SUCCESS) return status;
    }
    *id = current;
    return ERROR_SUCCESS;
}

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

}  // namespace platform::registry
