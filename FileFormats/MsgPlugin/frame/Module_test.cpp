// The built module through its exports, as the vault host uses it: class objects, object
// creation plain and aggregated, the lock count behind DllCanUnloadNow, and the failure paths.
#include <gtest/gtest.h>

#include <functional>

#include <windows.h>

#include "frame/module_test_support.h"
#include "platform_testing.h"

namespace {

using moduletest::ModuleHost;
using platform::testing::CallCount;
using platform::testing::CountCalls;
using platform::testing::FailNthCall;

DEFINE_GUID(CLSID_Unknown, 0x01234567, 0x89AB, 0xCDEF, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF);

template <class T>
T* Query(IUnknown* object, REFIID iid) {
    void* out = nullptr;
    EXPECT_EQ(object->QueryInterface(iid, &out), S_OK);
    return static_cast<T*>(out);
}

// An outer object for aggregation: counts its references and holds the inner non-delegating
// IUnknown; it answers IKivFileFormat and IKivFileNavigator by asking the inner object.
class Outer final : public IUnknown {
public:
    IUnknown* inner = nullptr;
    ULONG refs = 1;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown)) {
            *out = this;
            AddRef();
            return S_OK;
        }
        if (inner) return inner->QueryInterface(iid, out);
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
};

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host_.Loaded()); }
    // Runs create(factory, outer, outerArg) with the class object of `clsid` for an object on its
    // own (outerArg null) and for an aggregated one (outerArg the outer object); once the
    // factory is released, nothing may hold the module.
    void ForPlainAndAggregated(REFCLSID clsid, const std::function<void(IClassFactory*, Outer&, IUnknown*)>& create) {
        IClassFactory* factory = host_.Factory(clsid);
        ASSERT_NE(factory, nullptr);
        for (bool aggregated : {false, true}) {
            Outer outer;
            create(factory, outer, aggregated ? &outer : nullptr);
        }
        factory->Release();
        EXPECT_EQ(host_.CanUnloadNow(), S_OK) << "a half-made object left a lock behind";
    }
    ModuleHost host_;
};

TEST_F(ModuleTest, CanUnloadRightAfterLoading) { EXPECT_EQ(host_.CanUnloadNow(), S_OK); }

// Each thing that holds the module: S_FALSE while it lives, S_OK again once it is gone.
TEST_F(ModuleTest, EveryLiveThingHoldsTheModule) {
    IClassFactory* formats = host_.Factory(CLSID_MsgFormat);
    IClassFactory* files = host_.Factory(CLSID_MsgFile);
    ASSERT_TRUE(formats && files);
    EXPECT_EQ(host_.CanUnloadNow(), S_FALSE) << "outside factory references";
    formats->AddRef();
    formats->Release();

    IUnknown* format = nullptr;
    IUnknown* file = nullptr;
    ASSERT_EQ(formats->CreateInstance(nullptr, IID_IKivFileFormat, reinterpret_cast<void**>(&format)), S_OK);
    ASSERT_EQ(files->CreateInstance(nullptr, IID_IKivFileNavigator, reinterpret_cast<void**>(&file)), S_OK);
    formats->Release();
    files->Release();
    // The module's own cached references remain, and do not hold it.
    EXPECT_EQ(host_.CanUnloadNow(), S_FALSE) << "a format object and a message object";
    format->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_FALSE) << "a message object";
    file->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);

    IClassFactory* again = host_.Factory(CLSID_MsgFile);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->LockServer(TRUE), S_OK);
    again->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_FALSE) << "LockServer(TRUE)";
    // The lock is the module's, not the factory's: any factory gives it back.
    IClassFactory* other = host_.Factory(CLSID_MsgFormat);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->LockServer(FALSE), S_OK);
    other->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);
}

TEST_F(ModuleTest, EachReferenceToAFactoryHoldsTheModuleUntilTheLast) {
    IClassFactory* factory = host_.Factory(CLSID_MsgFormat);
    ASSERT_TRUE(factory);
    factory->AddRef();
    factory->AddRef();
    factory->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_FALSE);
    factory->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_FALSE);
    factory->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);
}

TEST_F(ModuleTest, TheProxyStubClassObjectHoldsTheModule) {
    void* buffer = nullptr;
    ASSERT_EQ(host_.GetClassObject(IID_IMsgFormat, IID_IPSFactoryBuffer, &buffer), S_OK);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(host_.CanUnloadNow(), S_FALSE);
    static_cast<IUnknown*>(buffer)->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);
    // It is not an ordinary class: no class factory is served under its id.
    void* factory = reinterpret_cast<void*>(1);
    EXPECT_EQ(host_.GetClassObject(IID_IMsgFormat, IID_IClassFactory, &factory), E_NOINTERFACE);
    EXPECT_EQ(factory, nullptr);
}

TEST_F(ModuleTest, TheSameFactoryEachTime) {
    for (const CLSID* clsid : {&CLSID_MsgFile, &CLSID_MsgFormat}) {
        IClassFactory* first = host_.Factory(*clsid);
        IClassFactory* second = host_.Factory(*clsid);
        void* asUnknown = nullptr;
        ASSERT_EQ(host_.GetClassObject(*clsid, IID_IUnknown, &asUnknown), S_OK);
        EXPECT_EQ(first, second);
        EXPECT_EQ(static_cast<IUnknown*>(asUnknown), static_cast<IUnknown*>(first));
        static_cast<IUnknown*>(asUnknown)->Release();
        first->Release();
        second->Release();
    }
    IClassFactory* files = host_.Factory(CLSID_MsgFile);
    IClassFactory* formats = host_.Factory(CLSID_MsgFormat);
    EXPECT_NE(files, formats);
    files->Release();
    formats->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);
}

TEST_F(ModuleTest, ClassObjectRequestsThatFail) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(host_.GetClassObject(CLSID_Unknown, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(host_.GetClassObject(CLSID_FallbackFileFormat, IID_IUnknown, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    for (const CLSID* clsid : {&CLSID_MsgFile, &CLSID_MsgFormat}) {
        out = reinterpret_cast<void*>(1);
        EXPECT_EQ(host_.GetClassObject(*clsid, IID_IKivFileFormat, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(host_.GetClassObject(*clsid, IID_IClassFactory, nullptr), E_POINTER);
    }
    EXPECT_EQ(host_.GetClassObject(CLSID_Unknown, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);
}

TEST_F(ModuleTest, CreateInstanceOfEachClass) {
    struct Case {
        const CLSID* clsid;
        const IID* identity;
        const IID* hostInterface;
    };
    for (const Case& c : {Case{&CLSID_MsgFile, &IID_IMsgFile, &IID_IKivFileNavigator},
                          Case{&CLSID_MsgFormat, &IID_IMsgFormat, &IID_IKivFileFormat}}) {
        IClassFactory* factory = host_.Factory(*c.clsid);
        ASSERT_TRUE(factory);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);

        IUnknown* object = nullptr;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
        factory->Release();
        // The identity interface is the IUnknown; the host's interface is another face of it.
        IUnknown* identity = Query<IUnknown>(object, *c.identity);
        IUnknown* hostFace = Query<IUnknown>(object, *c.hostInterface);
        EXPECT_EQ(identity, object);
        EXPECT_NE(hostFace, object);
        IUnknown* back = Query<IUnknown>(hostFace, IID_IUnknown);
        EXPECT_EQ(back, object);
        out = reinterpret_cast<void*>(1);
        EXPECT_EQ(object->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
        // Four references now: the count goes back down to zero exactly.
        EXPECT_EQ(back->Release(), 3u);
        EXPECT_EQ(hostFace->Release(), 2u);
        EXPECT_EQ(identity->Release(), 1u);
        EXPECT_EQ(host_.CanUnloadNow(), S_FALSE);
        EXPECT_EQ(object->Release(), 0u);
        EXPECT_EQ(host_.CanUnloadNow(), S_OK);
    }
}

TEST_F(ModuleTest, AggregatedObjects) {
    for (const CLSID* clsid : {&CLSID_MsgFile, &CLSID_MsgFormat}) {
        const IID& hostInterface = IsEqualCLSID(*clsid, CLSID_MsgFile) ? IID_IKivFileNavigator : IID_IKivFileFormat;
        IClassFactory* factory = host_.Factory(*clsid);
        ASSERT_TRUE(factory);
        Outer outer;
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(factory->CreateInstance(&outer, hostInterface, &out), CLASS_E_NOAGGREGATION);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, nullptr), E_POINTER);

        ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
        factory->Release();
        ASSERT_NE(outer.inner, nullptr);
        EXPECT_EQ(outer.refs, 1u) << "creation must not leave references on the outer object";
        EXPECT_NE(outer.inner, static_cast<IUnknown*>(&outer));

        // The non-delegating IUnknown answers IID_IUnknown with itself...
        IUnknown* self = Query<IUnknown>(outer.inner, IID_IUnknown);
        EXPECT_EQ(self, outer.inner);
        EXPECT_EQ(self->Release(), 1u);
        // ...and reaches the inner interfaces, whose IUnknown is the outer object's.
        IUnknown* face = Query<IUnknown>(outer.inner, hostInterface);
        ASSERT_NE(face, nullptr);
        EXPECT_EQ(outer.refs, 2u);
        IUnknown* identity = Query<IUnknown>(face, IID_IUnknown);
        EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
        identity->Release();
        IUnknown* again = Query<IUnknown>(face, hostInterface);  // through the outer object
        EXPECT_EQ(again, face);
        again->Release();
        face->Release();
        EXPECT_EQ(outer.refs, 1u);

        EXPECT_EQ(host_.CanUnloadNow(), S_FALSE) << "an aggregated object holds the module";
        EXPECT_EQ(outer.inner->Release(), 0u);
        outer.inner = nullptr;
        EXPECT_EQ(host_.CanUnloadNow(), S_OK);
        EXPECT_EQ(outer.refs, 1u);
    }
}

TEST_F(ModuleTest, FormatObjectAnswersIMarshal) {
    IClassFactory* factory = host_.Factory(CLSID_MsgFormat);
    ASSERT_TRUE(factory);
    IUnknown* format = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKivFileFormat, reinterpret_cast<void**>(&format)), S_OK);
    IMarshal* marshal = Query<IMarshal>(format, IID_IMarshal);
    ASSERT_NE(marshal, nullptr);
    // The marshaler is aggregated: its IUnknown is the format object's.
    IUnknown* identity = Query<IUnknown>(marshal, IID_IUnknown);
    IUnknown* formatIdentity = Query<IUnknown>(format, IID_IUnknown);
    EXPECT_EQ(identity, formatIdentity);
    IUnknown* back = Query<IUnknown>(marshal, IID_IKivFileFormat);
    EXPECT_EQ(back, format);
    EXPECT_EQ(marshal->DisconnectObject(0), S_OK);
    back->Release();
    identity->Release();
    formatIdentity->Release();
    EXPECT_EQ(marshal->Release(), 1u);
    EXPECT_EQ(format->Release(), 0u);

    // A message object is an apartment object: no marshaler.
    IClassFactory* files = host_.Factory(CLSID_MsgFile);
    IUnknown* file = nullptr;
    ASSERT_EQ(files->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&file)), S_OK);
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(file->QueryInterface(IID_IMarshal, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    file->Release();
    files->Release();
    factory->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);
}

TEST_F(ModuleTest, MessageObjectFromItsFactoryIsEmpty) {
    IClassFactory* factory = host_.Factory(CLSID_MsgFile);
    ASSERT_TRUE(factory);
    CountCalls("StgOpenStorage");
    CountCalls("IMessage::SetProps");
    CountCalls("IMessage::SaveChanges");
    IKivFileNavigator* file = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKivFileNavigator, reinterpret_cast<void**>(&file)), S_OK);
    factory->Release();

    const char16_t* attributes[] = {u"SUBJECT", u"BODY", u"ATTACHMENTS", u"CREATION_TIME", u"3604511"};
    VariableRequest records[5] = {};
    for (int i = 0; i < 5; ++i) {
        records[i].attribute = SysAllocString(attributes[i]);
        records[i].block = SysAllocString(u"MSG");
        records[i].found = 7;
    }
    EXPECT_EQ(file->ReadVariables(0, 0, 0, 5, records), S_OK);
    for (const VariableRequest& record : records) {
        EXPECT_EQ(record.found, 0) << "nothing is found in an object opened on no file";
        EXPECT_EQ(record.value.vt, VT_EMPTY);
    }
    // Writing finds nothing to replace, so saving has nothing to send.
    records[0].value.vt = VT_BSTR;
    records[0].value.bstrVal = SysAllocString(u"new subject");
    EXPECT_EQ(file->WriteVariables(0, 0, 0, 1, records), S_OK);
    EXPECT_EQ(records[0].found, 0);
    EXPECT_EQ(file->Save(), S_OK);
    EXPECT_EQ(CallCount("StgOpenStorage"), 0u);
    EXPECT_EQ(CallCount("IMessage::SetProps"), 0u);
    EXPECT_EQ(CallCount("IMessage::SaveChanges"), 0u);
    for (VariableRequest& record : records) {
        SysFreeString(record.attribute);
        SysFreeString(record.block);
        VariantClear(&record.value);
    }
    EXPECT_EQ(file->Release(), 0u);
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);
}

// ---- Failure paths -------------------------------------------------------------------------

// The object lock and the factory's critical section: a failure with a zero last error counts
// as success; any other code is the result, and nothing is left behind.
TEST_F(ModuleTest, CriticalSectionFailureOfTheFactory) {
    void* out = reinterpret_cast<void*>(1);
    FailNthCall("InitializeCriticalSectionAndSpinCount", 1, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(host_.GetClassObject(CLSID_MsgFormat, IID_IClassFactory, &out), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);
    // Nothing was cached: the next request creates the factory.
    IClassFactory* factory = host_.Factory(CLSID_MsgFormat);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(CallCount("InitializeCriticalSectionAndSpinCount"), 2u);
    factory->Release();

    // Codes already negative are taken as they are.
    FailNthCall("InitializeCriticalSectionAndSpinCount", 1, E_POINTER);
    EXPECT_EQ(host_.GetClassObject(CLSID_MsgFile, IID_IClassFactory, &out), E_POINTER);

    FailNthCall("InitializeCriticalSectionAndSpinCount", 1, S_OK);  // fails with last error 0
    factory = host_.Factory(CLSID_MsgFile);
    ASSERT_NE(factory, nullptr);
    IUnknown* file = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&file)), S_OK);
    file->Release();
    factory->Release();
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);
}

TEST_F(ModuleTest, CriticalSectionFailureOfTheFormatObject) {
    ForPlainAndAggregated(CLSID_MsgFormat, [&](IClassFactory* factory, Outer& outer, IUnknown* outerArg) {
        void* out = reinterpret_cast<void*>(1);
        FailNthCall("InitializeCriticalSectionAndSpinCount", 1, HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
        CountCalls("CoCreateFreeThreadedMarshaler");
        EXPECT_EQ(factory->CreateInstance(outerArg, IID_IUnknown, &out), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(CallCount("CoCreateFreeThreadedMarshaler"), 0u) << "no marshaler after a failed lock";
        EXPECT_EQ(outer.refs, 1u);

        // A zero last error: the object is made, with its marshaler.
        FailNthCall("InitializeCriticalSectionAndSpinCount", 1, S_OK);
        IUnknown* format = nullptr;
        ASSERT_EQ(factory->CreateInstance(outerArg, IID_IUnknown, reinterpret_cast<void**>(&format)), S_OK);
        void* marshal = nullptr;
        EXPECT_EQ(format->QueryInterface(IID_IMarshal, &marshal), S_OK);
        if (marshal) static_cast<IUnknown*>(marshal)->Release();
        EXPECT_EQ(format->Release(), 0u);
        EXPECT_EQ(outer.refs, 1u);
    });
}

TEST_F(ModuleTest, FreeThreadedMarshalerFailure) {
    ForPlainAndAggregated(CLSID_MsgFormat, [&](IClassFactory* factory, Outer& outer, IUnknown* outerArg) {
        void* out = reinterpret_cast<void*>(1);
        FailNthCall("CoCreateFreeThreadedMarshaler", 1, E_OUTOFMEMORY);
        EXPECT_EQ(factory->CreateInstance(outerArg, IID_IUnknown, &out), E_OUTOFMEMORY);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(outer.refs, 1u);
        FailNthCall("CoCreateFreeThreadedMarshaler", 1, E_UNEXPECTED);
        EXPECT_EQ(factory->CreateInstance(outerArg, IID_IUnknown, &out), E_UNEXPECTED);
        EXPECT_EQ(out, nullptr);
    });
}

// Every allocation of a class object or an object can fail: E_OUTOFMEMORY, nothing left.
TEST_F(ModuleTest, AllocationFailures) {
    void* out = reinterpret_cast<void*>(1);
    FailNthCall("HeapAlloc", 1, E_OUTOFMEMORY);
    EXPECT_EQ(host_.GetClassObject(CLSID_MsgFile, IID_IClassFactory, &out), E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CallCount("HeapAlloc"), 1u);
    EXPECT_EQ(host_.CanUnloadNow(), S_OK);

    for (const CLSID* clsid : {&CLSID_MsgFile, &CLSID_MsgFormat}) {
        ForPlainAndAggregated(*clsid, [&](IClassFactory* factory, Outer& outer, IUnknown* outerArg) {
            out = reinterpret_cast<void*>(1);
            FailNthCall("HeapAlloc", 1, E_OUTOFMEMORY);
            EXPECT_EQ(factory->CreateInstance(outerArg, IID_IUnknown, &out), E_OUTOFMEMORY);
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(CallCount("HeapAlloc"), 1u) << "the object's allocation comes first";
            EXPECT_EQ(outer.refs, 1u);
        });
    }
}

// The framework refuses to start when not even 8 KB can be allocated at load: the module then
// serves nothing and registers nothing, and still unloads.
TEST(ModuleStart, RefusedWithoutAnEightKilobyteBlock) {
    platform::testing::ScopedTempRegistry registry;
    FailNthCall("HeapAlloc", 1, E_OUTOFMEMORY);
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    EXPECT_EQ(CallCount("HeapAlloc"), 1u);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(host.GetClassObject(CLSID_MsgFormat, IID_IClassFactory, &out), E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(host.RegisterServer(), E_OUTOFMEMORY);
    EXPECT_EQ(host.UnregisterServer(), E_OUTOFMEMORY);
    EXPECT_EQ(host.CanUnloadNow(), S_OK);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, u"CLSID", 0, KEY_READ, &key), ERROR_SUCCESS);
}

TEST(ModuleStart, StartsWhenTheBlockCanBeHad) {
    CountCalls("HeapAlloc");
    CountCalls("HeapFree");
    ModuleHost host;
    ASSERT_TRUE(host.Loaded());
    EXPECT_EQ(CallCount("HeapAlloc"), 1u) << "the probe block";
    EXPECT_EQ(CallCount("HeapFree"), 1u) << "given back at once";
    IClassFactory* factory = host.Factory(CLSID_MsgFormat);
    ASSERT_NE(factory, nullptr);
    factory->Release();
}

}  // namespace
