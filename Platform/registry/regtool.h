// The registry's command-line tool ("platform-reg") as library functions: the program is a thin
// main over RunRegTool, and tests call the same functions in-process.
//
//   platform-reg query  KEY [/v NAME | /ve] [/s]
//   platform-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   platform-reg delete KEY [/v NAME | /ve | /va] [/f]
//   platform-reg export KEY FILE [/y]
//   platform-reg import FILE
//
// KEY is ROOT\path with ROOT one of HKLM, HKCU, HKCR, HKU or their long names. Export and import
// use the .reg text format ("Windows Registry Editor Version 5.00", UTF-16LE).
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "registry/winreg.h"

namespace platform::registry {

// Runs one command (args without the program name); returns the exit code, 0 on success and 1
// on failure. Questions (overwrite? delete?) are read from `in` unless /f or /y answers them.
PLATFORM_API int RunRegTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                            std::ostream& err);

// A key named as the tool names it: "HKLM\SOFTWARE\X" or "HKEY_LOCAL_MACHINE\SOFTWARE\X".
struct KeyName {
    HKEY root = nullptr;
    std::u16string rootName;  // the long name, "HKEY_LOCAL_MACHINE"
    std::u16string path;      // below the root, without leading or trailing '\'
    std::u16string full() const { return path.empty() ? rootName : rootName + u"\\" + path; }
};
PLATFORM_API bool ParseKeyName(std::u16string_view text, KeyName* key);

// The key and everything under it as .reg text (without the byte-order mark). Fails with the
// registry's code; *error then says what failed.
PLATFORM_API LSTATUS ExportRegText(const KeyName& key, std::u16string* text, std::string* error);

// One change a .reg file asks for.
struct RegOperation {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind = CreateKey;
    KeyName key;
    std::u16string name;  // value name; empty for the default value
    DWORD type = REG_NONE;
    std::string data;
};

// Parses .reg text (without byte-order mark) into operations. Nothing is applied; on malformed
// text returns false with *error naming the line.
PLATFORM_API bool ParseRegText(std::u16string_view text, std::vector<RegOperation>* operations, std::string* error);

// Parses, then applies every operation; stops at the first failure.
PLATFORM_API LSTATUS ImportRegText(std::u16string_view text, std::string* error);

// Files: export writes UTF-16LE with its byte-order mark; import reads UTF-16LE with a mark, or
// UTF-8 (with or without one).
PLATFORM_API LSTATUS ExportRegFile(const KeyName& key, const std::string& file, std::string* error);
PLATFORM_API LSTATUS ImportRegFile(const std::string& file, std::string* error);

// UTF-8 and UTF-16 (invalid sequences become U+FFFD).
PLATFORM_API std::u16string Utf8ToUtf16(std::string_view text);
PLATFORM_API std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace platform::registry
