#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "platform_testing.h"
#include "registry/registry_test_util.h"

namespace {

using namespace registrytest;
using std::u16string;

TEST_F(Registry, CreateReportsDispositionAndOpenFindsTheKey) {
    Key created;
    DWORD disposition = 0;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\Product", created, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    Key again;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\Product", again, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    Key opened;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vendor\\Product", 0, KEY_READ, opened.put()),
              ERROR_SUCCESS);
    EXPECT_NE(opened.get(), nullptr);
    EXPECT_NE(opened.get(), created.get());
}

TEST_F(Registry, MissingKeysAndValuesAreFileNotFound) {
    Key key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nobody", 0, KEY_READ, key.put()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.get(), nullptr);
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Somebody", key), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.get(), u"Missing").status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query(key.get(), nullptr).status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(key.get(), u"Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Nobody"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\MixedCase\\Ärger\\Дом", key), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), u"ProductName", u"first"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), u"PRODUCTNAME", u"second"), ERROR_SUCCESS);

    Key upper;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\MIXEDCASE\\äRGER\\дОМ", 0, KEY_READ, upper.put()),
              ERROR_SUCCESS);
    Read read = Query(upper.get(), u"productname");
    EXPECT_EQ(read.status, ERROR_SUCCESS);
    EXPECT_EQ(read.text(), u"second");
    EXPECT_EQ(ValueNames(upper.get()), std::vector<u16string>{u"ProductName"});

    Key parent;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\mixedcase", 0, KEY_READ, parent.put()), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(parent.get()), std::vector<u16string>{u"Ärger"});
    // Different letters stay different keys.
    Key other;
    DWORD disposition = 0;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\MixedCase\\Arger", other, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
}

TEST_F(Registry, DefaultValueIsTheNullOrEmptyName) {
    Key key;
    ASSERT_EQ(Create(HKEY_CLASSES_ROOT, u"MsgPlugin.Test", key), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), nullptr, u"Test Class"), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.get(), u"").text(), u"Test Class");
    ASSERT_EQ(SetString(key.get(), u"", u"Renamed"), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.get(), nullptr).text(), u"Renamed");
    EXPECT_EQ(ValueNames(key.get()), std::vector<u16string>{u""});
    EXPECT_EQ(RegDeleteValueW(key.get(), nullptr), ERROR_SUCCESS);
    EXPECT_EQ(Query(key.get(), u"").status, ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, QueryReportsTypeAndSizeAndMoreData) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Sizes", key), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), u"Name", u"ORVANE"), ERROR_SUCCESS);  // 14 bytes with terminator

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 14u);

    BYTE buffer[32];
    std::memset(buffer, 0xAB, sizeof(buffer));
    size = 13;
    type = 0;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    size = 14;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 14u);
    EXPECT_EQ(u16string(reinterpret_cast<const char16_t*>(buffer)), u"ORVANE");
    EXPECT_EQ(buffer[14], 0xAB) << "nothing written past the value";

    // Existence only, and a data pointer without a size.
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Name", &reserved, nullptr, nullptr, &size), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, EveryTypeKeepsItsBytes) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Types", key), ERROR_SUCCESS);
    const BYTE binary[] = {0x00, 0xFF, 0x00, 0x7F, 0x80};
    const ULONGLONG qword = 0x0123456789ABCDEFULL;
    const char16_t multi[] = u"one\0two\0";  // two strings and the closing empty one
    struct Case {
        const char16_t* name;
        DWORD type;
        const void* data;
        DWORD size;
    } cases[] = {
        {u"binary", REG_BINARY, binary, sizeof(binary)},
        {u"empty binary", REG_BINARY, nullptr, 0},
        {u"qword", REG_QWORD, &qword, sizeof(qword)},
        {u"multi", REG_MULTI_SZ, multi, sizeof(multi)},
        {u"expand", REG_EXPAND_SZ, u"%HOME%\\x", 18},
        {u"none", REG_NONE, binary, 2},
        {u"custom type", 0x12345, binary, 3},
    };
    for (const Case& c : cases)
        ASSERT_EQ(RegSetValueExW(key.get(), c.name, 0, c.type, static_cast<const BYTE*>(c.data), c.size), ERROR_SUCCESS)
            << c.type;
    for (const Case& c : cases) {
        Read read = Query(key.get(), c.name);
        ASSERT_EQ(read.status, ERROR_SUCCESS);
        EXPECT_EQ(read.type, c.type);
        EXPECT_EQ(read.bytes, std::string(static_cast<const char*>(c.data), c.size));
    }
    EXPECT_EQ(RegSetValueExW(key.get(), u"bad", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
}

TEST_F(Registry, SubkeysEnumerateSortedWithoutCaseAndValuesInCreationOrder) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Order", key), ERROR_SUCCESS);
    for (const char16_t* name : {u"beta", u"_under", u"Alpha", u"gamma", u"ALPHA2", u"Zeta", u"a"}) {
        Key child;
        ASSERT_EQ(Create(key.get(), name, child), ERROR_SUCCESS);
    }
    // Upper-case code-unit order: '_' (0x5F) comes after 'Z'.
    EXPECT_EQ(Subkeys(key.get()),
              (std::vector<u16string>{u"a", u"Alpha", u"ALPHA2", u"beta", u"gamma", u"Zeta", u"_under"}));

    for (const char16_t* name : {u"zz", u"Mm", u"aa"}) ASSERT_EQ(SetDword(key.get(), name, 1), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), u"ZZ", 2), ERROR_SUCCESS);  // rewriting keeps the place
    EXPECT_EQ(ValueNames(key.get()), (std::vector<u16string>{u"zz", u"Mm", u"aa"}));

    WCHAR name[8];
    DWORD chars = 5;  // "Alpha" needs 6 with its terminator
    EXPECT_EQ(RegEnumKeyExW(key.get(), 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    chars = 6;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(chars, 5u);
    EXPECT_EQ(u16string(name), u"Alpha");
    chars = 8;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 7, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    // Value enumeration: name too short, then data too short with the size needed.
    chars = 2;
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegEnumValueW(key.get(), 1, name, &chars, nullptr, &type, nullptr, nullptr), ERROR_MORE_DATA);
    BYTE data[4];
    chars = 8;
    size = 3;
    EXPECT_EQ(RegEnumValueW(key.get(), 0, name, &chars, nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    size = 4;
    chars = 8;
    EXPECT_EQ(RegEnumValueW(key.get(), 0, name, &chars, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    DWORD value = 0;
    std::memcpy(&value, data, 4);
    EXPECT_EQ(value, 2u);
    chars = 8;
    EXPECT_EQ(RegEnumValueW(key.get(), 3, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Registry, QueryInfoCountsAndMeasures) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Info", key), ERROR_SUCCESS);
    Key child;
    ASSERT_EQ(RegCreateKeyExW(key.get(), u"Longest Name", 0, const_cast<LPWSTR>(u"ClassText"), 0, KEY_ALL_ACCESS,
                              nullptr, child.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(Create(key.get(), u"Short", child), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), u"A", u"1234567"), ERROR_SUCCESS);  // 16 bytes
    ASSERT_EQ(SetDword(key.get(), u"Value Name", 7), ERROR_SUCCESS);
    DWORD subkeys = 0, maxSubkey = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
    FILETIME written{};
    ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, &maxSubkey, &maxClass, &values, &maxName,
                               &maxData, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 2u);
    EXPECT_EQ(maxSubkey, 12u);
    EXPECT_EQ(maxClass, 9u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 10u);
    EXPECT_EQ(maxData, 16u);
    EXPECT_NE(written.dwHighDateTime, 0u);

    WCHAR keyClass[16];
    DWORD chars = 16;
    Key classed;
    ASSERT_EQ(RegOpenKeyExW(key.get(), u"longest name", 0, KEY_READ, classed.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryInfoKeyW(classed.get(), keyClass, &chars, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(u16string(keyClass, chars), u"ClassText");
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(values, 0u);
}

TEST_F(Registry, ClassTextTooLongForTheBufferIsMoreData) {
    Key key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Classed", 0, const_cast<LPWSTR>(u"Twelve chars"), 0,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    WCHAR text[12];
    DWORD chars = 12;  // no room for the terminator
    EXPECT_EQ(RegQueryInfoKeyW(key.get(), text, &chars, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(chars, 12u);
    Key parent;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, parent.put()), ERROR_SUCCESS);
    WCHAR name[16];
    DWORD nameChars = 16;
    chars = 12;
    EXPECT_EQ(RegEnumKeyExW(parent.get(), 0, name, &nameChars, nullptr, text, &chars, nullptr), ERROR_MORE_DATA);
    WCHAR roomy[13];
    chars = 13;
    nameChars = 16;
    ASSERT_EQ(RegEnumKeyExW(parent.get(), 0, name, &nameChars, nullptr, roomy, &chars, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(u16string(roomy, chars), u"Twelve chars");
    EXPECT_EQ(u16string(name, nameChars), u"Classed");
}

TEST_F(Registry, UsersHiveIsItsOwnAndVolatileKeysAreKept) {
    Key key;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, u".DEFAULT\\Software", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, key.put(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u".DEFAULT", 0, KEY_READ, key.put()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u".DEFAULT", 0, KEY_READ, key.put()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u".default\\software", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyExW(HKEY_USERS, u"Link", 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_NOT_SUPPORTED);
}

TEST_F(Registry, LastWriteTimeFollowsThePlatformClock) {
    SYSTEMTIME now{2026, 3, 0, 14, 9, 30, 0, 0};
    platform::testing::SetNow(now);
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Clock", key), ERROR_SUCCESS);
    FILETIME created{};
    ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, &created),
              ERROR_SUCCESS);
    now.wHour = 10;
    platform::testing::SetNow(now);
    ASSERT_EQ(SetDword(key.get(), u"x", 1), ERROR_SUCCESS);
    FILETIME changed{};
    ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, &changed),
              ERROR_SUCCESS);
    ULONGLONG before = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    ULONGLONG after = (static_cast<ULONGLONG>(changed.dwHighDateTime) << 32) | changed.dwLowDateTime;
    EXPECT_EQ(after - before, 3600ULL * 10000000ULL);
}

TEST_F(Registry, DeletingAKeyWithSubkeysIsDeniedAndTreesGoWhole) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\Branch\\Leaf", key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), u"v", 1), ERROR_SUCCESS);
    key.reset();
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\tree\\branch"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\TREE\\BRANCH\\LEAF"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\Branch"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\Branch", 0, KEY_READ, key.put()),
              ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\A\\B\\C", key), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), u"v", 1), ERROR_SUCCESS);
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\Keep", key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\A"), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(key.get()), std::vector<u16string>{u"Keep"});
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree\\A"), ERROR_FILE_NOT_FOUND);

    // Without a subkey the key stays and only its contents go.
    Key tree;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_ALL_ACCESS, tree.put()), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(tree.get(), u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(tree.get(), nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(Subkeys(tree.get()).empty());
    EXPECT_TRUE(ValueNames(tree.get()).empty());
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tree", 0, KEY_READ, key.put()), ERROR_SUCCESS);

    // The roots stay whatever is asked.
    EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), ERROR_ACCESS_DENIED);
}

TEST_F(Registry, HandlesOfDeletedKeysAnswerKeyDeleted) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Doomed", key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Doomed"), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key.get(), u"v", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(Query(key.get(), u"v").status, ERROR_KEY_DELETED);
    Key child;
    EXPECT_EQ(Create(key.get(), u"child", child), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExW(key.get(), u"child", 0, KEY_READ, child.put()), ERROR_KEY_DELETED);
    WCHAR name[8];
    DWORD chars = 8;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    // A new key of the same name is another key.
    Key reborn;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Doomed", reborn), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(key.get(), u"v", 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key.get()), ERROR_SUCCESS);
    *key.put() = nullptr;
}

TEST_F(Registry, BadHandlesAreInvalid) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Handles", key), ERROR_SUCCESS);
    HKEY closed = key.get();
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    *key.put() = nullptr;
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x12345678));
    for (HKEY bad : {closed, bogus, static_cast<HKEY>(nullptr)}) {
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
        EXPECT_EQ(SetDword(bad, u"v", 1), ERROR_INVALID_HANDLE);
        EXPECT_EQ(Query(bad, u"v").status, ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyExW(bad, u"x", 0, KEY_READ, key.put()), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, HandlesAllowOnlyTheirAccess) {
    Key writable;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Access", writable), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(writable.get(), u"v", 1), ERROR_SUCCESS);
    Key reader;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Access", 0, KEY_READ, reader.put()), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(reader.get(), u"v", 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(reader.get(), u"v"), ERROR_ACCESS_DENIED);
    Key child;
    EXPECT_EQ(Create(reader.get(), u"new", child), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Query(reader.get(), u"v").status, ERROR_SUCCESS);
    Key writer;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Access", 0, KEY_WRITE, writer.put()), ERROR_SUCCESS);
    EXPECT_EQ(Query(writer.get(), u"v").status, ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetDword(writer.get(), u"v", 3), ERROR_SUCCESS);
    Key generic;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Access", 0, GENERIC_READ, generic.put()), ERROR_SUCCESS);
    EXPECT_EQ(Query(generic.get(), u"v").status, ERROR_SUCCESS);
}

TEST_F(Registry, PathsUseBackslashesWithoutALeadingOne) {
    Key key;
    EXPECT_EQ(Create(HKEY_CURRENT_USER, u"\\Software\\X", key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, u"Software\\\\X", key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Trailing\\", key), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Trailing", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Has/Slash", key), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(key.get()), (std::vector<u16string>{u"Has/Slash", u"Trailing"}));
    u16string tooLong(256, u'k');
    EXPECT_EQ(Create(HKEY_CURRENT_USER, tooLong.c_str(), key), ERROR_INVALID_PARAMETER);
    tooLong.pop_back();
    EXPECT_EQ(Create(HKEY_CURRENT_USER, tooLong.c_str(), key), ERROR_SUCCESS);
    // An empty path opens the key itself; a predefined key answers with itself.
    HKEY same = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &same), ERROR_SUCCESS);
    EXPECT_EQ(same, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(Create(HKEY_CURRENT_USER, nullptr, key), ERROR_INVALID_PARAMETER);
}

TEST_F(Registry, ClassesRootIsTheMachinesSoftwareClasses) {
    Key key;
    ASSERT_EQ(Create(HKEY_CLASSES_ROOT, u"CLSID\\{8BA22517-EAE8-44C9-BCC9-F6ECBA2F4B47}", key), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), nullptr, u"MsgFile Class"), ERROR_SUCCESS);
    Key machine;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\CLSID\\{8ba22517-eae8-44c9-bcc9-f6ecba2f4b47}", 0,
                            KEY_READ, machine.put()),
              ERROR_SUCCESS);
    EXPECT_EQ(Query(machine.get(), nullptr).text(), u"MsgFile Class");
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Classes\\CLSID", 0, KEY_READ, machine.put()),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Subkeys(HKEY_CLASSES_ROOT), std::vector<u16string>{u"CLSID"});
    // Removed from under it, the classes key comes back on the next write.
    ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ, machine.put()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetString(HKEY_CLASSES_ROOT, u"x", u"y"), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes", 0, KEY_READ, machine.put()), ERROR_SUCCESS);
    EXPECT_EQ(Query(machine.get(), u"x").text(), u"y");
}

TEST_F(Registry, MachineAndUserHivesAreSeparateAndPersistent) {
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"Software\\Orvane\\Applications\\Tarnhold Enterprise", key), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key.get(), nullptr, u"Machine Product"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Orvane\\Applications\\Tarnhold Enterprise", 0, KEY_READ,
                            key.put()),
              ERROR_FILE_NOT_FOUND);
    key.reset();
    // A fresh connection (as a new process would open) sees the committed value.
    platform::testing::UseRegistryFolder(registry_.folder());
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Orvane\\Applications\\Tarnhold Enterprise", 0, KEY_READ,
                            key.put()),
              ERROR_SUCCESS);
    EXPECT_EQ(Query(key.get(), u"").text(), u"Machine Product");
    std::ifstream file(registry_.folder() + "/machine.sqlite");
    EXPECT_TRUE(file.good());
}

// Each operation consults fault injection and answers the armed code without doing anything.
TEST_F(Registry, EveryCallConsultsFaultInjection) {
    Key key;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Faults\\Child", key), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Faults", 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
    ASSERT_EQ(SetDword(key.get(), u"v", 1), ERROR_SUCCESS);
    HKEY h = key.get();
    WCHAR name[32];
    DWORD chars = 32;
    struct Case {
        const char* operation;
        std::function<LSTATUS()> call;
    } cases[] = {
        {"RegOpenKeyExW",
         [&] {
             HKEY k = nullptr;
             LSTATUS s = RegOpenKeyExW(h, u"Child", 0, KEY_READ, &k);
             if (k) RegCloseKey(k);
             return s;
         }},
        {"RegCreateKeyExW",
         [&] {
             HKEY k = nullptr;
             LSTATUS s = RegCreateKeyExW(h, u"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
             if (k) RegCloseKey(k);
             return s;
         }},
        {"RegQueryValueExW",
         [&] {
             DWORD size = 0;
             return RegQueryValueExW(h, u"v", nullptr, nullptr, nullptr, &size);
         }},
        {"RegSetValueExW", [&] { return SetDword(h, u"w", 2); }},
        {"RegDeleteValueW", [&] { return RegDeleteValueW(h, u"v"); }},
        {"RegDeleteKeyW", [&] { return RegDeleteKeyW(h, u"Child"); }},
        {"RegDeleteTreeW", [&] { return RegDeleteTreeW(h, u"Child"); }},
        {"RegEnumKeyExW",
         [&] {
             chars = 32;
             return RegEnumKeyExW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
         }},
        {"RegEnumValueW",
         [&] {
             chars = 32;
             return RegEnumValueW(h, 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
         }},
        {"RegQueryInfoKeyW",
         [&] {
             DWORD n = 0;
             return RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr);
         }},
    };
    for (const Case& c : cases) {
        platform::testing::FailNthCall(c.operation, 1, ERROR_ACCESS_DENIED);
        EXPECT_EQ(c.call(), ERROR_ACCESS_DENIED) << c.operation;
        EXPECT_EQ(platform::testing::CallCount(c.operation), 1u);
    }
    // Nothing was changed by the failed calls.
    EXPECT_EQ(Subkeys(h), std::vector<u16string>{u"Child"});
    EXPECT_EQ(ValueNames(h), std::vector<u16string>{u"v"});
    platform::testing::FailNthCall("RegCloseKey", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);  // the handle was still open
    *key.put() = nullptr;
    platform::testing::FailNthCall("RegSetValueExW", 2, ERROR_DISK_FULL);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"a", 1), ERROR_SUCCESS);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"b", 1), ERROR_DISK_FULL);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"c", 1), ERROR_SUCCESS);
}

TEST_F(Registry, AnsiCodePageComesFromTheNlsKey) {
    using platform::registry::ReadAnsiCodePage;
    EXPECT_EQ(ReadAnsiCodePage(), 1252u);
    EXPECT_FALSE(std::ifstream(registry_.folder() + "/machine.sqlite").good()) << "no hive made just to read it";
    Key key;
    ASSERT_EQ(Create(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", key), ERROR_SUCCESS);
    EXPECT_EQ(ReadAnsiCodePage(), 1252u);
    struct Case {
        DWORD type;
        std::string bytes;
        UINT expected;
    } cases[] = {
        {REG_SZ,
         std::string("9\0"
                     "3\0"
                     "2\0\0\0",
                     8),
         932},
        {REG_SZ,
         std::string("6\0"
                     "5\0"
                     "0\0"
                     "0\0"
                     "1\0",
                     10),
         65001},  // no terminator
        {REG_SZ,
         std::string("1\0"
                     "2\0"
                     "5\0"
                     "1\0\0\0",
                     10),
         1251},
        {REG_SZ, std::string("x\0\0\0", 4), 1252},
        {REG_SZ, std::string("\0\0", 2), 1252},
        {REG_SZ,
         std::string("9\0"
                     "9\0"
                     "9\0"
                     "9\0"
                     "9\0"
                     "9\0\0\0",
                     14),
         1252},
        {REG_DWORD, std::string("\xA4\x03\0\0", 4), 1252},
        {REG_EXPAND_SZ,
         std::string("9\0"
                     "3\0"
                     "2\0\0\0",
                     8),
         1252},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RegSetValueExW(key.get(), u"ACP", 0, c.type, reinterpret_cast<const BYTE*>(c.bytes.data()),
                                 static_cast<DWORD>(c.bytes.size())),
                  ERROR_SUCCESS);
        EXPECT_EQ(ReadAnsiCodePage(), c.expected) << c.bytes.size();
    }
    platform::testing::FailNthCall("RegOpenKeyExW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadAnsiCodePage(), 1252u);
}

}  // namespace
