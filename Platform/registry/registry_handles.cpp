// Open key handles: the table of handles and what a handle or predefined key resolves to.
#include "registry/registry_handles.h"

#include <pthread.h>

namespace platform::registry {

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

// Registered once, by this file.
[[maybe_unused]] const bool g_forkHandlers = (pthread_atfork(&LockForFork, &UnlockAfterFork, &UnlockInChild), true);

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

REGSAM MapAccess(REGSAM desired) {
    REGSAM access = desired & ~static_cast<REGSAM>(KEY_WOW64_RES);
    if (access & GENERIC_READ) access |= KEY_READ;
    if (access & GENERIC_WRITE) access |= KEY_WRITE;
    if (access & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    return access & (KEY_ALL_ACCESS | SYNCHRONIZE);
}

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

}  // namespace platform::registry
