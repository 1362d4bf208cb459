// The registry API over SQLite hives (registry_store.cpp keeps them; registry_tree.cpp walks them).
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

#include <sys/stat.h>

#include <new>
#include <string>
#include <vector>

#include "base/fault.h"
#include "base/guarded.h"
#include "kernel/winbase.h"
#include "platform_testing.h"
#include "registry/registry_tree.h"

using namespace platform::registry;

// ---- The API -------------------------------------------------------------------------------

// No exception leaves the API: an allocation failure is the registry's out-of-memory answer.
template <typename Call>
LSTATUS Guarded(Call&& call) noexcept {
    return platform::RunGuarded<LSTATUS>(ERROR_OUTOFMEMORY, ERROR_INTERNAL_ERROR, call);
}

#define REGISTRY_FAULT(name)                                   \
    do {                                                       \
        HRESULT injected_ = S_OK;                              \
        if (PLATFORM_FAULT(name, injected_)) return injected_; \
    } while (0)

// Runs body(tx, id) in one read transaction on the key `target` names, then commits.
template <typename Body>
static LSTATUS ReadInKey(const Target& target, Body&& body) {
    Transaction tx(*target.database, false);
    LSTATUS status = tx.Begin();
    sqlite3_int64 id = 0;
    if (status == ERROR_SUCCESS) status = TargetKey(tx, target, false, &id);
    if (status == ERROR_SUCCESS) status = body(tx, id);
    if (status == ERROR_SUCCESS) status = tx.Commit();
    return status;
}

// A value's type and bytes as RegQueryValueExW and RegEnumValueW give them: the size always,
// the bytes when there is room for them.
static LSTATUS HandOutValue(const FoundValue& value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
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

// The path under hKey in parts, the key it starts from and the access asked for, refused when
// write access is asked of a read-only hive.
static LSTATUS ResolveSubkey(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, std::vector<std::u16string_view>* parts,
                             Target* target, REGSAM* access) {
    if (LSTATUS status = SplitPath(View(lpSubKey), parts); status != ERROR_SUCCESS) return status;
    if (LSTATUS status = Resolve(hKey, target); status != ERROR_SUCCESS) return status;
    *access = MapAccess(samDesired);
    if ((*access & kWriteRights) && target->database->readOnly) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

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
    Target target;
    REGSAM access = 0;
    if (LSTATUS status = ResolveSubkey(hKey, lpSubKey, samDesired, &parts, &target, &access); status != ERROR_SUCCESS)
        return status;
    sqlite3_int64 id = 0;
    LSTATUS found = ReadInKey(target, [&](Transaction& tx, sqlite3_int64 start) { return Walk(tx, start, parts, &id); });
    if (found != ERROR_SUCCESS) return found;
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
    Target target;
    REGSAM access = 0;
    if (LSTATUS status = ResolveSubkey(hKey, lpSubKey, samDesired, &parts, &target, &access); status != ERROR_SUCCESS)
        return status;
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
    LSTATUS found = ReadInKey(target, [&](Transaction& tx, sqlite3_int64 id) {
        return FindValue(tx, id, View(lpValueName), &value);
    });
    if (found != ERROR_SUCCESS) return found;
    return HandOutValue(value, lpType, lpData, lpcbData);
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
    LSTATUS found = ReadInKey(target, [&](Transaction& tx, sqlite3_int64 id) {
        Statement query(tx.database(),
                        "SELECT name, class, written FROM keys WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
        int rc = query.Int(1, id).Int(2, dwIndex).Step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? LSTATUS(ERROR_NO_MORE_ITEMS) : tx.Error(rc);
        name = query.ColumnName(0);
        if (!query.ColumnIsNull(1)) keyClass = query.ColumnName(1);
        written = query.ColumnInt(2);
        return LSTATUS(ERROR_SUCCESS);
    });
    if (found != ERROR_SUCCESS) return found;
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
    LSTATUS found = ReadInKey(target, [&](Transaction& tx, sqlite3_int64 id) {
        Statement query(tx.database(), "SELECT name, type, data FROM vals WHERE key = ? ORDER BY seq LIMIT 1 OFFSET ?");
        int rc = query.Int(1, id).Int(2, dwIndex).Step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? LSTATUS(ERROR_NO_MORE_ITEMS) : tx.Error(rc);
        name = query.ColumnName(0);
        value.type = static_cast<DWORD>(query.ColumnInt(1));
        const void* data = query.ColumnBlob(2);
        value.data.assign(static_cast<const char*>(data), data ? static_cast<size_t>(query.ColumnBytes(2)) : 0);
        return LSTATUS(ERROR_SUCCESS);
    });
    if (found != ERROR_SUCCESS) return found;
    if (LSTATUS status = CopyName(name, lpValueName, lpcchValueName); status != ERROR_SUCCESS) return status;
    return HandOutValue(value, lpType, lpData, lpcbData);
}

// The one row of three figures `sql` gives for key `id` (a count and two longest lengths).
static LSTATUS ThreeFigures(Transaction& tx, const char* sql, sqlite3_int64 id, sqlite3_int64* first,
                            sqlite3_int64* second, sqlite3_int64* third) {
    Statement figures(tx.database(), sql);
    int rc = figures.Int(1, id).Step();
    if (rc != SQLITE_ROW) return tx.Error(rc);
    *first = figures.ColumnInt(0);
    *second = figures.ColumnInt(1);
    *third = figures.ColumnInt(2);
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
    LSTATUS found = ReadInKey(target, [&](Transaction& tx, sqlite3_int64 id) {
        Statement self(tx.database(), "SELECT class, written FROM keys WHERE id = ?");
        int rc = self.Int(1, id).Step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? LSTATUS(ERROR_KEY_DELETED) : tx.Error(rc);
        if (!self.ColumnIsNull(0)) keyClass = self.ColumnName(0);
        written = self.ColumnInt(1);
        LSTATUS status = ThreeFigures(tx,
                                      "SELECT count(*), ifnull(max(length(name)), 0) / 2, ifnull(max(length(class)), 0) / 2"
                                      " FROM keys WHERE parent = ?",
                                      id, &subkeys, &maxSubkey, &maxClass);
        if (status != ERROR_SUCCESS) return status;
        return ThreeFigures(tx,
                            "SELECT count(*), ifnull(max(length(name)), 0) / 2, ifnull(max(length(data)), 0)"
                            " FROM vals WHERE key = ?",
                            id, &values, &maxName, &maxData);
    });
    if (found != ERROR_SUCCESS) return found;
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
