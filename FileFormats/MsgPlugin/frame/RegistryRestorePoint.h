// The registry keys and values that a registration is about to change, recorded first so that a
// registration that fails part-way can put them back as it found them.
#pragma once

#include <windows.h>

#include <vector>

#include "log/wide_string.h"

namespace msgplugin {

class RegistryRestorePoint {
public:
    RegistryRestorePoint() = default;
    RegistryRestorePoint(const RegistryRestorePoint&) = delete;
    RegistryRestorePoint& operator=(const RegistryRestorePoint&) = delete;

    // Records the key `path` under `root` with everything below it, or that it is missing.
    HRESULT KeepKey(HKEY root, const WString& path);
    // Records one value of a key (empty name: the default value), or that it is missing.
    HRESULT KeepValue(HKEY root, const WString& path, const WString& name);

    // Puts every recorded key and value back as it was: a key that was missing goes with all
    // below it, and so do the keys on the way to it that were missing and are empty again. Best
    // effort: every step is tried whatever the others give.
    void Restore() const noexcept;

private:
    struct Value {
        WString name;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
    };
    struct Key {
        WString name;
        std::vector<Value> values;
        std::vector<Key> subkeys;
    };
    struct Kept {
        HKEY root = nullptr;
        WString path;
        // How many of the path's leading parts existed (all of them: the key itself existed).
        size_t existingDepth = 0;
        size_t depth = 0;
        bool wholeKey = true;  // else only `value` of the key
        bool valueExisted = false;
        Value value;
        Key tree;  // the key as it was, when it existed and was kept whole
    };

    static HRESULT Record(HKEY key, Key* into, int depthLeft);
    static HRESULT RecordValue(HKEY key, Kept* kept);
    // KeepKey (no value name) and KeepValue.
    HRESULT Keep(HKEY root, const WString& path, const WString* valueName);
    static void Write(HKEY parent, const WString& name, const Key& key) noexcept;
    static void ForgetCreatedKeys(const Kept& kept);

    std::vector<Kept> m_kept;
};

}  // namespace msgplugin
