// The .reg text parser on arbitrary input: UTF-16LE text parsed into operations, never applied.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "registry/regtool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text(size / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    std::vector<platform::registry::RegOperation> operations;
    std::string error;
    platform::registry::ParseRegText(text, &operations, &error);
    // The same bytes as UTF-8, as a file without a byte-order mark is read.
    platform::registry::ParseRegText(
        platform::registry::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size)), &operations,
        &error);
    return 0;
}
