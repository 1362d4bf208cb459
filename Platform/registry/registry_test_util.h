// Tests only: what the registry's tests share: a key holder, value helpers and a fixture with a
// registry of its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "platform_testing.h"

namespace registrytest {

using std::u16string;

// Owns a key handle for the length of a test.
class Key {
public:
    Key() = default;
    ~Key() { reset(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* put() {
        reset();
        return &key_;
    }
    HKEY get() const { return key_; }
    void reset() {
        if (key_) RegCloseKey(key_);
        key_ = nullptr;
    }

private:
    HKEY key_ = nullptr;
};

inline LSTATUS Create(HKEY root, const char16_t* path, Key& key, DWORD* disposition = nullptr,
               REGSAM access = KEY_ALL_ACCESS) {
    return RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key.put(), disposition);
}

inline LSTATUS SetString(HKEY key, const char16_t* name, const u16string& text, DWORD type = REG_SZ) {
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

inline LSTATUS SetDword(HKEY key, const char16_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// The value as bytes, with its type; the status when it cannot be read.
struct Read {
    LSTATUS status = ERROR_SUCCESS;
    DWORD type = 0;
    std::string bytes;
    u16string text() const {
        u16string out(bytes.size() / 2, u'\0');
        std::memcpy(out.data(), bytes.data(), out.size() * 2);
        while (!out.empty() && out.back() == u'\0') out.pop_back();
        return out;
    }
};

inline Read Query(HKEY key, const char16_t* name) {
    Read read;
    DWORD size = 0;
    read.status = RegQueryValueExW(key, name, nullptr, &read.type, nullptr, &size);
    if (read.status != ERROR_SUCCESS) return read;
    read.bytes.resize(size);
    read.status = RegQueryValueExW(key, name, nullptr, &read.type, reinterpret_cast<BYTE*>(read.bytes.data()), &size);
    read.bytes.resize(size);
    return read;
}

// The names an enumeration gives, index by index until it has no more.
template <class Enumerate>
std::vector<u16string> EnumeratedNames(Enumerate enumerate) {
    std::vector<u16string> names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD chars = 256;
        LSTATUS status = enumerate(index, name, &chars);
        if (status == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(status, ERROR_SUCCESS);
        if (status != ERROR_SUCCESS) break;
        names.emplace_back(name, chars);
    }
    return names;
}

inline std::vector<u16string> Subkeys(HKEY key) {
    return EnumeratedNames([key](DWORD index, WCHAR* name, DWORD* chars) {
        return RegEnumKeyExW(key, index, name, chars, nullptr, nullptr, nullptr, nullptr);
    });
}

inline std::vector<u16string> ValueNames(HKEY key) {
    return EnumeratedNames([key](DWORD index, WCHAR* name, DWORD* chars) {
        return RegEnumValueW(key, index, name, chars, nullptr, nullptr, nullptr, nullptr);
    });
}

// "prefix<a>-<b>" as UTF-16 (built without std::string's operator+, which GCC 12 warns about).
inline u16string Numbered(const char* prefix, int a, int b = -1) {
    char text[64];
    if (b < 0)
        std::snprintf(text, sizeof(text), "%s%d", prefix, a);
    else
        std::snprintf(text, sizeof(text), "%s%d-%d", prefix, a, b);
    return u16string(text, text + std::strlen(text));
}

class Registry : public ::testing::Test {
protected:
    platform::testing::ScopedTempRegistry registry_;
};

}  // namespace registrytest
