// The registry's command-line tool: query, add, delete, export, import.
#include <sys/stat.h>

#include <cstdio>
#include <istream>
#include <ostream>
#include <string>

#include "registry/regtool.h"

#include "base/native_name.h"

namespace platform::registry {
namespace {

// A command-line argument as UTF-16: its bytes mapped as file names are (UTF-8 as text, any
// other byte as its escape), so that a path given as data names the same file for the platform.
std::u16string ArgumentText(std::string_view argument) { return platform::names::FromNative(argument); }

constexpr const char* kUsage =
    "platform-reg: the platform registry's command-line tool\n"
    "\n"
    "  platform-reg query  KEY [/v NAME | /ve] [/s]\n"
    "  platform-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  platform-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  platform-reg export KEY FILE [/y]\n"
    "  platform-reg import FILE\n"
    "\n"
    "  KEY    ROOT\\SubKey, ROOT one of HKLM, HKCU, HKCR, HKU (or HKEY_LOCAL_MACHINE, ...)\n"
    "  /v     the value NAME; /ve the default (unnamed) value; /va every value of the key\n"
    "  /s     query: the key and all its subkeys; add: the REG_MULTI_SZ separator (default \\0)\n"
    "  /t     REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY, REG_NONE\n"
    "  /d     the data: text, a number (decimal or 0x hex) or hex digits for REG_BINARY and REG_NONE\n"
    "  /f, /y answer yes to the question (overwrite or delete)\n"
    "\n"
    "The hives are kept in $MSGPLUGIN_REGISTRY_DIR, else $XDG_STATE_HOME/msgplugin/registry,\n"
    "else ~/.local/state/msgplugin/registry.\n";

constexpr const char* kSuccess = "The operation completed successfully.\n";

struct TypeName {
    DWORD type;
    const char* name;
};
const TypeName kTypes[] = {
    {REG_NONE, "REG_NONE"},
    {REG_SZ, "REG_SZ"},
    {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {REG_BINARY, "REG_BINARY"},
    {REG_DWORD, "REG_DWORD"},
    {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {REG_LINK, "REG_LINK"},
    {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {REG_FULL_RESOURCE_DESCRIPTOR, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {REG_RESOURCE_REQUIREMENTS_LIST, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {REG_QWORD, "REG_QWORD"},
};

std::string TypeToName(DWORD type) {
    for (const TypeName& entry : kTypes)
        if (entry.type == type) return entry.name;
    char text[32];
    std::snprintf(text, sizeof(text), "0x%x", type);
    return text;
}

bool NameToType(std::string name, DWORD* type) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const TypeName& entry : kTypes) {
        if (name == entry.name) {
            *type = entry.type;
            return true;
        }
    }
    return false;
}

bool SameNoCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && !b[i];
}

// Text of a win32 error, as the tool prints it.
std::string ErrorText(LSTATUS status) {
    switch (status) {
        case ERROR_FILE_NOT_FOUND:
            return "The system was unable to find the specified registry key or value.";
        case ERROR_ACCESS_DENIED:
            return "Access is denied.";
        case ERROR_KEY_DELETED:
            return "The key has been deleted.";
        case ERROR_BADDB:
            return "The registry database is damaged.";
        case ERROR_CANTOPEN:
            return "The registry database cannot be opened.";
        case ERROR_BUSY:
            return "The registry is busy.";
        case ERROR_BAD_PATHNAME:
            return "The key name is not valid.";
        case ERROR_INVALID_PARAMETER:
            return "The parameter is incorrect.";
        case ERROR_DISK_FULL:
            return "There is not enough space on the disk.";
        default:
            return "The operation failed (error " + std::to_string(status) + ").";
    }
}

struct KeyHolder {
    HKEY key = nullptr;
    KeyHolder() = default;
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    ~KeyHolder() { Close(); }
    void Close() {
        if (key) RegCloseKey(key);
        key = nullptr;
    }
};

// The options after the command's positional arguments.
struct Options {
    std::vector<std::string> positional;
    bool hasValue = false;
    std::string value;
    bool defaultValue = false;
    bool allValues = false;
    bool recurse = false;  // query /s
    bool hasSeparator = false;
    std::string separator = "\\0";
    bool hasType = false;
    std::string type;
    bool hasData = false;
    std::string data;
    bool force = false;
};

bool ParseOptions(const std::string& command, const std::vector<std::string>& args, Options* options,
                  std::string* problem) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto takeNext = [&](std::string* into) {
            if (i + 1 >= args.size()) {
                *problem = "missing argument after " + arg;
                return false;
            }
            *into = args[++i];
            return true;
        };
        // Anything that is not one of the options is an argument (file paths begin with '/').
        static const char* const kOptions[] = {"v", "ve", "va", "s", "t", "d", "f", "y"};
        bool option = arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-');
        if (option) {
            option = false;
            for (const char* known : kOptions) option = option || SameNoCase(arg.substr(1), known);
        }
        if (!option) {
            options->positional.push_back(arg);
        } else if (SameNoCase(arg.substr(1), "v")) {
            options->hasValue = true;
            if (!takeNext(&options->value)) return false;
        } else if (SameNoCase(arg.substr(1), "ve")) {
            options->defaultValue = true;
        } else if (SameNoCase(arg.substr(1), "va") && command == "delete") {
            options->allValues = true;
        } else if (SameNoCase(arg.substr(1), "s") && command == "query") {
            options->recurse = true;
        } else if (SameNoCase(arg.substr(1), "s") && command == "add") {
            options->hasSeparator = true;
            if (!takeNext(&options->separator)) return false;
        } else if (SameNoCase(arg.substr(1), "t") && command == "add") {
            options->hasType = true;
            if (!takeNext(&options->type)) return false;
        } else if (SameNoCase(arg.substr(1), "d") && command == "add") {
            options->hasData = true;
            if (!takeNext(&options->data)) return false;
        } else if (SameNoCase(arg.substr(1), "f") && (command == "add" || command == "delete")) {
            options->force = true;
        } else if (SameNoCase(arg.substr(1), "y") && command == "export") {
            options->force = true;
        } else {
            *problem = "unknown option " + arg;
            return false;
        }
    }
    int chosen = (options->hasValue ? 1 : 0) + (options->defaultValue ? 1 : 0) + (options->allValues ? 1 : 0);
    if (chosen > 1) {
        *problem = "/v, /ve and /va exclude each other";
        return false;
    }
    return true;
}

bool Ask(std::istream& in, std::ostream& out, const std::string& question) {
    out << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(in, answer)) {
        out << "\n";
        return false;
    }
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

// ---- query ---------------------------------------------------------------------------------

std::string ShowData(DWORD type, const std::string& data) {
    auto text = [&](size_t from, size_t to) {
        std::u16string wide((to - from) / 2, u'\0');
        std::memcpy(wide.data(), data.data() + from, wide.size() * 2);
        return wide;
    };
    if ((type == REG_SZ || type == REG_EXPAND_SZ || type == REG_LINK) && data.size() % 2 == 0) {
        std::u16string wide = text(0, data.size());
        size_t end = wide.find(u'\0');
        return Utf16ToUtf8(std::u16string_view(wide).substr(0, end));
    }
    if (type == REG_MULTI_SZ && data.size() % 2 == 0) {
        std::u16string wide = text(0, data.size());
        while (!wide.empty() && wide.back() == u'\0') wide.pop_back();
        std::string shown;
        for (char16_t c : wide) shown += c == u'\0' ? std::string("\\0") : Utf16ToUtf8(std::u16string(1, c));
        return shown;
    }
    if ((type == REG_DWORD && data.size() == 4) || (type == REG_QWORD && data.size() == 8)) {
        ULONGLONG value = 0;
        std::memcpy(&value, data.data(), data.size());
        char number[24];
        std::snprintf(number, sizeof(number), "0x%llx", static_cast<unsigned long long>(value));
        return number;
    }
    std::string hex;
    char byte[3];
    for (char c : data) {
        std::snprintf(byte, sizeof(byte), "%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
        hex += byte;
    }
    return hex;
}

void ShowValue(std::ostream& out, std::u16string_view name, DWORD type, const std::string& data) {
    out << "    " << (name.empty() ? std::string("(Default)") : Utf16ToUtf8(name)) << "    " << TypeToName(type)
        << "    " << ShowData(type, data) << "\n";
}

LSTATUS ReadValue(HKEY key, const std::u16string& name, DWORD* type, std::string* data) {
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, type, nullptr, &size);
    while (status == ERROR_SUCCESS) {
        data->assign(size, '\0');
        DWORD room = size;
        status = RegQueryValueExW(key, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(data->data()), &room);
        if (status == ERROR_MORE_DATA) {  // grew in between
            size = room;
            status = ERROR_SUCCESS;
            continue;
        }
        if (status == ERROR_SUCCESS) data->resize(room);
        break;
    }
    return status;
}

// Prints the key's values (all, or only the one asked for) and, without /s, its subkeys; with
// /s walks the subkeys too. Counts the matches for /s.
LSTATUS QueryKey(HKEY key, const std::u16string& fullName, const Options& options, std::ostream& out, size_t* matches) {
    bool oneValue = options.hasValue || options.defaultValue;
    std::u16string wanted = options.hasValue ? ArgumentText(options.value) : std::u16string();
    bool header = false;
    auto printHeader = [&] {
        if (!header) out << "\n" << Utf16ToUtf8(fullName) << "\n";
        header = true;
    };
    if (oneValue) {
        DWORD type = 0;
        std::string data;
        LSTATUS status = ReadValue(key, wanted, &type, &data);
        if (status == ERROR_SUCCESS) {
            printHeader();
            ShowValue(out, wanted, type, data);
            ++*matches;
        } else if (!options.recurse) {
            return status;
        }
    } else {
        printHeader();
        std::vector<WCHAR> name(16384 + 1);
        for (DWORD index = 0;; ++index) {
            DWORD chars = static_cast<DWORD>(name.size());
            LSTATUS status = RegEnumValueW(key, index, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS) break;
            if (status != ERROR_SUCCESS) return status;
            std::u16string valueName(name.data(), chars);
            DWORD type = 0;
            std::string data;
            status = ReadValue(key, valueName, &type, &data);
            if (status != ERROR_SUCCESS) return status;
            ShowValue(out, valueName, type, data);
            ++*matches;
        }
    }
    std::vector<std::u16string> subkeys;
    for (DWORD index = 0;; ++index) {
        WCHAR subkey[256];
        DWORD chars = 256;
        LSTATUS status = RegEnumKeyExW(key, index, subkey, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return status;
        subkeys.emplace_back(subkey, chars);
    }
    if (!options.recurse) {
        if (!oneValue) {
            if (!subkeys.empty()) out << "\n";
            for (const std::u16string& subkey : subkeys) out << Utf16ToUtf8(fullName + u"\\" + subkey) << "\n";
        }
        return ERROR_SUCCESS;
    }
    for (const std::u16string& subkey : subkeys) {
        KeyHolder child;
        LSTATUS status = RegOpenKeyExW(key, subkey.c_str(), 0, KEY_READ, &child.key);
        if (status == ERROR_SUCCESS) status = QueryKey(child.key, fullName + u"\\" + subkey, options, out, matches);
        if (status != ERROR_SUCCESS) return status;
    }
    return ERROR_SUCCESS;
}

int Query(const KeyName& name, const Options& options, std::ostream& out, std::ostream& err) {
    KeyHolder key;
    LSTATUS status = RegOpenKeyExW(name.root, name.path.c_str(), 0, KEY_READ, &key.key);
    if (key.key == name.root) key.key = nullptr;
    size_t matches = 0;
    if (status == ERROR_SUCCESS) status = QueryKey(key.key ? key.key : name.root, name.full(), options, out, &matches);
    if (status != ERROR_SUCCESS) {
        err << "ERROR: " << ErrorText(status) << "\n";
        return 1;
    }
    if (options.recurse) {
        if ((options.hasValue || options.defaultValue) && matches == 0) {
            err << "ERROR: " << ErrorText(ERROR_FILE_NOT_FOUND) << "\n";
            return 1;
        }
        out << "\nEnd of search: " << matches << " match(es) found.\n";
    }
    return 0;
}

// ---- add -----------------------------------------------------------------------------------

bool ParseNumber(const std::string& text, ULONGLONG limit, ULONGLONG* value) {
    if (text.empty()) return false;
    size_t pos = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        pos = 2;
    }
    ULONGLONG result = 0;
    for (; pos < text.size(); ++pos) {
        int digit = std::isdigit(static_cast<unsigned char>(text[pos])) ? text[pos] - '0'
                    : base == 16 && std::isxdigit(static_cast<unsigned char>(text[pos]))
                        ? std::tolower(static_cast<unsigned char>(text[pos])) - 'a' + 10
                        : -1;
        if (digit < 0) return false;
        if (result > (limit - static_cast<ULONGLONG>(digit)) / static_cast<ULONGLONG>(base)) return false;
        result = result * static_cast<ULONGLONG>(base) + static_cast<ULONGLONG>(digit);
    }
    *value = result;
    return true;
}

std::string WideBytes(const std::u16string& text) {
    std::string bytes(text.size() * 2, '\0');
    if (!text.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

bool BuildData(DWORD type, const Options& options, std::string* data, std::string* problem) {
    const std::string& text = options.data;
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
            *data = WideBytes(ArgumentText(text) + u'\0');
            return true;
        case REG_MULTI_SZ: {
            if (options.separator.empty()) {
                *problem = "the separator must not be empty";
                return false;
            }
            std::u16string joined;
            size_t start = 0;
            while (!text.empty()) {
                size_t end = text.find(options.separator, start);
                std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
                if (part.empty()) {
                    *problem = "REG_MULTI_SZ data cannot hold an empty string";
                    return false;
                }
                joined += ArgumentText(part) + u'\0';
                if (end == std::string::npos) break;
                start = end + options.separator.size();
            }
            joined += u'\0';
            *data = WideBytes(joined);
            return true;
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN:
        case REG_QWORD: {
            ULONGLONG value = 0;
            ULONGLONG limit = type == REG_QWORD ? ~0ULL : 0xFFFFFFFFULL;
            if (options.hasData && !ParseNumber(text, limit, &value)) {
                *problem = "the data is not a number of this type: " + text;
                return false;
            }
            if (type == REG_QWORD) {
                data->assign(reinterpret_cast<const char*>(&value), 8);
            } else {
                DWORD dword = static_cast<DWORD>(value);
                if (type == REG_DWORD_BIG_ENDIAN) dword = __builtin_bswap32(dword);
                data->assign(reinterpret_cast<const char*>(&dword), 4);
            }
            return true;
        }
        default: {
            if (text.size() % 2) {
                *problem = "hex data needs an even number of digits";
                return false;
            }
            data->clear();
            for (size_t i = 0; i < text.size(); i += 2) {
                if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
                    !std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
                    *problem = "hex data holds a character that is not a hex digit";
                    return false;
                }
                data->push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
            }
            return true;
        }
    }
}

int Add(const KeyName& name, const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
    DWORD type = REG_SZ;
    if (options.hasType && !NameToType(options.type, &type)) {
        err << "ERROR: unknown type " << options.type << "\n";
        return 1;
    }
    if (options.allValues || (!options.hasValue && !options.defaultValue && (options.hasType || options.hasData))) {
        err << "ERROR: Invalid syntax: /t and /d need /v or /ve.\n";
        return 1;
    }
    std::string data, problem;
    bool setValue = options.hasValue || options.defaultValue;
    if (setValue && !BuildData(type, options, &data, &problem)) {
        err << "ERROR: " << problem << "\n";
        return 1;
    }
    KeyHolder key;
    LSTATUS status = RegCreateKeyExW(name.root, name.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                     nullptr, &key.key, nullptr);
    if (status == ERROR_SUCCESS && setValue) {
        std::u16string valueName = options.hasValue ? ArgumentText(options.value) : std::u16string();
        if (!options.force &&
            RegQueryValueExW(key.key, valueName.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            !Ask(in, out,
                 "Value " + (valueName.empty() ? std::string("(Default)") : options.value) + " exists, overwrite")) {
            out << "The operation was cancelled.\n";
            return 1;
        }
        status = RegSetValueExW(key.key, valueName.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                static_cast<DWORD>(data.size()));
    }
    if (status != ERROR_SUCCESS) {
        err << "ERROR: " << ErrorText(status) << "\n";
        return 1;
    }
    out << kSuccess;
    return 0;
}

// ---- delete --------------------------------------------------------------------------------

int Delete(const KeyName& name, const Options& options, std::istream& in, std::ostream& out, std::ostream& err) {
    bool values = options.hasValue || options.defaultValue || options.allValues;
    if (!values && name.path.empty()) {
        err << "ERROR: a root key cannot be deleted.\n";
        return 1;
    }
    KeyHolder key;
    LSTATUS status = RegOpenKeyExW(name.root, name.path.c_str(), 0, KEY_ALL_ACCESS, &key.key);
    if (key.key == name.root) key.key = nullptr;
    HKEY target = key.key ? key.key : name.root;
    std::u16string valueName = options.hasValue ? ArgumentText(options.value) : std::u16string();
    if (status == ERROR_SUCCESS && (options.hasValue || options.defaultValue))
        status = RegQueryValueExW(target, valueName.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        err << "ERROR: " << ErrorText(status) << "\n";
        return 1;
    }
    std::string question =
        options.allValues ? "Delete all values under the registry key " + Utf16ToUtf8(name.full())
        : values ? "Delete the registry value " + (valueName.empty() ? std::string("(Default)") : options.value)
                 : "Permanently delete the registry key " + Utf16ToUtf8(name.full());
    if (!options.force && !Ask(in, out, question)) {
        out << "The operation was cancelled.\n";
        return 1;
    }
    if (options.allValues) {
        std::vector<WCHAR> buffer(16384 + 1);
        for (;;) {
            DWORD chars = static_cast<DWORD>(buffer.size());
            status = RegEnumValueW(target, 0, buffer.data(), &chars, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_NO_MORE_ITEMS) {
                status = ERROR_SUCCESS;
                break;
            }
            if (status == ERROR_SUCCESS) status = RegDeleteValueW(target, std::u16string(buffer.data(), chars).c_str());
            if (status != ERROR_SUCCESS) break;
        }
    } else if (values) {
        status = RegDeleteValueW(target, valueName.c_str());
    } else {
        key.Close();
        status = RegDeleteTreeW(name.root, name.path.c_str());
    }
    if (status != ERROR_SUCCESS) {
        err << "ERROR: " << ErrorText(status) << "\n";
        return 1;
    }
    out << kSuccess;
    return 0;
}

}  // namespace

namespace {

int RunCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    if (args.empty() || args[0] == "/?" || args[0] == "-?" || args[0] == "--help" || args[0] == "-h") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? 1 : 0;
    }
    std::string command = args[0];
    for (char& c : command) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Options options;
    std::string problem;
    bool known =
        command == "query" || command == "add" || command == "delete" || command == "export" || command == "import";
    if (!known) problem = "unknown command " + args[0];
    if (known && !ParseOptions(command, args, &options, &problem)) known = false;
    size_t wanted = command == "export" ? 2 : 1;
    if (known && options.positional.size() != wanted) {
        problem = command + " takes " + (wanted == 2 ? "a key and a file" : command == "import" ? "a file" : "a key");
        known = false;
    }
    if (!known) {
        err << "ERROR: Invalid syntax: " << problem << ".\nType \"platform-reg /?\" for usage.\n";
        return 1;
    }
    if (command == "import") {
        std::string error;
        LSTATUS status = ImportRegFile(options.positional[0], &error);
        if (status != ERROR_SUCCESS) {
            err << "ERROR: " << error << ": " << ErrorText(status) << "\n";
            return 1;
        }
        out << kSuccess;
        return 0;
    }
    KeyName name;
    if (!ParseKeyName(ArgumentText(options.positional[0]), &name)) {
        err << "ERROR: Invalid key name: " << options.positional[0] << "\n";
        return 1;
    }
    if (command == "query") return Query(name, options, out, err);
    if (command == "add") return Add(name, options, in, out, err);
    if (command == "delete") return Delete(name, options, in, out, err);
    // export
    const std::string& file = options.positional[1];
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && !options.force &&
        !Ask(in, out, "File " + file + " already exists. Overwrite")) {
        out << "The operation was cancelled.\n";
        return 1;
    }
    std::string error;
    LSTATUS status = ExportRegFile(name, file, &error);
    if (status != ERROR_SUCCESS) {
        err << "ERROR: " << error << ": " << ErrorText(status) << "\n";
        return 1;
    }
    out << kSuccess;
    return 0;
}

}  // namespace

int RunRegTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err) {
    try {
        return RunCommand(args, in, out, err);
    } catch (const std::exception& failure) {
        err << "ERROR: " << failure.what() << "\n";
        return 1;
    }
}

}  // namespace platform::registry
