#include <gtest/gtest.h>

#include <windows.h>

#include "base/comobject.h"
#include "base/comptr.h"
#include "platform_testing.h"

namespace {

DEFINE_GUID(CLSID_TestThing, 0x06AB9BCB, 0x6B92, 0x4F36, 0x84, 0x75, 0x07, 0x98, 0xFF, 0xFB, 0xA0, 0xE7);
DEFINE_GUID(IID_ITestThing, 0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);

struct ITestThing : IUnknown {
    STDMETHOD_(int, Value)() PURE;
};

// A reference-counted object that counts its live instances.
class Thing final : public platform::ComObject<platform::Serves<ITestThing, IID_ITestThing>> {
public:
    static inline int live = 0;
    Thing() { ++live; }
    ~Thing() override { --live; }
    STDMETHODIMP_(int) Value() override { return 42; }
};

class ThingFactory final : public IClassFactory {
public:
    ULONG refs = 1;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer) return CLASS_E_NOAGGREGATION;
        return platform::NewObjectAs<Thing>(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

TEST(ClassTable, UnregisteredClassIsNotRegistered) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_LOCAL_SERVER, IID_ITestThing, &out),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, IID_ITestThing, &out),
              REGDB_E_CLASSNOTREG);
}

TEST(ClassTable, RegisteredClassIsCreatedInItsContextOnly) {
    ThingFactory factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_TestThing, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    EXPECT_NE(cookie, 0u);
    EXPECT_EQ(factory.refs, 2u);  // the table holds a reference

    platform::ComPtr<ITestThing> thing;
    ASSERT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_LOCAL_SERVER, IID_ITestThing, thing.PutVoid()),
              S_OK);
    EXPECT_EQ(thing->Value(), 42);
    EXPECT_EQ(Thing::live, 1);
    thing.Reset();
    EXPECT_EQ(Thing::live, 0);

    // The context is honoured: a local server does not serve in-process requests.
    void* out = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_INPROC_SERVER, IID_ITestThing, &out),
              REGDB_E_CLASSNOTREG);
    // Errors of the factory come back unchanged.
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, reinterpret_cast<IUnknown*>(&factory), CLSCTX_LOCAL_SERVER,
                               IID_ITestThing, &out),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);

    EXPECT_EQ(factory.refs, 2u);
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_EQ(factory.refs, 1u);
    EXPECT_TRUE(FAILED(CoRevokeClassObject(cookie)));
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_LOCAL_SERVER, IID_ITestThing, &out),
              REGDB_E_CLASSNOTREG);
}

TEST(ClassTable, SingleUseServesOnce) {
    ThingFactory factory;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_TestThing, &factory, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie), S_OK);
    platform::ComPtr<ITestThing> first, second;
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_LOCAL_SERVER, IID_ITestThing, first.PutVoid()), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_LOCAL_SERVER, IID_ITestThing, second.PutVoid()),
              REGDB_E_CLASSNOTREG);
    CoRevokeClassObject(cookie);
}

TEST(ClassTable, FaultInjectionOnCreation) {
    platform::testing::FailNthCall("CoCreateInstance", 1, E_OUTOFMEMORY);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(CLSID_TestThing, nullptr, CLSCTX_ALL, IID_ITestThing, &out), E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
}

// An outer object that aggregates the free-threaded marshaler, as a free-threaded COM object does.
class Outer final : public ITestThing {
public:
    ULONG refs = 1;
    IUnknown* marshaler = nullptr;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ITestThing)) {
            *ppv = static_cast<ITestThing*>(this);
            AddRef();
            return S_OK;
        }
        if (IsEqualIID(riid, IID_IMarshal) && marshaler) return marshaler->QueryInterface(riid, ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    STDMETHODIMP_(int) Value() override { return 7; }
};

TEST(FreeThreadedMarshaler, AggregatesAndDelegatesIdentity) {
    Outer outer;
    ASSERT_EQ(CoCreateFreeThreadedMarshaler(&outer, &outer.marshaler), S_OK);
    ASSERT_NE(outer.marshaler, nullptr);
    EXPECT_EQ(outer.refs, 1u);  // creating the aggregate takes no reference on the outer object

    IMarshal* marshal = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)), S_OK);
    ASSERT_NE(marshal, nullptr);
    // The IMarshal's IUnknown is the outer object's: references and identity go there.
    EXPECT_EQ(outer.refs, 2u);
    ITestThing* back = nullptr;
    ASSERT_EQ(marshal->QueryInterface(IID_ITestThing, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back, static_cast<ITestThing*>(&outer));
    EXPECT_EQ(outer.refs, 3u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(marshal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    back->Release();
    marshal->Release();
    EXPECT_EQ(outer.refs, 1u);

    // The non-delegating IUnknown answers only IUnknown and IMarshal.
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(outer.marshaler->QueryInterface(IID_ITestThing, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(outer.marshaler->Release(), 0u);
}

TEST(FreeThreadedMarshaler, CreationFailureLeavesNull) {
    platform::testing::FailNthCall("CoCreateFreeThreadedMarshaler", 1, E_OUTOFMEMORY);
    Outer outer;
    IUnknown* marshaler = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(CoCreateFreeThreadedMarshaler(&outer, &marshaler), E_OUTOFMEMORY);
    EXPECT_EQ(marshaler, nullptr);
}

TEST(GuidText, RoundTripAndRejects) {
    OLECHAR text[39];
    EXPECT_EQ(StringFromGUID2(CLSID_TestThing, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{06AB9BCB-6B92-4F36-8475-0798FFFBA0E7}");
    EXPECT_EQ(StringFromGUID2(CLSID_TestThing, text, 38), 0);

    CLSID parsed{};
    EXPECT_EQ(CLSIDFromString(u"{06ab9bcb-6b92-4f36-8475-0798fffba0e7}", &parsed), S_OK);
    EXPECT_TRUE(IsEqualCLSID(parsed, CLSID_TestThing));
    IID iid{};
    EXPECT_EQ(IIDFromString(u"{06AB9BCB-6B92-4F36-8475-0798FFFBA0E}", &iid), E_INVALIDARG);
    EXPECT_EQ(IIDFromString(u"{06AB9BCB-6B92-4F36-8475-0798FFFBA0E7}x", &iid), E_INVALIDARG);
    EXPECT_EQ(IIDFromString(u"{06AB9BCB_6B92-4F36-8475-0798FFFBA0E7}", &iid), E_INVALIDARG);
    EXPECT_EQ(IIDFromString(u"{06AB9BCB-6B92-4F36-8475-0798FFFBA0EG}", &iid), E_INVALIDARG);

    LPOLESTR allocated = nullptr;
    ASSERT_EQ(StringFromCLSID(CLSID_TestThing, &allocated), S_OK);
    EXPECT_EQ(std::u16string(allocated), u"{06AB9BCB-6B92-4F36-8475-0798FFFBA0E7}");
    CoTaskMemFree(allocated);
}

TEST(Apartment, CountsAndModels) {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
}

}  // namespace
