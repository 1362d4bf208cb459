#include "frame/RegistryRestorePoint.h"

#include <new>

namespace msgplugin {

namespace {

// Deeper than any key a registration writes; a deeper tree is refused rather than half kept.
constexpr int kMaxDepth = 32;
constexpr DWORD kMaxKeyName = 256;  // 255 characters and a terminator

// The leading parts of a registry path: "A\B\C" gives "A", "A\B", "A\B\C".
std::vector<WString> Prefixes(const WString& path) {
    std::vector<WString> prefixes;
    for (size_t at = path.find(WCHAR('\\')); at != WString::npos; at = path.find(WCHAR('\\'), at + 1))
        prefixes.push_back(path.substr(0, at));
    prefixes.push_back(path);
    return prefixes;
}

// How many leading parts of the path exist. Only a key that is not there ends the count: any
// other failure leaves the state unknown, and nothing is recorded.
HRESULT ExistingDepth(HKEY root, const std::vector<WString>& prefixes, size_t* depth) {
    *depth = 0;
    for (const WString& prefix : prefixes) {
        HKEY key = nullptr;
        LSTATUS status = RegOpenKeyExW(root, prefix.c_str(), 0, KEY_READ, &key);
        if (status == ERROR_FILE_NOT_FOUND) break;
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        RegCloseKey(key);
        ++*depth;
    }
    return S_OK;
}

class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() {
        if (m_key) RegCloseKey(m_key);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY* Out() { return &m_key; }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

}  // namespace

HRESULT RegistryRestorePoint::Record(HKEY key, Key* into, int depthLeft) {
    if (depthLeft <= 0) return HRESULT_FROM_WIN32(ERROR_BADKEY);
    DWORD subkeys = 0, values = 0, maxName = 0, maxData = 0;
    LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, &maxName,
                                      &maxData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    std::vector<WCHAR> name(maxName + 1);
    std::vector<BYTE> data(maxData);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        status = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status == ERROR_MORE_DATA) {  // grown meanwhile: this one again, with room for it
            name.resize(name.size() * 2 + kMaxKeyName);
            data.resize(data.size() * 2 + 256);
            --index;
            continue;
        }
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        into->values.push_back(Value{WString(name.data(), nameLength), type,
                                     std::vector<BYTE>(data.begin(), data.begin() + size)});
    }
    for (DWORD index = 0;; ++index) {
        WCHAR subkeyName[kMaxKeyName] = {};
        DWORD nameLength = kMaxKeyName;
        status = RegEnumKeyExW(key, index, subkeyName, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        OpenKey subkey;
        status = RegOpenKeyExW(key, subkeyName, 0, KEY_READ, subkey.Out());
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        Key child;
        child.name.assign(subkeyName, nameLength);
        HRESULT hr = Record(subkey.Get(), &child, depthLeft - 1);
        if (FAILED(hr)) return hr;
        into->subkeys.push_back(std::move(child));
    }
    return S_OK;
}

HRESULT RegistryRestorePoint::Keep(HKEY root, const WString& path, const WString* valueName) {
    try {
        Kept kept;
        kept.root = root;
        kept.path = path;
        if (valueName) {
            kept.wholeKey = false;
            kept.value.name = *valueName;
        }
        const std::vector<WString> prefixes = Prefixes(path);
        kept.depth = prefixes.size();
        HRESULT hr = ExistingDepth(root, prefixes, &kept.existingDepth);
        if (FAILED(hr)) return hr;
        if (kept.existingDepth == kept.depth) {
            OpenKey key;
            LSTATUS status = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Out());
            if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
            hr = kept.wholeKey ? Record(key.Get(), &kept.tree, kMaxDepth) : RecordValue(key.Get(), &kept);
            if (FAILED(hr)) return hr;
        }
        m_kept.push_back(std::move(kept));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT RegistryRestorePoint::KeepKey(HKEY root, const WString& path) { return Keep(root, path, nullptr); }

HRESULT RegistryRestorePoint::KeepValue(HKEY root, const WString& path, const WString& name) {
    return Keep(root, path, &name);
}

// The value `kept` names, or that it is missing.
HRESULT RegistryRestorePoint::RecordValue(HKEY key, Kept* kept) {
    Value& value = kept->value;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, value.name.c_str(), nullptr, &value.type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return S_OK;
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    value.data.resize(size);
    status = RegQueryValueExW(key, value.name.c_str(), nullptr, &value.type, value.data.data(), &size);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    value.data.resize(size);
    kept->valueExisted = true;
    return S_OK;
}

void RegistryRestorePoint::Write(HKEY parent, const WString& name, const Key& key) noexcept {
    OpenKey created;
    if (RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE | KEY_READ, nullptr,
                        created.Out(), nullptr) != ERROR_SUCCESS)
        return;
    for (const Value& value : key.values)
        RegSetValueExW(created.Get(), value.name.c_str(), 0, value.type, value.data.data(),
                       static_cast<DWORD>(value.data.size()));
    for (const Key& subkey : key.subkeys) Write(created.Get(), subkey.name, subkey);
}

void RegistryRestorePoint::ForgetCreatedKeys(const Kept& kept) {
    const std::vector<WString> prefixes = Prefixes(kept.path);
    // A whole key that was missing is gone already; a value's key that was missing goes too.
    size_t from = kept.wholeKey ? kept.depth - 1 : kept.depth;
    for (size_t depth = from; depth > kept.existingDepth; --depth)
        if (RegDeleteKeyW(kept.root, prefixes[depth - 1].c_str()) != ERROR_SUCCESS) break;  // not empty
}

void RegistryRestorePoint::Restore() const noexcept {
    try {
        for (const Kept& kept : m_kept) {
            const bool existed = kept.existingDepth == kept.depth;
            if (kept.wholeKey) {
                RegDeleteTreeW(kept.root, kept.path.c_str());
                if (!existed) continue;
                // The key's own name is the path's last part; its parent exists as before.
                const size_t cut = kept.path.find_last_of(WCHAR('\\'));
                if (cut == WString::npos) {
                    Write(kept.root, kept.path, kept.tree);
                    continue;
                }
                OpenKey parent;
                if (RegOpenKeyExW(kept.root, kept.path.substr(0, cut).c_str(), 0, KEY_WRITE | KEY_READ,
                                  parent.Out()) == ERROR_SUCCESS)
                    Write(parent.Get(), kept.path.substr(cut + 1), kept.tree);
                continue;
            }
            OpenKey key;
            if (RegOpenKeyExW(kept.root, kept.path.c_str(), 0, KEY_WRITE | KEY_READ, key.Out()) != ERROR_SUCCESS)
                continue;
            if (kept.valueExisted)
                RegSetValueExW(key.Get(), kept.value.name.c_str(), 0, kept.value.type, kept.value.data.data(),
                               static_cast<DWORD>(kept.value.data.size()));
            else
                RegDeleteValueW(key.Get(), kept.value.name.c_str());
        }
        // Then the keys on the way that were missing, once everything below them is back as it was.
        for (const Kept& kept : m_kept) ForgetCreatedKeys(kept);
    } catch (...) {
        // Out of memory while putting things back: what could be restored is.
    }
}
}  // namespace msgplugin
