// Registration of the built module into an isolated registry: the exact keys and values it
// writes, what unregistration removes and keeps, and the failure paths.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include <windows.h>

#include "frame/module_test_support.h"
#include "platform_testing.h"

namespace {

namespace fs = std::filesystem;
using moduletest::Describe;
using moduletest::Dump;
using moduletest::DumpedValue;
using moduletest::ModuleHost;
using moduletest::Narrow;
using moduletest::RegistryDump;
using moduletest::Sz;
using moduletest::Wide;
using platform::testing::FailNthCall;

constexpr const char16_t* kFileClass = u"{8BA22517-EAE8-44C9-BCC9-F6ECBA2F4B47}";
constexpr const char16_t* kFormatClass = u"{9C8F8544-DACC-47E1-A113-10A4B6744B6F}";
constexpr const char16_t* kProxyClass = u"{567A7172-DDE8-48DE-AB02-864CC86EA58B}";  // IID_IMsgFormat
constexpr const char16_t* kFileInterface = u"{CAA138E5-71DF-4C5C-AD03-44208BF98751}";
constexpr const char16_t* kLibrary = u"{7E11C994-6343-4C7E-BCFC-0C539CB60D80}";
constexpr const char16_t* kMapiApps = u"SOFTWARE\\Microsoft\\Windows Messaging Subsystem\\MSMapiApps";

std::u16string Key(std::initializer_list<std::u16string> parts) {
    std::u16string out;
    for (const auto& part : parts) {
        if (!out.empty()) out += u'\\';
        out += part;
    }
    return out;
}

// The class keys of the two registration scripts.
RegistryDump ClassKeys(const std::u16string& module) {
    const std::u16string file = Key({u"CLSID", kFileClass}), format = Key({u"CLSID", kFormatClass});
    return {
        {u"MsgPlugin.MsgFile.1", {{u"", Sz(u"MsgFile Class")}}},
        {u"MsgPlugin.MsgFile.1\\CLSID", {{u"", Sz(kFileClass)}}},
        {u"MsgPlugin.MsgFile", {{u"", Sz(u"MsgFile Class")}}},
        {u"MsgPlugin.MsgFile\\CLSID", {{u"", Sz(kFileClass)}}},
        {u"MsgPlugin.MsgFile\\CurVer", {{u"", Sz(u"MsgPlugin.MsgFile.1")}}},
        {u"CLSID", {}},
        {file, {{u"", Sz(u"MsgFile Class")}}},
        {file + u"\\ProgID", {{u"", Sz(u"MsgPlugin.MsgFile.1")}}},
        {file + u"\\VersionIndependentProgID", {{u"", Sz(u"MsgPlugin.MsgFile")}}},
        {file + u"\\Programmable", {}},
        {file + u"\\InprocServer32", {{u"", Sz(module)}, {u"ThreadingModel", Sz(u"Apartment")}}},
        {file + u"\\TypeLib", {{u"", Sz(kLibrary)}}},
        {u"MsgPlugin.MsgFormat.1", {{u"", Sz(u"MsgFormat Class")}}},
        {u"MsgPlugin.MsgFormat.1\\CLSID", {{u"", Sz(kFormatClass)}}},
        {u"MsgPlugin.MsgFormat", {{u"", Sz(u"MsgFormat Class")}}},
        {u"MsgPlugin.MsgFormat\\CLSID", {{u"", Sz(kFormatClass)}}},
        {format, {{u"", Sz(u"MsgFormat Class")}}},
        {format + u"\\ProgID", {{u"", Sz(u"MsgPlugin.MsgFormat.1")}}},
        {format + u"\\VersionIndependentProgID", {{u"", Sz(u"MsgPlugin.MsgFormat")}}},
        {format + u"\\InprocServer32", {{u"", Sz(module)}, {u"ThreadingModel", Sz(u"both")}}},
    };
}

// What the proxy/stub registration writes.
RegistryDump ProxyKeys(const std::u16string& module) {
    RegistryDump keys;
    keys[u"Interface"] = {};
    for (auto [iid, name] : {std::pair{kProxyClass, u"IMsgFormat"}, std::pair{kFileInterface, u"IMsgFile"}}) {
        const std::u16string key = Key({u"Interface", iid});
        keys[key] = {{u"", Sz(name)}};
        keys[key + u"\\NumMethods"] = {{u"", Sz(u"3")}};
        keys[key + u"\\ProxyStubClsid32"] = {{u"", Sz(kProxyClass)}};
    }
    keys[u"CLSID"] = {};
    keys[Key({u"CLSID", kProxyClass})] = {{u"", Sz(u"PSFactoryBuffer")}};
    keys[Key({u"CLSID", kProxyClass, u"InprocServer32"})] = {{u"", Sz(module)}, {u"ThreadingModel", Sz(u"Both")}};
    return keys;
}

// What the type-library registration writes.
RegistryDump TypeLibraryKeys(const std::u16string& path) {
    const std::u16string version = Key({u"TypeLib", kLibrary, u"1.0"});
    RegistryDump keys = {
        {u"TypeLib", {}},
        {Key({u"TypeLib", kLibrary}), {}},
        {version, {{u"", Sz(u"MsgPlugin 1.0 Type Library")}}},
        {version + u"\\0", {}},
        {version + u"\\0\\win64", {{u"", Sz(path)}}},
        {version + u"\\FLAGS", {{u"", Sz(u"0")}}},
        {version + u"\\HELPDIR", {{u"", Sz(u"")}}},
        {u"Interface", {}},
    };
    for (auto [iid, name] : {std::pair{kProxyClass, u"IMsgFormat"}, std::pair{kFileInterface, u"IMsgFile"}}) {
        keys[Key({u"Interface", iid})] = {{u"", Sz(name)}};
        keys[Key({u"Interface", iid, u"TypeLib"})] = {{u"", Sz(kLibrary)}, {u"Version", Sz(u"1.0")}};
    }
    return keys;
}

void Merge(RegistryDump* into, const RegistryDump& from) {
    for (const auto& [key, values] : from)
        for (const auto& [name, value] : values) (*into)[key][name] = value;
    for (const auto& [key, values] : from) (*into)[key];
}

RegistryDump Everything(const std::u16string& module) {
    RegistryDump all = ClassKeys(module);
    Merge(&all, ProxyKeys(module));
    Merge(&all, TypeLibraryKeys(module));
    all[u""];  // the root
    return all;
}

bool KeyExists(HKEY root, const std::u16string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void CreateKey(HKEY root, const std::u16string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
}

RegistryDump MapiApps() { return Dump(HKEY_LOCAL_MACHINE, kMapiApps); }

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry_ = std::make_unique<platform::testing::ScopedTempRegistry>();
        fresh_ = Dump(HKEY_LOCAL_MACHINE);
        freshUser_ = Dump(HKEY_CURRENT_USER);
    }
    void TearDown() override { registry_.reset(); }

    std::unique_ptr<platform::testing::ScopedTempRegistry> registry_;
    RegistryDump fresh_, freshUser_;
};

TEST_F(RegistrationTest, WritesExactlyTheClassesProxyStubTypeLibraryAndMailClientEntry) {
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    ASSERT_EQ(host.RegisterServer(), S_OK);
    const std::u16string module = Wide(host.Path());
    RegistryDump classes = Dump(HKEY_CLASSES_ROOT);
    EXPECT_EQ(classes, Everything(module)) << Describe(classes);

    const RegistryDump expectedApps = {{u"", {{u"MsgPlugin.dll", Sz(u"Microsoft Outlook")}}}};
    EXPECT_EQ(MapiApps(), expectedApps) << Describe(MapiApps());
    EXPECT_EQ(MapiApps()[u""][u"MsgPlugin.dll"].data.size(), 36u);
    // Machine-wide only: nothing under the current user.
    EXPECT_EQ(Dump(HKEY_CURRENT_USER), freshUser_);
    EXPECT_EQ(host.CanUnloadNow(), S_OK) << "registration leaves nothing of the module in use";
}

TEST_F(RegistrationTest, RegisteringTwiceEqualsOnceAndClearsStaleSubkeys) {
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    // Left over from an older version: gone after registration (the class keys are rewritten whole).
    CreateKey(HKEY_CLASSES_ROOT, Key({u"CLSID", kFileClass, u"Stale", u"Deeper"}));
    CreateKey(HKEY_CLASSES_ROOT, Key({u"CLSID", kFormatClass, u"Stale"}));
    ASSERT_EQ(host.RegisterServer(), S_OK);
    const RegistryDump once = Dump(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), Everything(Wide(host.Path()))) << Describe(Dump(HKEY_CLASSES_ROOT));

    CreateKey(HKEY_CLASSES_ROOT, Key({u"CLSID", kFileClass, u"Programmable", u"Stale"}));
    ASSERT_EQ(host.RegisterServer(), S_OK);
    EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), once) << Describe(Dump(HKEY_LOCAL_MACHINE));
}

TEST_F(RegistrationTest, UnregisteringRemovesWhatRegistrationWroteButNotTheRootsOrForeignKeys) {
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    ASSERT_EQ(host.RegisterServer(), S_OK);
    const std::u16string foreignClass = u"{11111111-2222-3333-4444-555555555555}";
    CreateKey(HKEY_CLASSES_ROOT, Key({u"CLSID", foreignClass, u"InprocServer32"}));
    CreateKey(HKEY_CLASSES_ROOT, Key({u"CLSID", kFormatClass, u"Foreign"}));
    HKEY apps = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMapiApps, 0, KEY_ALL_ACCESS, &apps), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(apps, u"Other.dll", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"Other"), 12), ERROR_SUCCESS);
    RegCloseKey(apps);

    ASSERT_EQ(host.UnregisterServer(), S_OK);
    const RegistryDump expected = {
        {u"", {}},
        {u"CLSID", {}},
        {Key({u"CLSID", foreignClass}), {}},
        {Key({u"CLSID", foreignClass, u"InprocServer32"}), {}},
        // The class key keeps its subkey that the script does not name, and so itself.
        {Key({u"CLSID", kFormatClass}), {{u"", Sz(u"MsgFormat Class")}}},
        {Key({u"CLSID", kFormatClass, u"Foreign"}), {}},
        {u"Interface", {}},
        {u"TypeLib", {}},
    };
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), expected) << Describe(Dump(HKEY_CLASSES_ROOT));
    const RegistryDump expectedApps = {{u"", {{u"Other.dll", Sz(u"Other")}}}};
    EXPECT_EQ(MapiApps(), expectedApps);
}

TEST_F(RegistrationTest, UnregisteringWhenNothingIsRegisteredSucceeds) {
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    // The script steps find nothing to remove, nor does the type-library step: uninstall scripts
    // that unregister to be safe must not fail.
    EXPECT_EQ(host.UnregisterServer(), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kMapiApps)) << "the mail-client key is created when missing";
    EXPECT_EQ(MapiApps(), (RegistryDump{{u"", {}}}));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"CLSID"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"MsgPlugin.MsgFile"));

    // Registered, unregistered, unregistered again.
    ASSERT_EQ(host.RegisterServer(), S_OK);
    ASSERT_EQ(host.UnregisterServer(), S_OK);
    // Both scripts mark CLSID NoRemove: it stays, though nothing is left under it.
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, u"CLSID"));
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT, u"CLSID"), (RegistryDump{{u"", {}}}));
    const RegistryDump after = Dump(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(host.UnregisterServer(), S_OK);
    EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), after);

    // A type library registered at another version is not this one's to remove.
    CreateKey(HKEY_CLASSES_ROOT, Key({u"TypeLib", kLibrary, u"2.0", u"0", u"win64"}));
    const RegistryDump other = Dump(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(host.UnregisterServer(), S_OK);
    EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), other);
}

// Registration runs with COM started on the calling thread whatever the caller did, and leaves
// the thread's COM as it found it.
TEST_F(RegistrationTest, ComIsStartedForTheCallAndEndedAgain) {
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    // A caller that has not started COM: afterwards the thread is free to choose its model.
    ASSERT_EQ(host.RegisterServer(), S_OK);
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), Everything(Wide(host.Path())));
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "COM was left started on the thread";
    // A caller in the multithreaded apartment stays there, started once.
    ASSERT_EQ(host.UnregisterServer(), S_OK);
    ASSERT_EQ(host.RegisterServer(), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "registration ended the caller's COM";
    CoUninitialize();
    // A caller in an apartment: its own start is not ended by registration.
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_EQ(host.UnregisterServer(), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    CoUninitialize();
    CoUninitialize();

    // COM that cannot be started: nothing is written.
    const RegistryDump before = Dump(HKEY_LOCAL_MACHINE);
    FailNthCall("CoInitializeEx", 1, E_OUTOFMEMORY);
    EXPECT_EQ(host.RegisterServer(), E_OUTOFMEMORY);
    EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), before);
}

TEST_F(RegistrationTest, FailingProxyRegistrationWritesNothing) {
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    for (HRESULT failure : {E_ACCESSDENIED, E_OUTOFMEMORY}) {
        FailNthCall("NdrDllRegisterProxy", 1, failure);
        EXPECT_EQ(host.RegisterServer(), failure);
        EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), fresh_) << Describe(Dump(HKEY_LOCAL_MACHINE));
    }
    // Unregistration ignores a failing proxy/stub step and goes on.
    ASSERT_EQ(host.RegisterServer(), S_OK);
    FailNthCall("NdrDllUnregisterProxy", 1, E_ACCESSDENIED);
    EXPECT_EQ(host.UnregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, Key({u"CLSID", kFileClass})));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, Key({u"TypeLib", kLibrary})));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, Key({u"Interface", kProxyClass, u"ProxyStubClsid32"})));
}

// Writes the registration of the module at another path with keys and values of its own below
// the module's keys, as an older version or another tool may have left them.
void WriteEarlierState(const std::u16string& otherModule) {
    const std::u16string file = Key({u"CLSID", kFileClass});
    for (const auto& [key, values] : Everything(otherModule)) {
        if (key.empty()) continue;
        HKEY opened = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened, nullptr),
                  ERROR_SUCCESS);
        for (const auto& [name, value] : values)
            RegSetValueExW(opened, name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                           static_cast<DWORD>(value.data.size()));
        RegCloseKey(opened);
    }
    CreateKey(HKEY_CLASSES_ROOT, Key({file, u"Stale", u"Deeper"}));
    CreateKey(HKEY_CLASSES_ROOT, Key({u"TypeLib", kLibrary, u"0.9", u"0", u"win64"}));
    HKEY apps = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMapiApps, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &apps, nullptr),
              ERROR_SUCCESS);
    const DWORD number = 7;
    RegSetValueExW(apps, u"MsgPlugin.dll", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(apps);
}

// A failing step stops registration with its result and leaves the registry as it found it:
// nothing of the earlier steps stays, and an earlier registration is put back as it was.
TEST_F(RegistrationTest, FailingStepsOfRegistrationLeaveTheRegistryAsFound) {
    struct Case {
        const char* operation;
        unsigned nth;
        HRESULT failure;
    };
    const Case cases[] = {
        {"GetModuleFileNameW", 1, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},  // the module's own, first
        {"GetModuleFileNameW", 2, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},  // the proxy/stub's
        {"GetModuleFileNameW", 3, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},  // the first class script's
        {"GetModuleFileNameW", 4, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},  // the second's
        {"GetModuleFileNameW", 5, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},  // the type library's
        {"NdrDllRegisterProxy", 1, E_ACCESSDENIED},
        {"CreateRegistrar", 1, E_OUTOFMEMORY},
        {"CreateRegistrar", 2, E_OUTOFMEMORY},
        {"LoadTypeLib", 1, TYPE_E_CANTLOADLIBRARY},  // and the .tlb beside it is missing
        {"RegisterTypeLib", 1, TYPE_E_REGISTRYACCESS},
    };
    for (bool earlier : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.operation) + " #" + std::to_string(c.nth) + (earlier ? " over an earlier one" : ""));
            platform::testing::ScopedTempRegistry registry;
            ModuleHost host;
            ASSERT_TRUE(host.Loaded());
            if (earlier) WriteEarlierState(u"/opt/older/MsgPlugin.so");
            const RegistryDump machine = Dump(HKEY_LOCAL_MACHINE), user = Dump(HKEY_CURRENT_USER);
            FailNthCall(c.operation, c.nth, c.failure, 0);
            EXPECT_EQ(host.RegisterServer(), c.failure);
            platform::testing::ResetFaults();
            EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), machine) << Describe(Dump(HKEY_LOCAL_MACHINE));
            EXPECT_EQ(Dump(HKEY_CURRENT_USER), user);
        }
    }
}

// A key whose state cannot be read is not taken for a missing one: registration is refused before
// anything is written, so a later failure cannot put the key "back" by removing it.
TEST_F(RegistrationTest, AKeyThatCannotBeReadRefusesRegistration) {
    WriteEarlierState(u"/opt/older/MsgPlugin.so");
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    const RegistryDump machine = Dump(HKEY_LOCAL_MACHINE);
    // Call 1 opens CLSID, call 2 the first class's key, which exists.
    FailNthCall("RegOpenKeyExW", 2, ERROR_ACCESS_DENIED);
    FailNthCall("RegisterTypeLib", 1, TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(host.RegisterServer(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    platform::testing::ResetFaults();
    EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), machine) << Describe(Dump(HKEY_LOCAL_MACHINE));
}

// Whatever the registry holds before and whichever registry call fails, a registration that
// returns a failure leaves the registry exactly as it was, and one that succeeds leaves every key
// and value of the registration in place (the model: the state before, and the state expected).
TEST_F(RegistrationTest, AFailedRegistrationLeavesAnyRegistryAsFound) {
    std::mt19937 random(20260109);
    const char* operations[] = {"RegSetValueExW", "RegCreateKeyExW", "RegOpenKeyExW", "RegDeleteTreeW",
                                "RegDeleteKeyW", "RegQueryInfoKeyW", "RegEnumValueW", "RegEnumKeyExW"};
    const std::u16string places[] = {Key({u"CLSID", kFileClass}), Key({u"CLSID", kFormatClass}),
                                     Key({u"CLSID", kProxyClass}), Key({u"Interface", kFileInterface}),
                                     Key({u"TypeLib", kLibrary}), u"MsgPlugin.MsgFile", u"MsgPlugin.MsgFormat.1",
                                     u"CLSID", u"Unrelated"};
    int failed = 0, succeeded = 0;
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        platform::testing::ScopedTempRegistry registry;
        ModuleHost host;
        ASSERT_TRUE(host.Loaded());
        if (random() % 2) WriteEarlierState(u"/opt/older/MsgPlugin.so");
        // Keys and values of random names, types and data in and around the module's keys.
        for (int extra = static_cast<int>(random() % 6); extra > 0; --extra) {
            std::u16string key = places[random() % std::size(places)];
            for (int depth = static_cast<int>(random() % 3); depth >= 0; --depth) {
                const char part[] = {'\\', 'k', static_cast<char>('0' + random() % 4), '\0'};
                key += Wide(part);
            }
            HKEY opened = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened,
                                      nullptr),
                      ERROR_SUCCESS);
            std::string data(random() % 40, '\0');
            for (char& byte : data) byte = static_cast<char>(random());
            const DWORD types[] = {REG_BINARY, REG_DWORD, REG_SZ, REG_MULTI_SZ};
            const char valueName[] = {'v', static_cast<char>('0' + random() % 3), '\0'};
            const std::u16string name = random() % 3 ? Wide(valueName) : std::u16string();
            RegSetValueExW(opened, name.c_str(), 0, types[random() % 4], reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size()));
            RegCloseKey(opened);
        }
        const RegistryDump machine = Dump(HKEY_LOCAL_MACHINE);
        const char* operation = operations[random() % std::size(operations)];
        const unsigned nth = 1 + random() % 40;
        FailNthCall(operation, nth, E_ACCESSDENIED);
        const HRESULT hr = host.RegisterServer();
        platform::testing::ResetFaults();
        SCOPED_TRACE(std::string(operation) + " #" + std::to_string(nth));
        if (FAILED(hr)) {
            ++failed;
            EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), machine) << Describe(Dump(HKEY_LOCAL_MACHINE));
            continue;
        }
        ++succeeded;
        const RegistryDump classes = Dump(HKEY_CLASSES_ROOT);
        for (const auto& [key, values] : Everything(Wide(host.Path()))) {
            ASSERT_TRUE(classes.count(key)) << Narrow(key);
            for (const auto& [name, value] : values) EXPECT_EQ(classes.at(key).at(name), value) << Narrow(key);
        }
    }
    EXPECT_GT(failed, 10);
    EXPECT_GT(succeeded, 5);
}

TEST_F(RegistrationTest, FailingStepsOfUnregistration) {
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    ASSERT_EQ(host.RegisterServer(), S_OK);
    FailNthCall("CreateRegistrar", 2, E_OUTOFMEMORY);
    EXPECT_EQ(host.UnregisterServer(), E_OUTOFMEMORY);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"MsgPlugin.MsgFile.1"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, u"MsgPlugin.MsgFormat.1"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, Key({u"TypeLib", kLibrary, u"1.0"}))) << "later steps are skipped";

    FailNthCall("UnRegisterTypeLib", 1, TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(host.UnregisterServer(), TYPE_E_REGISTRYACCESS);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, u"MsgPlugin.MsgFormat.1"));
}

// The mail-client entry is best effort: its failure changes neither the result nor the rest.
TEST_F(RegistrationTest, MailClientEntryFailureIsIgnored) {
    // Find the one call of RegSetValueExW whose failure registration survives: the entry's.
    int survivedWithoutEntry = 0;
    for (unsigned nth = 1; nth <= 60; ++nth) {
        platform::testing::ScopedTempRegistry registry;
        ModuleHost host;
        ASSERT_TRUE(host.Loaded());
        FailNthCall("RegSetValueExW", nth, E_ACCESSDENIED);
        HRESULT hr = host.RegisterServer();
        bool hasEntry = MapiApps()[u""].count(u"MsgPlugin.dll") == 1;
        platform::testing::ResetFaults();
        if (survivedWithoutEntry) {
            EXPECT_TRUE(FAILED(hr)) << "the call after the entry's belongs to the class scripts";
            break;
        }
        if (SUCCEEDED(hr) && !hasEntry) {
            ++survivedWithoutEntry;
            RegistryDump classes = Dump(HKEY_CLASSES_ROOT);
            EXPECT_EQ(classes, Everything(Wide(host.Path()))) << Describe(classes);
        } else {
            EXPECT_TRUE(FAILED(hr)) << "call " << nth << " is the proxy/stub's: registration stops";
        }
    }
    EXPECT_EQ(survivedWithoutEntry, 1);
}

// Loads a copy of the module from a folder whose path makes the module's path `length` long.
class CopiedModule {
public:
    explicit CopiedModule(size_t length, bool withTypeLibraryFile = false) {
        char pattern[] = "/tmp/msgplugin-module.XXXXXX";
        if (!mkdtemp(pattern)) return;
        root_ = pattern;
        const std::string name = "MsgPlugin.so";
        std::string folder = root_;
        const size_t folderLength = length - 1 - name.size();
        while (folder.size() < folderLength) {
            size_t remaining = folderLength - folder.size();  // room for "/" and a name
            size_t part = remaining > 101 ? 100 : remaining - 1;
            if (remaining > 101 && remaining - 101 == 1) part = 99;  // never leave room for "/" alone
            folder += '/';
            folder.append(part, 'd');
        }
        fs::create_directories(folder);
        path_ = (fs::path(folder) / name).string();
        fs::copy_file(moduletest::BuiltModulePath(), path_);
        if (withTypeLibraryFile)
            fs::copy_file(fs::path(MSGPLUGIN_SOURCE_DIR) / "FileFormats/MsgPlugin/frame/resources/MsgPlugin.idl",
                          fs::path(folder) / "MsgPlugin.tlb");
    }
    ~CopiedModule() {
        std::error_code ignored;
        if (!root_.empty()) fs::remove_all(root_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string root_, path_;
};

TEST_F(RegistrationTest, ModulePathOfMaxPathOrMoreIsRefused) {
    for (size_t length : {259u, 260u, 300u}) {
        SCOPED_TRACE(length);
        platform::testing::ScopedTempRegistry registry;
        CopiedModule copy(length);
        ASSERT_EQ(copy.Path().size(), length);
        ModuleHost host(copy.Path());
        ASSERT_TRUE(host.Loaded());
        const std::u16string module = Wide(copy.Path());
        if (length < MAX_PATH) {
            EXPECT_EQ(host.RegisterServer(), S_OK);
            EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), Everything(module)) << Describe(Dump(HKEY_CLASSES_ROOT));
            EXPECT_EQ(host.UnregisterServer(), S_OK);
            continue;
        }
        // Refused before anything is written.
        const RegistryDump before = Dump(HKEY_LOCAL_MACHINE);
        EXPECT_EQ(host.RegisterServer(), HRESULT(0x8007007A));
        EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), before) << Describe(Dump(HKEY_LOCAL_MACHINE));
        EXPECT_EQ(host.UnregisterServer(), HRESULT(0x8007007A));
    }
}

TEST_F(RegistrationTest, TypeLibraryFromTheFileBesideTheModule) {
    CopiedModule copy(80, true);
    ModuleHost host(copy.Path());
    ASSERT_TRUE(host.Loaded());
    // The module's own resource cannot be read: the .tlb beside it is registered instead.
    FailNthCall("LoadTypeLib", 1, TYPE_E_CANTLOADLIBRARY);
    ASSERT_EQ(host.RegisterServer(), S_OK);
    std::string tlb = copy.Path().substr(0, copy.Path().size() - 3) + ".tlb";
    RegistryDump library = Dump(HKEY_CLASSES_ROOT, Key({u"TypeLib", kLibrary, u"1.0", u"0", u"win64"}));
    EXPECT_EQ(library[u""][u""], Sz(Wide(tlb)));
    FailNthCall("LoadTypeLib", 1, TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(host.UnregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, Key({u"TypeLib", kLibrary})));
}

}  // namespace
