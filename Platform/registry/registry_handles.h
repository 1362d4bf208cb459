// Open key handles: the table of handles and what a handle or predefined key resolves to.
#pragma once

#include <mutex>
#include <unordered_map>

#include "registry/registry_store.h"

namespace platform::registry {

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

HandleTable& Handles();

HKEY AddHandle(OpenKey key);

bool IsPredefined(HKEY key, Hive* hive, bool* classes);

// fork() while another thread holds one of the process-wide locks would leave it locked for
// ever in the child: take them all around fork(), in the order in which calls nest them.
void LockForFork();
void UnlockAfterFork();
void UnlockInChild();

REGSAM MapAccess(REGSAM desired);

// Rights that change a key, which a read-only hive cannot grant.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE;

// What one call works on: a connection and a key in it.
struct Target {
    std::shared_ptr<Database> database;
    sqlite3_int64 id = 0;  // 0: HKEY_CLASSES_ROOT, looked up inside the transaction
    REGSAM access = 0;
    bool predefined = false;
};

LSTATUS Resolve(HKEY key, Target* target);

}  // namespace platform::registry
