#include "registry/regtool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>

#include "base/native_name.h"
#include "platform_testing.h"
#include "registry/registry_test_util.h"

namespace {

using platform::registry::ExportRegText;
using platform::registry::ImportRegText;
using platform::registry::KeyName;
using platform::registry::ParseKeyName;
using platform::registry::RunRegTool;
using platform::registry::Utf16ToUtf8;
using platform::registry::Utf8ToUtf16;
using std::u16string;

std::string Bytes(const u16string& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// One line per key and value of a tree: "path|name|type|hex bytes", in enumeration order.
void Dump(HKEY key, const std::string& path, std::vector<std::string>* lines) {
    lines->push_back(path);
    for (DWORD index = 0;; ++index) {
        WCHAR name[512];
        DWORD chars = 512, type = 0, size = 0;
        LSTATUS status = RegEnumValueW(key, index, name, &chars, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        std::string data(size, '\0');
        chars = 512;
        ASSERT_EQ(RegEnumValueW(key, index, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size),
                  ERROR_SUCCESS);
        std::string hex;
        char byte[4];
        for (char c : data) {
            std::snprintf(byte, sizeof(byte), "%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            hex += byte;
        }
        lines->push_back(path + "|" + Utf16ToUtf8(u16string(name, chars)) + "|" + std::to_string(type) + "|" + hex);
    }
    for (const u16string& name : registrytest::Subkeys(key)) {
        HKEY child = nullptr;
        ASSERT_EQ(RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &child), ERROR_SUCCESS);
        Dump(child, path + "\\" + Utf16ToUtf8(name), lines);
        RegCloseKey(child);
    }
}

std::vector<std::string> DumpTree(HKEY root, const char16_t* path) {
    std::vector<std::string> lines;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return lines;
    Dump(key, Utf16ToUtf8(path), &lines);
    RegCloseKey(key);
    return lines;
}

void Set(HKEY key, const char16_t* name, DWORD type, const std::string& data) {
    ASSERT_EQ(
        RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size())),
        ERROR_SUCCESS);
}

struct ToolRun {
    int code;
    std::string out;
    std::string err;
};

ToolRun Tool(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    int code = RunRegTool(args, in, out, err);
    return {code, out.str(), err.str()};
}

class RegTool : public ::testing::Test {
protected:
    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        HKEY child = nullptr;
        ASSERT_EQ(RegCreateKeyExW(key, u"Child \"quoted\"\\Grand Ärger", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child,
                                  nullptr),
                  ERROR_SUCCESS);
        DWORD dword = 0x1F;
        ULONGLONG qword = 0x0123456789ABCDEFULL;
        std::string longBinary;
        for (int i = 0; i < 300; ++i) longBinary.push_back(static_cast<char>(i * 7));
        Set(key, nullptr, REG_SZ, Bytes(u"default text" + u16string(1, u'\0')));
        Set(key, u"Plain", REG_SZ, Bytes(u"C:\\Path \"quoted\" = ünïcode" + u16string(1, u'\0')));
        Set(key, u"Empty string", REG_SZ, Bytes(u16string(1, u'\0')));
        Set(key, u"No terminator", REG_SZ, Bytes(u"abc"));
        Set(key, u"Line\\break \"name\"", REG_SZ, Bytes(u"two\r\nlines" + u16string(1, u'\0')));
        Set(key, u"Zero length", REG_SZ, "");
        Set(key, u"Odd length", REG_SZ, std::string("abc", 3));
        Set(key, u"Expand", REG_EXPAND_SZ, Bytes(u"%HOME%\\x" + u16string(1, u'\0')));
        Set(key, u"Multi", REG_MULTI_SZ, Bytes(u16string(u"one\0two\0\0", 9)));
        Set(key, u"Dword", REG_DWORD, std::string(reinterpret_cast<const char*>(&dword), 4));
        Set(key, u"Short dword", REG_DWORD, std::string("\1\2", 2));
        Set(key, u"Qword", REG_QWORD, std::string(reinterpret_cast<const char*>(&qword), 8));
        Set(key, u"Binary", REG_BINARY, longBinary);
        Set(key, u"Empty binary", REG_BINARY, "");
        Set(key, u"None", REG_NONE, std::string("\0\1", 2));
        Set(key, u"Big endian", REG_DWORD_BIG_ENDIAN, std::string("\0\0\0\1", 4));
        Set(key, u"Custom", 0x12345, "xyz");
        Set(key, u"@", REG_SZ, Bytes(u"not the default" + u16string(1, u'\0')));
        Set(child, u"deep", REG_SZ, Bytes(u"value" + u16string(1, u'\0')));
        RegCloseKey(child);
        RegCloseKey(key);
    }

    std::string File(const char* name) const { return registry_.folder() + "/" + name; }

    platform::testing::ScopedTempRegistry registry_;
};

TEST_F(RegTool, ExportReadsBackThroughImportForEveryType) {
    std::vector<std::string> before = DumpTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported");
    ASSERT_EQ(before.size(), 22u);  // 3 keys, 19 values
    KeyName key;
    ASSERT_TRUE(ParseKeyName(u"HKLM\\SOFTWARE\\Exported", &key));
    u16string text;
    std::string error;
    ASSERT_EQ(ExportRegText(key, &text, &error), ERROR_SUCCESS) << error;
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported"), ERROR_SUCCESS);
    ASSERT_TRUE(DumpTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported").empty());
    ASSERT_EQ(ImportRegText(text, &error), ERROR_SUCCESS) << error;
    EXPECT_EQ(DumpTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported"), before);
    // Exporting again gives the same text.
    u16string again;
    ASSERT_EQ(ExportRegText(key, &again, &error), ERROR_SUCCESS);
    EXPECT_EQ(again, text);
}

TEST_F(RegTool, ExportWritesTheRegFormat) {
    KeyName key;
    ASSERT_TRUE(ParseKeyName(u"hkey_local_machine\\SOFTWARE\\Exported\\", &key));
    EXPECT_EQ(key.full(), u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Exported");
    u16string text;
    std::string error;
    ASSERT_EQ(ExportRegText(key, &text, &error), ERROR_SUCCESS);
    std::string utf8 = Utf16ToUtf8(text);
    auto has = [&](const std::string& line) {
        EXPECT_NE(utf8.find("\r\n" + line + "\r\n"), std::string::npos) << line << "\nin:\n" << utf8;
    };
    EXPECT_EQ(utf8.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exported]\r\n", 0),
              0u);
    has("@=\"default text\"");
    has("\"Plain\"=\"C:\\\\Path \\\"quoted\\\" = ünïcode\"");
    has("\"Empty string\"=\"\"");
    has("\"No terminator\"=hex(1):61,00,62,00,63,00");
    EXPECT_NE(utf8.find("\r\n\"Line\\\\break \\\"name\\\"\"=hex(1):74,00,77,00,6f,00,0d,00,0a,00,"), std::string::npos);
    has("\"Expand\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,5c,00,78,00,00,00");
    has("\"Multi\"=hex(7):6f,00,6e,00,65,00,00,00,74,00,77,00,6f,00,00,00,00,00");
    has("\"Dword\"=dword:0000001f");
    has("\"Short dword\"=hex(4):01,02");
    has("\"Qword\"=hex(b):ef,cd,ab,89,67,45,23,01");
    has("\"Empty binary\"=hex:");
    has("\"None\"=hex(0):00,01");
    has("\"Custom\"=hex(12345):78,79,7a");
    has("\"@\"=\"not the default\"");
    has("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exported\\Child \"quoted\"\\Grand Ärger]");
    // Long hex data wraps with a trailing backslash, no line wider than 80 characters.
    size_t start = 0;
    int continued = 0;
    while (start < utf8.size()) {
        size_t end = utf8.find("\r\n", start);
        std::u16string line = Utf8ToUtf16(utf8.substr(start, end - start));
        EXPECT_LE(line.size(), 80u) << Utf16ToUtf8(line);
        if (!line.empty() && line.back() == u'\\') ++continued;
        start = end + 2;
    }
    EXPECT_GE(continued, 10);
}

TEST_F(RegTool, ImportDeletesKeysAndValuesAndReadsOlderFiles) {
    std::string error;
    u16string text =
        u"\r\n"
        u"Windows Registry Editor Version 5.00\r\n"
        u"; a comment\r\n"
        u"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Exported\\Child \"quoted\"]\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exported]\r\n"
        u"\"Plain\"=-\r\n"
        u"\"Never there\"=-\r\n"
        u"  \"Spaced\" = dword:10  \r\n"
        u"\"Wrapped\"=hex:01,02,\\\r\n"
        u"    03,04\r\n"
        u"[-HKCU\\Software\\Not There]\n"
        u"[HKCU\\Software\\New]\n"
        u"@=\"unix line ends\"\n";
    ASSERT_EQ(ImportRegText(text, &error), ERROR_SUCCESS) << error;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported\\Child \"quoted\"", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, u"Plain", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    DWORD type = 0, value = 0, size = 4;
    EXPECT_EQ(RegQueryValueExW(key, u"Spaced", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 16u);
    BYTE wrapped[8];
    size = 8;
    EXPECT_EQ(RegQueryValueExW(key, u"Wrapped", nullptr, &type, wrapped, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(wrapped), size), std::string("\1\2\3\4"));
    RegCloseKey(key);

    // The older format keeps expandable and multiple strings as 8-bit text.
    u16string old = u"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Old]\r\n\"Path\"=hex(2):25,41,25,00\r\n";
    ASSERT_EQ(ImportRegText(old, &error), ERROR_SUCCESS) << error;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Old", 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR path[8];
    size = sizeof(path);
    EXPECT_EQ(RegQueryValueExW(key, u"Path", nullptr, &type, reinterpret_cast<BYTE*>(path), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(u16string(path, size / 2), u16string(u"%A%\0", 4));
    RegCloseKey(key);
}

TEST_F(RegTool, MalformedFilesAreRejectedWholeWithTheLine) {
    struct Case {
        const char16_t* text;
        const char* message;
    } cases[] = {
        {u"", "no header"},
        {u"Windows Registry Editor Version 4.00\r\n", "line 1: not a registry file"},
        {u"Windows Registry Editor Version 5.00\r\n\"v\"=\"x\"\r\n", "line 2: a value comes before any key"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n[HKEY_NOWHERE\\x]\r\n",
         "line 3: unknown root"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok\r\n", "line 2: a key line must end"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n\"v\"=\"open\r\n",
         "line 3: a string value is not closed"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n\"v\"=dword:123456789\r\n",
         "line 3: a dword"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n\"v\"=dword:xyz\r\n", "line 3: a dword"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n\"v\"=hex:1,02\r\n", "line 3: hex data"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n\"v\"=hex:01,\r\n", "line 3: hex data ends"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n\"v\"=hex:01,\\\r\n",
         "line 3: hex data continues"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n\"v\"=hex(zz):01\r\n",
         "line 3: bad hex(type)"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n\"v\"=string\r\n",
         "line 3: unknown value data"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\nv=\"x\"\r\n",
         "line 3: a value line must begin"},
        {u"Windows Registry Editor Version 5.00\r\n[HKLM\\SOFTWARE\\Ok]\r\n\"v\" \"x\"\r\n",
         "line 3: a value line needs '='"},
        {u"Windows Registry Editor Version 5.00\r\n[-HKLM]\r\n", "line 2: a root key cannot be deleted"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(ImportRegText(c.text, &error), ERROR_INVALID_DATA) << c.message;
        EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error;
    }
    // Nothing of a rejected file is applied, even what came before the fault.
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Ok", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegTool, ImportStopsAtTheFirstFailedWriteAndSaysWhere) {
    platform::testing::FailNthCall("RegSetValueExW", 2, ERROR_ACCESS_DENIED);
    std::string error;
    u16string text =
        u"Windows Registry Editor Version 5.00\r\n[HKCU\\Software\\Partial]\r\n\"a\"=dword:1\r\n\"b\"=dword:2\r\n"
        u"\"c\"=dword:3\r\n";
    EXPECT_EQ(ImportRegText(text, &error), ERROR_ACCESS_DENIED);
    EXPECT_EQ(error, "cannot write HKEY_CURRENT_USER\\Software\\Partial value b");
    std::vector<std::string> tree = DumpTree(HKEY_CURRENT_USER, u"Software\\Partial");
    EXPECT_EQ(tree, (std::vector<std::string>{"Software\\Partial", "Software\\Partial|a|4|01000000"}));
}

TEST_F(RegTool, FilesRoundTripInUtf16AndUtf8) {
    std::vector<std::string> before = DumpTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported");
    ToolRun run = Tool({"export", "HKLM\\SOFTWARE\\Exported", File("out.reg")});
    ASSERT_EQ(run.code, 0) << run.err;
    std::ifstream in(File("out.reg"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFEW\0", 4)) << "UTF-16LE with its mark";
    // An existing file is replaced only when confirmed.
    EXPECT_EQ(Tool({"export", "HKLM\\SOFTWARE\\Exported", File("out.reg")}, "no\n").code, 1);
    EXPECT_EQ(Tool({"export", "HKLM\\SOFTWARE\\Exported", File("out.reg")}, "yes\n").code, 0);
    EXPECT_EQ(Tool({"export", "HKLM\\SOFTWARE\\Exported", File("out.reg"), "/y"}).code, 0);

    ASSERT_EQ(Tool({"delete", "HKLM\\SOFTWARE\\Exported", "/f"}).code, 0);
    run = Tool({"import", File("out.reg")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(DumpTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported"), before);

    // The same text as UTF-8 with its mark, as an editor may save it.
    u16string text((bytes.size() - 2) / 2, u'\0');
    std::memcpy(text.data(), bytes.data() + 2, text.size() * 2);
    {
        std::ofstream out(File("utf8.reg"), std::ios::binary);
        out << "\xEF\xBB\xBF" << Utf16ToUtf8(text);
    }
    ASSERT_EQ(Tool({"delete", "HKLM\\SOFTWARE\\Exported", "/f"}).code, 0);
    run = Tool({"import", File("utf8.reg")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(DumpTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported"), before);

    run = Tool({"import", File("missing.reg")});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.err.find("cannot open"), std::string::npos);
}

TEST_F(RegTool, AddQueryAndDeleteFromTheCommandLine) {
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\Cli", "/v", "Name", "/d", "Wert ü"}).code, 0);
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\Cli", "/v", "Count", "/t", "reg_dword", "/d", "0x10"}).code, 0);
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\Cli", "/v", "Big", "/t", "REG_QWORD", "/d", "18446744073709551615"}).code,
              0);
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\Cli", "/v", "List", "/t", "REG_MULTI_SZ", "/d", "a|b", "/s", "|"}).code, 0);
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\Cli", "/v", "Bytes", "/t", "REG_BINARY", "/d", "00ff"}).code, 0);
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\Cli", "/ve", "/d", "default"}).code, 0);
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\Cli\\Sub"}).code, 0);

    ToolRun run = Tool({"query", "HKEY_CURRENT_USER\\Software\\Cli"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out,
              "\nHKEY_CURRENT_USER\\Software\\Cli\n"
              "    Name    REG_SZ    Wert ü\n"
              "    Count    REG_DWORD    0x10\n"
              "    Big    REG_QWORD    0xffffffffffffffff\n"
              "    List    REG_MULTI_SZ    a\\0b\n"
              "    Bytes    REG_BINARY    00FF\n"
              "    (Default)    REG_SZ    default\n"
              "\nHKEY_CURRENT_USER\\Software\\Cli\\Sub\n");
    run = Tool({"query", "HKCU\\Software\\Cli", "/v", "count"});
    EXPECT_EQ(run.out, "\nHKEY_CURRENT_USER\\Software\\Cli\n    count    REG_DWORD    0x10\n");
    run = Tool({"query", "HKCU\\Software", "/ve", "/s"});
    EXPECT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("(Default)    REG_SZ    default"), std::string::npos);
    EXPECT_NE(run.out.find("End of search: 1 match(es) found."), std::string::npos);

    // Overwriting asks first; /f does not.
    run = Tool({"add", "HKCU\\Software\\Cli", "/v", "Name", "/d", "other"}, "n\n");
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.out.find("Value Name exists, overwrite"), std::string::npos);
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\Cli", "/v", "Name", "/d", "other"}, "y\n").code, 0);
    EXPECT_EQ(Tool({"add", "HKCU\\Software\\Cli", "/v", "Name", "/d", "third", "/f"}).code, 0);
    EXPECT_NE(Tool({"query", "HKCU\\Software\\Cli", "/v", "Name"}).out.find("REG_SZ    third"), std::string::npos);

    EXPECT_EQ(Tool({"delete", "HKCU\\Software\\Cli", "/v", "Name", "/f"}).code, 0);
    EXPECT_EQ(Tool({"query", "HKCU\\Software\\Cli", "/v", "Name"}).code, 1);
    EXPECT_EQ(Tool({"delete", "HKCU\\Software\\Cli", "/ve", "/f"}).code, 0);
    EXPECT_EQ(Tool({"delete", "HKCU\\Software\\Cli", "/va", "/f"}).code, 0);
    run = Tool({"query", "HKCU\\Software\\Cli"});
    EXPECT_EQ(run.out, "\nHKEY_CURRENT_USER\\Software\\Cli\n\nHKEY_CURRENT_USER\\Software\\Cli\\Sub\n");
    EXPECT_EQ(Tool({"delete", "HKCU\\Software\\Cli"}, "").code, 1);  // no answer: nothing deleted
    EXPECT_EQ(Tool({"query", "HKCU\\Software\\Cli"}).code, 0);
    EXPECT_EQ(Tool({"delete", "HKCU\\Software\\Cli"}, "yes\n").code, 0);
    run = Tool({"query", "HKCU\\Software\\Cli"});
    EXPECT_EQ(run.code, 1);
    EXPECT_EQ(run.err, "ERROR: The system was unable to find the specified registry key or value.\n");
}

// Data given on the command line is mapped as file names are: a path whose bytes are not UTF-8
// lands as the UTF-16 name the platform opens that file by.
TEST_F(RegTool, CommandLineTextIsMappedAsFileNamesAre) {
    const std::string path = "/opt/plug-in \xE9\xFF/MsgPlugin.so";
    ASSERT_EQ(Tool({"add", "HKCU\\Software\\Cli", "/v", "Library \xFF", "/d", path}).code, 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Cli", 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR data[128] = {};
    DWORD size = sizeof data, type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Library \xDCFF", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(u16string(data), u"/opt/plug-in \xDCE9\xDCFF/MsgPlugin.so");
    std::string native;
    ASSERT_TRUE(platform::names::ToNative(data, native));
    EXPECT_EQ(native, path);
}

TEST_F(RegTool, BadCommandLinesFailWithAMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "platform-reg query"},
        {{"frobnicate"}, "unknown command"},
        {{"query"}, "query takes a key"},
        {{"query", "HKXX\\Software"}, "Invalid key name"},
        {{"query", "HKCU\\Software", "/t", "REG_SZ"}, "unknown option"},
        {{"add", "HKCU\\Software\\X", "/v"}, "missing argument"},
        {{"add", "HKCU\\Software\\X", "/v", "a", "/ve"}, "exclude each other"},
        {{"add", "HKCU\\Software\\X", "/v", "a", "/t", "REG_WHAT"}, "unknown type"},
        {{"add", "HKCU\\Software\\X", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"}, "not a number"},
        {{"add", "HKCU\\Software\\X", "/v", "a", "/t", "REG_DWORD", "/d", "12abc"}, "not a number"},
        {{"add", "HKCU\\Software\\X", "/v", "a", "/t", "REG_BINARY", "/d", "abc"}, "even number"},
        {{"add", "HKCU\\Software\\X", "/v", "a", "/t", "REG_BINARY", "/d", "zz"}, "not a hex digit"},
        {{"add", "HKCU\\Software\\X", "/v", "a", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"}, "empty string"},
        {{"add", "HKCU\\Software\\X", "/d", "a"}, "need /v or /ve"},
        {{"delete", "HKCU", "/f"}, "root key"},
        {{"export", "HKCU\\Software"}, "a key and a file"},
    };
    for (const Case& c : cases) {
        ToolRun run = Tool(c.args);
        EXPECT_EQ(run.code, 1) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\X", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Tool({"/?"}).code, 0);
}

// The program itself, run as administrators run it, shares the registry with this process.
TEST_F(RegTool, TheProgramWorksOnTheSameRegistry) {
    std::string tool = PLATFORM_REG_TOOL;
    std::string exported = File("program.reg");
    std::string command = "'" + tool +
                          "' add 'HKLM\\SOFTWARE\\FromProgram' /v Answer /t REG_DWORD /d 42 >/dev/null && '" + tool +
                          "' export 'HKLM\\SOFTWARE\\Exported' '" + exported + "' >/dev/null";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\FromProgram", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD value = 0, size = 4;
    EXPECT_EQ(RegQueryValueExW(key, u"Answer", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 42u);
    RegCloseKey(key);

    std::vector<std::string> before = DumpTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported");
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported"), ERROR_SUCCESS);
    std::string error;
    ASSERT_EQ(platform::registry::ImportRegFile(exported, &error), ERROR_SUCCESS) << error;
    EXPECT_EQ(DumpTree(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Exported"), before);

    status = std::system(("'" + tool + "' query 'HKLM\\SOFTWARE\\Missing' 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(RegText, Utf8ConversionReplacesWhatIsNotText) {
    EXPECT_EQ(Utf8ToUtf16("a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"), u"aü€\U0001F600");
    EXPECT_EQ(Utf8ToUtf16("\xC3"), u"\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xC0\x80x"), u"\uFFFD\uFFFDx");          // overlong
    EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // a surrogate
    EXPECT_EQ(Utf16ToUtf8(u"ü€\U0001F600"), "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(u16string(1, static_cast<char16_t>(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
