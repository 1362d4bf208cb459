// The .reg text format: export of a key tree and its import.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\X]
//   @="default value"
//   "Name"="text with \"quotes\" and \\ backslashes"
//   "Count"=dword:0000001f
//   "Blob"=hex:01,02,03
//   "Path"=hex(2):25,00,...       REG_EXPAND_SZ, UTF-16LE bytes
//   "List"=hex(7):...             REG_MULTI_SZ
//   "Big"=hex(b):...              REG_QWORD
//   "Gone"=-                      (import: delete the value)
//   [-HKEY_LOCAL_MACHINE\SOFTWARE\Old]   (import: delete the key and its subkeys)
//
// Long hex data continues on the next line after a trailing '\'. A string is written as text
// only when it reads back to the same bytes (one terminator, no NUL or line break inside);
// otherwise as hex(1).
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "base/native_name.h"
#include "registry/regtool.h"

namespace platform::registry {
namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";
constexpr size_t kLineWidth = 80;

struct Root {
    const char16_t* shortName;
    const char16_t* longName;
    HKEY key;
};
const Root kRoots[] = {
    {u"HKLM", u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {u"HKCU", u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {u"HKCR", u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {u"HKU", u"HKEY_USERS", HKEY_USERS},
};

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i] >= u'a' && a[i] <= u'z' ? static_cast<char16_t>(a[i] - 32) : a[i];
        char16_t y = b[i] >= u'a' && b[i] <= u'z' ? static_cast<char16_t>(b[i] - 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

std::string Narrow(std::u16string_view text) { return Utf16ToUtf8(text); }

// Closes a key handle on every exit.
struct KeyHolder {
    HKEY key = nullptr;
    KeyHolder() = default;
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    ~KeyHolder() {
        if (key) RegCloseKey(key);
    }
};

const char16_t kHexDigits[] = u"0123456789abcdef";

void AppendHex(std::u16string* out, BYTE byte) {
    out->push_back(kHexDigits[byte >> 4]);
    out->push_back(kHexDigits[byte & 15]);
}

std::u16string Quote(std::u16string_view text) {
    std::u16string out = u"\"";
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"') out.push_back(u'\\');
        out.push_back(c);
    }
    out.push_back(u'"');
    return out;
}

// A REG_SZ that survives as "text": an even size, one terminator at the end, no NUL, CR or LF
// before it.
bool WritableAsText(const std::string& data) {
    if (data.size() < 2 || data.size() % 2) return false;
    size_t chars = data.size() / 2;
    for (size_t i = 0; i < chars; ++i) {
        char16_t c = static_cast<char16_t>(static_cast<BYTE>(data[2 * i]) | (static_cast<BYTE>(data[2 * i + 1]) << 8));
        if (i + 1 == chars) return c == 0;
        if (c == 0 || c == u'\r' || c == u'\n') return false;
    }
    return false;
}

void AppendValue(std::u16string* out, std::u16string_view name, DWORD type, const std::string& data) {
    std::u16string line = name.empty() ? std::u16string(u"@") : Quote(name);
    line += u"=";
    if (type == REG_SZ && WritableAsText(data)) {
        std::u16string text(data.size() / 2 - 1, u'\0');
        std::memcpy(text.data(), data.data(), text.size() * 2);
        line += Quote(text);
    } else if (type == REG_DWORD && data.size() == 4) {
        DWORD value = 0;
        std::memcpy(&value, data.data(), 4);
        char digits[16];
        std::snprintf(digits, sizeof(digits), "%08x", value);
        line += u"dword:";
        for (const char* p = digits; *p; ++p) line.push_back(static_cast<char16_t>(*p));
    } else {
        if (type == REG_BINARY) {
            line += u"hex:";
        } else {
            char prefix[24];
            std::snprintf(prefix, sizeof(prefix), "hex(%x):", type);
            for (const char* p = prefix; *p; ++p) line.push_back(static_cast<char16_t>(*p));
        }
        for (size_t i = 0; i < data.size(); ++i) {
            AppendHex(&line, static_cast<BYTE>(data[i]));
            if (i + 1 < data.size()) {
                line.push_back(u',');
                // Wrap before the line would pass the width, leaving room for "xx,\".
                if (line.size() + 4 > kLineWidth - 2) {
                    line += u"\\\r\n";
                    *out += line;
                    line = u"  ";
                }
            }
        }
    }
    *out += line;
    *out += u"\r\n";
}

LSTATUS ExportKey(HKEY key, const std::u16string& fullName, std::u16string* out, std::string* error) {
    if (fullName.find_first_of(u"\r\n") != std::u16string::npos) {
        *error = "a key name holds a line break and cannot be exported: " + Narrow(fullName);
        return ERROR_INVALID_DATA;
    }
    *out += u"[" + fullName + u"]\r\n";
    std::vector<WCHAR> name(16384 + 1);
    for (DWORD index = 0;; ++index) {
        DWORD chars = static_cast<DWORD>(name.size());
        DWORD type = 0, size = 0;
        LSTATUS status = RegEnumValueW(key, index, name.data(), &chars, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        std::string data(size, '\0');
        if (status == ERROR_SUCCESS) {
            chars = static_cast<DWORD>(name.size());
            status = RegEnumValueW(key, index, name.data(), &chars, nullptr, &type,
                                   reinterpret_cast<BYTE*>(data.data()), &size);
            data.resize(size);
        }
        if (status != ERROR_SUCCESS) {
            *error = "cannot read the values of " + Narrow(fullName);
            return status;
        }
        std::u16string_view valueName(name.data(), chars);
        if (valueName.find_first_of(u"\r\n") != std::u16string_view::npos) {
            *error = "a value name holds a line break and cannot be exported: " + Narrow(fullName);
            return ERROR_INVALID_DATA;
        }
        AppendValue(out, valueName, type, data);
    }
    *out += u"\r\n";
    for (DWORD index = 0;; ++index) {
        WCHAR subkey[256];
        DWORD chars = 256;
        LSTATUS status = RegEnumKeyExW(key, index, subkey, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        KeyHolder child;
        if (status == ERROR_SUCCESS) status = RegOpenKeyExW(key, subkey, 0, KEY_READ, &child.key);
        if (status != ERROR_SUCCESS) {
            *error = "cannot read the subkeys of " + Narrow(fullName);
            return status;
        }
        status = ExportKey(child.key, fullName + u"\\" + std::u16string(subkey, chars), out, error);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

// ---- Parsing -------------------------------------------------------------------------------

struct Parser {
    std::u16string_view text;
    size_t pos = 0;
    size_t lineNumber = 0;
    std::string* error;

    bool NextLine(std::u16string_view* line) {
        if (pos >= text.size()) return false;
        size_t end = text.find(u'\n', pos);
        if (end == std::u16string_view::npos) end = text.size();
        *line = text.substr(pos, end - pos);
        if (!line->empty() && line->back() == u'\r') line->remove_suffix(1);
        pos = end + 1;
        ++lineNumber;
        return true;
    }

    bool Fail(const std::string& what) {
        *error = "line " + std::to_string(lineNumber) + ": " + what;
        return false;
    }
};

std::u16string_view Trim(std::u16string_view text) {
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) text.remove_suffix(1);
    return text;
}

int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// A quoted string at the start of `text`: unescapes it and moves `text` past it.
bool TakeQuoted(std::u16string_view* text, std::u16string* out) {
    if (text->empty() || text->front() != u'"') return false;
    out->clear();
    for (size_t i = 1; i < text->size(); ++i) {
        char16_t c = (*text)[i];
        if (c == u'\\' && i + 1 < text->size()) {
            out->push_back((*text)[++i]);
        } else if (c == u'"') {
            text->remove_prefix(i + 1);
            return true;
        } else {
            out->push_back(c);
        }
    }
    return false;
}

std::string ToBytes(std::u16string_view text, bool terminate) {
    std::string bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    if (terminate) bytes.append(2, '\0');
    return bytes;
}

bool ParseValueData(Parser& parser, std::u16string_view data, bool version4, RegOperation* op) {
    data = Trim(data);
    if (data == u"-") {
        op->kind = RegOperation::DeleteValue;
        return true;
    }
    op->kind = RegOperation::SetValue;
    if (!data.empty() && data.front() == u'"') {
        std::u16string text;
        if (!TakeQuoted(&data, &text) || !Trim(data).empty()) return parser.Fail("a string value is not closed");
        op->type = REG_SZ;
        op->data = ToBytes(text, true);
        return true;
    }
    if (data.size() >= 6 && EqualNoCase(data.substr(0, 6), u"dword:")) {
        std::u16string_view digits = Trim(data.substr(6));
        if (digits.empty() || digits.size() > 8) return parser.Fail("a dword needs 1 to 8 hex digits");
        DWORD value = 0;
        for (char16_t c : digits) {
            int digit = HexValue(c);
            if (digit < 0) return parser.Fail("a dword needs 1 to 8 hex digits");
            value = value << 4 | static_cast<DWORD>(digit);
        }
        op->type = REG_DWORD;
        op->data.assign(reinterpret_cast<const char*>(&value), 4);
        return true;
    }
    if (data.size() >= 3 && EqualNoCase(data.substr(0, 3), u"hex")) {
        data.remove_prefix(3);
        DWORD type = REG_BINARY;
        if (!data.empty() && data.front() == u'(') {
            size_t close = data.find(u')');
            if (close == std::u16string_view::npos || close == 1 || close > 9) return parser.Fail("bad hex(type)");
            type = 0;
            for (char16_t c : data.substr(1, close - 1)) {
                int digit = HexValue(c);
                if (digit < 0) return parser.Fail("bad hex(type)");
                type = type << 4 | static_cast<DWORD>(digit);
            }
            data.remove_prefix(close + 1);
        }
        if (data.empty() || data.front() != u':') return parser.Fail("hex data needs a ':'");
        data.remove_prefix(1);
        // Gather the continuation lines.
        std::u16string joined(Trim(data));
        while (!joined.empty() && joined.back() == u'\\') {
            joined.pop_back();
            std::u16string_view next;
            if (!parser.NextLine(&next)) return parser.Fail("hex data continues past the end");
            joined += Trim(next);
        }
        std::string bytes;
        std::u16string_view rest = joined;
        while (!rest.empty()) {
            size_t comma = rest.find(u',');
            std::u16string_view item = Trim(rest.substr(0, comma));
            if (item.size() != 2 || HexValue(item[0]) < 0 || HexValue(item[1]) < 0)
                return parser.Fail("hex data must be two-digit bytes separated by commas");
            bytes.push_back(static_cast<char>(HexValue(item[0]) << 4 | HexValue(item[1])));
            if (comma == std::u16string_view::npos) break;
            rest.remove_prefix(comma + 1);
            if (Trim(rest).empty()) return parser.Fail("hex data ends with a comma");
        }
        if (version4 && (type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
            // The older format keeps these as 8-bit text.
            bytes = ToBytes(Utf8ToUtf16(bytes), false);
        }
        op->type = type;
        op->data = std::move(bytes);
        return true;
    }
    return parser.Fail("unknown value data");
}

}  // namespace

bool ParseKeyName(std::u16string_view text, KeyName* key) {
    size_t slash = text.find(u'\\');
    std::u16string_view root = text.substr(0, slash);
    std::u16string_view path = slash == std::u16string_view::npos ? std::u16string_view() : text.substr(slash + 1);
    while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    for (const Root& candidate : kRoots) {
        if (EqualNoCase(root, candidate.shortName) || EqualNoCase(root, candidate.longName)) {
            key->root = candidate.key;
            key->rootName = candidate.longName;
            key->path = std::u16string(path);
            return true;
        }
    }
    return false;
}

LSTATUS ExportRegText(const KeyName& key, std::u16string* text, std::string* error) {
    KeyHolder open;
    LSTATUS status = RegOpenKeyExW(key.root, key.path.c_str(), 0, KEY_READ, &open.key);
    if (status != ERROR_SUCCESS) {
        *error = "cannot open " + Narrow(key.full());
        return status;
    }
    if (open.key == key.root) open.key = nullptr;  // a predefined key needs no closing
    std::u16string out = std::u16string(kHeader5) + u"\r\n\r\n";
    status = ExportKey(open.key ? open.key : key.root, key.full(), &out, error);
    if (status == ERROR_SUCCESS) *text = std::move(out);
    return status;
}

bool ParseRegText(std::u16string_view text, std::vector<RegOperation>* operations, std::string* error) {
    Parser parser{text, 0, 0, error};
    operations->clear();
    std::u16string_view line;
    bool version4 = false;
    // The header: the first line that is not empty.
    for (;;) {
        if (!parser.NextLine(&line)) {
            *error = "no header (\"Windows Registry Editor Version 5.00\")";
            return false;
        }
        line = Trim(line);
        if (line.empty()) continue;
        if (line == kHeader5) break;
        if (line == kHeader4) {
            version4 = true;
            break;
        }
        return parser.Fail("not a registry file: the header must be \"Windows Registry Editor Version 5.00\"");
    }
    bool haveKey = false;
    KeyName current;
    while (parser.NextLine(&line)) {
        line = Trim(line);
        if (line.empty() || line.front() == u';') continue;
        if (line.front() == u'[') {
            if (line.back() != u']') return parser.Fail("a key line must end with ']'");
            std::u16string_view name = line.substr(1, line.size() - 2);
            RegOperation op;
            op.kind = RegOperation::CreateKey;
            if (!name.empty() && name.front() == u'-') {
                op.kind = RegOperation::DeleteKey;
                name.remove_prefix(1);
            }
            if (!ParseKeyName(name, &op.key)) return parser.Fail("unknown root key in [" + Narrow(name) + "]");
            if (op.kind == RegOperation::DeleteKey && op.key.path.empty())
                return parser.Fail("a root key cannot be deleted");
            // A deleted key takes the values after it nowhere.
            haveKey = op.kind == RegOperation::CreateKey;
            current = op.key;
            operations->push_back(std::move(op));
            continue;
        }
        if (!haveKey) return parser.Fail("a value comes before any key");
        RegOperation op;
        op.key = current;
        std::u16string_view rest = line;
        if (rest.front() == u'@') {
            rest.remove_prefix(1);
        } else if (!TakeQuoted(&rest, &op.name)) {
            return parser.Fail("a value line must begin with @ or a quoted name");
        }
        rest = Trim(rest);
        if (rest.empty() || rest.front() != u'=') return parser.Fail("a value line needs '='");
        rest.remove_prefix(1);
        if (!ParseValueData(parser, rest, version4, &op)) return false;
        operations->push_back(std::move(op));
    }
    return true;
}

LSTATUS ImportRegText(std::u16string_view text, std::string* error) {
    std::vector<RegOperation> operations;
    if (!ParseRegText(text, &operations, error)) return ERROR_INVALID_DATA;
    KeyHolder open;
    for (const RegOperation& op : operations) {
        LSTATUS status = ERROR_SUCCESS;
        switch (op.kind) {
            case RegOperation::CreateKey:
                if (open.key) RegCloseKey(open.key);
                open.key = nullptr;
                status = RegCreateKeyExW(op.key.root, op.key.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                         KEY_ALL_ACCESS, nullptr, &open.key, nullptr);
                break;
            case RegOperation::DeleteKey:
                status = RegDeleteTreeW(op.key.root, op.key.path.c_str());
                if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;  // already gone
                break;
            case RegOperation::SetValue:
                status =
                    RegSetValueExW(open.key, op.name.c_str(), 0, op.type, reinterpret_cast<const BYTE*>(op.data.data()),
                                   static_cast<DWORD>(op.data.size()));
                break;
            case RegOperation::DeleteValue:
                status = RegDeleteValueW(open.key, op.name.c_str());
                if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
                break;
        }
        if (status != ERROR_SUCCESS) {
            *error = "cannot write " + Narrow(op.key.full());
            if (op.kind == RegOperation::SetValue || op.kind == RegOperation::DeleteValue)
                *error += " value " + (op.name.empty() ? std::string("(Default)") : Narrow(op.name));
            return status;
        }
    }
    return ERROR_SUCCESS;
}

LSTATUS ExportRegFile(const KeyName& key, const std::string& file, std::string* error) {
    std::u16string text;
    LSTATUS status = ExportRegText(key, &text, error);
    if (status != ERROR_SUCCESS) return status;
    std::string bytes = "\xFF\xFE" + ToBytes(text, false);
    // Written beside the target and renamed over it, so a failed export leaves no half file.
    std::string temporary = file + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            *error = "cannot write " + file;
            return ERROR_CANTWRITE;
        }
    }
    if (std::rename(temporary.c_str(), file.c_str()) != 0) {
        std::remove(temporary.c_str());
        *error = "cannot write " + file;
        return ERROR_CANTWRITE;
    }
    return ERROR_SUCCESS;
}

LSTATUS ImportRegFile(const std::string& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = "cannot open " + file;
        return ERROR_FILE_NOT_FOUND;
    }
    constexpr std::streamoff kLimit = 256 << 20;  // no registry file is this large
    in.seekg(0, std::ios::end);
    std::streamoff length = in.tellg();
    in.seekg(0, std::ios::beg);
    if (length < 0 || length > kLimit) {
        *error = file + " is too large for a registry file";
        return ERROR_INVALID_DATA;
    }
    std::string bytes(static_cast<size_t>(length), '\0');
    in.read(bytes.data(), length);
    if (!in) {
        *error = "cannot read " + file;
        return ERROR_CANTREAD;
    }
    std::u16string text;
    if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
        text.resize((bytes.size() - 2) / 2);
        for (size_t i = 0; i < text.size(); ++i)
            text[i] =
                static_cast<char16_t>(static_cast<BYTE>(bytes[2 + 2 * i]) | (static_cast<BYTE>(bytes[3 + 2 * i]) << 8));
    } else {
        std::string_view utf8 = bytes;
        if (utf8.substr(0, 3) == "\xEF\xBB\xBF") utf8.remove_prefix(3);
        text = Utf8ToUtf16(utf8);
    }
    LSTATUS status = ImportRegText(text, error);
    if (status != ERROR_SUCCESS) *error = file + ": " + *error;
    return status;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        BYTE lead = static_cast<BYTE>(text[i]);
        char32_t code = 0xFFFD;
        size_t length = 1;
        size_t extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : 9;
        if (extra == 0) {
            code = lead;
        } else if (extra <= 3) {
            char32_t value = lead & (0x3F >> extra);
            bool ok = true;
            for (size_t k = 1; k <= extra; ++k) {
                if (i + k >= text.size() || (static_cast<BYTE>(text[i + k]) & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                value = value << 6 | (static_cast<BYTE>(text[i + k]) & 0x3F);
            }
            static const char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
            if (ok && value >= kMinimum[extra] && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
                code = value;
                length = extra + 1;
            }
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        platform::names::AppendUtf8(out, code);
    }
    return out;
}

}  // namespace platform::registry
