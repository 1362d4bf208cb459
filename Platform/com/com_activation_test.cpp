// Activation of in-process servers through the registry: InprocServer32, program ids, and the
// unloading of libraries that say they may go.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

#include <windows.h>

#include "base/comptr.h"
#include "platform_testing.h"

// At namespace scope: the objects that implement it live in another library.
struct IActivationTestThing : IUnknown {
    STDMETHOD_(int, Value)() PURE;
};

namespace {

DEFINE_GUID(CLSID_ActivationTestThing, 0x5E1D0C7A, 0x39B4, 0x4B2F, 0x9A, 0x61, 0x2C, 0x8E, 0x4F, 0x70, 0x13, 0xD5);
DEFINE_GUID(IID_IActivationTestThing, 0x5E1D0C7B, 0x39B4, 0x4B2F, 0x9A, 0x61, 0x2C, 0x8E, 0x4F, 0x70, 0x13, 0xD5);
DEFINE_GUID(CLSID_Nobody, 0x5E1D0C7C, 0x39B4, 0x4B2F, 0x9A, 0x61, 0x2C, 0x8E, 0x4F, 0x70, 0x13, 0xD5);

constexpr const char16_t* kThingKey = u"CLSID\\{5E1D0C7A-39B4-4B2F-9A61-2C8E4F7013D5}\\InprocServer32";

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

void SetClassesRootString(const std::u16string& subkey, const std::u16string& value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(char16_t))),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

bool ServerLoaded() {
    void* handle = dlopen(COM_TEST_SERVER_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

class ActivationTest : public ::testing::Test {
protected:
    void TearDown() override { CoFreeUnusedLibraries(); }
    platform::testing::ScopedTempRegistry registry_;
};

TEST_F(ActivationTest, RegisteredServerIsLoadedAskedAndUnloadedWhenUnused) {
    SetClassesRootString(kThingKey, Wide(COM_TEST_SERVER_PATH));
    ASSERT_FALSE(ServerLoaded());

    platform::ComPtr<IActivationTestThing> thing;
    ASSERT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IActivationTestThing,
                               thing.PutVoid()),
              S_OK);
    EXPECT_EQ(thing->Value(), 7);
    EXPECT_TRUE(ServerLoaded());

    // A live object keeps the library.
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ServerLoaded());
    EXPECT_EQ(thing->Value(), 7);

    // A second activation reuses the loaded library.
    platform::ComPtr<IActivationTestThing> second;
    ASSERT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IActivationTestThing,
                               second.PutVoid()),
              S_OK);
    second.Reset();
    thing.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ServerLoaded());
}

TEST_F(ActivationTest, HeldClassObjectKeepsTheLibrary) {
    SetClassesRootString(kThingKey, Wide(COM_TEST_SERVER_PATH));
    platform::ComPtr<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_ActivationTestThing, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               factory.PutVoid()),
              S_OK);
    CoFreeUnusedLibraries();
    EXPECT_TRUE(ServerLoaded());
    platform::ComPtr<IActivationTestThing> thing;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IActivationTestThing, thing.PutVoid()), S_OK);
    EXPECT_EQ(thing->Value(), 7);
    thing.Reset();
    factory.Reset();
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ServerLoaded());
}

TEST_F(ActivationTest, FailuresOfTheRegistrationAreReported) {
    void* ignored = nullptr;
    // Nothing registered.
    EXPECT_EQ(CoCreateInstance(CLSID_Nobody, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ignored),
              REGDB_E_CLASSNOTREG);
    // Only the local-server context asked for: the registry's in-process entry does not count.
    SetClassesRootString(kThingKey, Wide(COM_TEST_SERVER_PATH));
    EXPECT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &ignored),
              REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(ServerLoaded());
    // The library named is missing.
    SetClassesRootString(kThingKey, u"/nonexistent/folder/server.so");
    EXPECT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ignored),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    // A library that is no server.
    SetClassesRootString(kThingKey, u"libm.so.6");
    EXPECT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ignored),
              CO_E_ERRORINDLL);
    // An empty name.
    SetClassesRootString(kThingKey, u"");
    EXPECT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &ignored),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(ignored, nullptr);
}

TEST_F(ActivationTest, ServerRefusingTheClassOrInterfaceLeavesNullOut) {
    // The server is registered for a class it does not serve.
    SetClassesRootString(u"CLSID\\{5E1D0C7C-39B4-4B2F-9A61-2C8E4F7013D5}\\InprocServer32", Wide(COM_TEST_SERVER_PATH));
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_Nobody, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    SetClassesRootString(kThingKey, Wide(COM_TEST_SERVER_PATH));
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory, &out),
              E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    CoFreeUnusedLibraries();
    EXPECT_FALSE(ServerLoaded());
}

TEST_F(ActivationTest, LoaderFaultIsPassedOnAndTheNextCallSucceeds) {
    SetClassesRootString(kThingKey, Wide(COM_TEST_SERVER_PATH));
    platform::testing::FailNthCall("LoadLibraryW", 1, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    platform::ComPtr<IActivationTestThing> thing;
    EXPECT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IActivationTestThing,
                               thing.PutVoid()),
              HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IActivationTestThing,
                               thing.PutVoid()),
              S_OK);
    EXPECT_EQ(thing->Value(), 7);
}

TEST_F(ActivationTest, RegistryFaultReadsAsNotRegistered) {
    SetClassesRootString(kThingKey, Wide(COM_TEST_SERVER_PATH));
    platform::testing::FailNthCall("RegOpenKeyExW", 1, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    void* out = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_ActivationTestThing, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ActivationTest, ProgramIdsResolveThroughTheRegistry) {
    SetClassesRootString(u"Test.Thing.1\\CLSID", u"{5E1D0C7A-39B4-4B2F-9A61-2C8E4F7013D5}");
    SetClassesRootString(u"Test.Broken\\CLSID", u"not a guid");
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(CLSIDFromProgID(u"Test.Thing.1", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_ActivationTestThing));
    EXPECT_EQ(CLSIDFromProgID(u"test.thing.1", &clsid), S_OK);  // names are case-insensitive
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_ActivationTestThing));

    struct Case {
        const char16_t* progid;
        HRESULT expected;
    } cases[] = {{u"Test.Missing", CO_E_CLASSSTRING}, {u"Test.Broken", CO_E_CLASSSTRING}, {u"", CO_E_CLASSSTRING}};
    for (const Case& c : cases) {
        clsid = CLSID_ActivationTestThing;
        EXPECT_EQ(CLSIDFromProgID(c.progid, &clsid), c.expected);
        EXPECT_TRUE(IsEqualCLSID(clsid, GUID_NULL));
    }
    EXPECT_EQ(CLSIDFromProgID(nullptr, &clsid), E_INVALIDARG);
    platform::testing::FailNthCall("CLSIDFromProgID", 1, E_OUTOFMEMORY);
    EXPECT_EQ(CLSIDFromProgID(u"Test.Thing.1", &clsid), E_OUTOFMEMORY);
}

TEST_F(ActivationTest, RegistrarIsServedWithoutRegistration) {
    platform::ComPtr<IUnknown> registrar;
    EXPECT_EQ(CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar, registrar.PutVoid()),
              S_OK);
    EXPECT_TRUE(registrar);
}

}  // namespace
