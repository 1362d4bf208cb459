// Feeds arbitrary bytes to the code-page conversions and the string helpers: no crash, no
// out-of-bounds access, and what one direction produces the other accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <windows.h>

namespace {

const UINT kCodePages[] = {1252, 1251, 1253, 932, 936, 949, 950, 874, CP_UTF8, CP_UTF7, 20127, 437};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const UINT codePage = kCodePages[data[0] % (sizeof kCodePages / sizeof kCodePages[0])];
    const DWORD flags = (data[1] & 1) ? MB_ERR_INVALID_CHARS : 0;
    const char* bytes = reinterpret_cast<const char*>(data + 2);
    const int count = static_cast<int>(size - 2);
    if (count == 0) return 0;

    int needed = MultiByteToWideChar(codePage, flags, bytes, count, nullptr, 0);
    if (needed > 0) {
        std::u16string wide(static_cast<size_t>(needed), u'\0');
        if (MultiByteToWideChar(codePage, flags, bytes, count, wide.data(), needed) != needed) abort();
        // A buffer one short must fail without writing past it.
        if (needed > 1) {
            std::u16string shorter(static_cast<size_t>(needed - 1), u'\0');
            if (MultiByteToWideChar(codePage, flags, bytes, count, shorter.data(), needed - 1) != 0) abort();
        }
        int back = WideCharToMultiByte(codePage, 0, wide.data(), needed, nullptr, 0, nullptr, nullptr);
        if (back <= 0) abort();
        std::string narrow(static_cast<size_t>(back), '\0');
        if (WideCharToMultiByte(codePage, 0, wide.data(), needed, narrow.data(), back, nullptr, nullptr) != back) abort();
    }

    // The same bytes read as UTF-16 units.
    std::u16string units(static_cast<size_t>(count) / 2 + 1, u'\0');
    for (size_t i = 0; i + 1 < static_cast<size_t>(count); i += 2)
        units[i / 2] = static_cast<char16_t>(data[2 + i] | (data[3 + i] << 8));
    WCHAR buffer[16];
    StringCchCopyW(buffer, 16, units.c_str());
    StringCchCatW(buffer, 16, units.c_str());
    size_t length = 0;
    if (FAILED(StringCchLengthW(buffer, 16, &length)) || length > 15) abort();
    (void)_wtoi(units.c_str());
    (void)_wcsicmp(units.c_str(), buffer);
    int utf8 = WideCharToMultiByte(CP_UTF8, 0, units.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (utf8 <= 0) abort();
    return 0;
}
