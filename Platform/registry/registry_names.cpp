// Key and value names as the hives keep them, and the paths callers give.
#include "registry/registry_names.h"

namespace platform::registry {

char16_t Upcase(char16_t c) {
    if (c < u'a') return c;
    if (c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c <= 0x17F) {
        bool oddIsLower = (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177);
        bool evenIsLower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddIsLower && (c & 1)) return static_cast<char16_t>(c - 1);
        if (evenIsLower && !(c & 1)) return static_cast<char16_t>(c - 1);
        return c;
    }
    if (c == 0x3AC) return 0x386;
    if (c >= 0x3AD && c <= 0x3AF) return static_cast<char16_t>(c - 0x25);
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x3B1 && c <= 0x3CB) return static_cast<char16_t>(c - 0x20);
    if (c == 0x3CC) return 0x38C;
    if (c == 0x3CD || c == 0x3CE) return static_cast<char16_t>(c - 0x3F);
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);
    return c;
}

StoredName Store(std::u16string_view name) {
    StoredName stored;
    stored.bytes.reserve(name.size() * 2);
    stored.folded.reserve(name.size() * 2);
    for (char16_t c : name) {
        stored.bytes.push_back(static_cast<char>(c & 0xFF));
        stored.bytes.push_back(static_cast<char>(c >> 8));
        char16_t up = Upcase(c);
        stored.folded.push_back(static_cast<char>(up >> 8));
        stored.folded.push_back(static_cast<char>(up & 0xFF));
    }
    return stored;
}

std::u16string FromBytes(const void* data, int size) {
    std::u16string text(static_cast<size_t>(size) / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
    return text;
}

std::u16string_view View(LPCWSTR text) { return text ? std::u16string_view(text) : std::u16string_view(); }

LSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
    parts->clear();
    if (path.empty()) return ERROR_SUCCESS;
    if (path.front() == u'\\') return ERROR_BAD_PATHNAME;
    if (path.back() == u'\\') path.remove_suffix(1);
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        std::u16string_view part = path.substr(start, end - start);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
        parts->push_back(part);
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

}  // namespace platform::registry
