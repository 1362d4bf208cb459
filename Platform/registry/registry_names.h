// Key and value names as the hives keep them, and the paths callers give.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "registry/winreg.h"

namespace platform::registry {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

// Upper case of one UTF-16 code unit, for the letters of Latin, Greek and Cyrillic scripts.
char16_t Upcase(char16_t c);

// A name as stored: its own bytes and its folded form.
struct StoredName {
    std::string bytes;   // UTF-16LE
    std::string folded;  // upper case, UTF-16BE
};

StoredName Store(std::u16string_view name);

std::u16string FromBytes(const void* data, int size);

std::u16string_view View(LPCWSTR text);

// Splits a key path at '\'. A trailing separator is allowed; a leading one, an empty component
// or a component over 255 characters is not.
LSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts);

}  // namespace platform::registry
