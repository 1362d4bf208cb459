// The object model linked directly: exact module lock counts, the module's stop while a class
// factory is still referenced from outside, concurrent first requests for a factory, and the
// count deposited in a dying object.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <windows.h>

#include "frame/ComObjects.h"
#include "frame/HostInterfaces.h"
#include "frame/MsgPluginApp.h"
#include "frame/MsgPluginInterfaces.h"
#include "platform_testing.h"

namespace msgplugin {
namespace {

using platform::testing::CallCount;
using platform::testing::CountCalls;
using platform::testing::FailNthCall;

class ObjectModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TheApp().InitInstance());
        ASSERT_EQ(Module().GetLockCount(), 0);
    }
    void TearDown() override {
        TheApp().ExitInstance();
        EXPECT_EQ(Module().GetLockCount(), 0);
    }
};

IClassFactory* FactoryOf(REFCLSID clsid) {
    void* out = nullptr;
    EXPECT_EQ(GetClassObjectFromMap(clsid, IID_IClassFactory, &out), S_OK);
    return static_cast<IClassFactory*>(out);
}

TEST_F(ObjectModelTest, LockCountFollowsObjectsFactoriesAndServerLocks) {
    IClassFactory* factory = FactoryOf(CLSID_MsgFormat);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(Module().GetLockCount(), 1) << "one outside reference";
    factory->AddRef();
    EXPECT_EQ(Module().GetLockCount(), 1) << "further references take no further lock";
    factory->Release();
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&a)), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&b)), S_OK);
    EXPECT_EQ(Module().GetLockCount(), 3);
    factory->LockServer(TRUE);
    factory->LockServer(TRUE);
    EXPECT_EQ(Module().GetLockCount(), 5);
    factory->LockServer(FALSE);
    factory->LockServer(FALSE);
    a->Release();
    b->Release();
    EXPECT_EQ(Module().GetLockCount(), 1);
    factory->Release();
    EXPECT_EQ(Module().GetLockCount(), 0);

    // A failed creation leaves the count as it was.
    factory = FactoryOf(CLSID_MsgFile);
    FailNthCall("HeapAlloc", 1, E_OUTOFMEMORY);
    void* out = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &out), E_OUTOFMEMORY);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IKivFileFormat, &out), E_NOINTERFACE);
    EXPECT_EQ(Module().GetLockCount(), 1);
    factory->Release();
}

// The module's stop drops only its own reference: the outside one keeps the factory working,
// and its release afterwards destroys it.
TEST_F(ObjectModelTest, StopWithAFactoryStillReferencedFromOutside) {
    IClassFactory* factory = FactoryOf(CLSID_MsgFormat);
    ASSERT_NE(factory, nullptr);
    IClassFactory* files = FactoryOf(CLSID_MsgFile);
    files->Release();  // only the module's own reference is left on this one
    CountCalls("HeapFree");

    TheApp().ExitInstance();
    for (ObjectMapEntry* entry = ObjectMap(); entry->clsid; ++entry) EXPECT_EQ(entry->cachedFactory.load(), nullptr);
    EXPECT_EQ(CallCount("HeapFree"), 1u) << "the unreferenced factory is destroyed, the referenced one is not";

    IUnknown* format = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IKivFileFormat, reinterpret_cast<void**>(&format)), S_OK);
    BSTR name = nullptr, description = nullptr, extensions = nullptr;
    EXPECT_EQ(static_cast<IKivFileFormat*>(static_cast<void*>(format))->GetInfo(&name, &description, &extensions), S_OK);
    SysFreeString(name);
    SysFreeString(description);
    SysFreeString(extensions);
    format->Release();
    EXPECT_EQ(factory->Release(), 0u) << "the outside reference was the last one";
    EXPECT_EQ(Module().GetLockCount(), 0);

    // Started again, the module creates a new factory.
    ASSERT_TRUE(TheApp().InitInstance());
    IClassFactory* again = FactoryOf(CLSID_MsgFormat);
    ASSERT_NE(again, nullptr);
    again->Release();
}

TEST_F(ObjectModelTest, ConcurrentFirstRequestsCreateOneFactory) {
    CountCalls("InitializeCriticalSectionAndSpinCount");  // one per factory; message objects take none
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<IUnknown*> got(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            void* out = nullptr;
            if (GetClassObjectFromMap(CLSID_MsgFile, IID_IUnknown, &out) == S_OK) got[i] = static_cast<IUnknown*>(out);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(CallCount("InitializeCriticalSectionAndSpinCount"), 1u);
    for (IUnknown* factory : got) {
        EXPECT_EQ(factory, got[0]);
        if (factory) factory->Release();
    }
    EXPECT_EQ(Module().GetLockCount(), 0);
}

// The runtime asks whether the module may be unloaded from any thread, while other threads
// create and release objects: the count it reads is never torn or lost, and ends at zero.
TEST_F(ObjectModelTest, LockCountReadWhileObjectsComeAndGoOnOtherThreads) {
    IClassFactory* factory = FactoryOf(CLSID_MsgFormat);
    ASSERT_NE(factory, nullptr);
    constexpr int kThreads = 4, kObjects = 2000;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < kObjects; ++n) {
                IUnknown* object = nullptr;
                if (factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)) != S_OK) break;
                IUnknown* second = nullptr;
                object->QueryInterface(IID_IKivFileFormat, reinterpret_cast<void**>(&second));
                if (second) second->Release();
                object->Release();
            }
        });
    std::thread joiner([&] {
        for (std::thread& thread : threads) thread.join();
        done = true;
    });
    LONG lowest = 1, highest = 1;
    while (!done.load()) {
        const LONG count = Module().GetLockCount();
        lowest = std::min(lowest, count);
        highest = std::max(highest, count);
    }
    joiner.join();
    EXPECT_GE(lowest, 1) << "the outside reference to the factory holds one lock throughout";
    EXPECT_LE(highest, 1 + 2 * kThreads) << "the factory, and per thread a live object and its destruction's own";
    EXPECT_EQ(Module().GetLockCount(), 1);
    factory->Release();
    EXPECT_EQ(Module().GetLockCount(), 0);
}

// A class whose final release hands out and drops a reference to itself.
class Reentrant : public ComObjectRoot<MultiThreadModel>, public IMsgFile {
public:
    static inline int live = 0;
    static inline LONG countSeenAtFinalRelease = 0;
    static const InterfaceEntry* Interfaces() {
        static const InterfaceEntry entries[] = {
            InterfaceOf<Reentrant, IMsgFile>(IID_IMsgFile),
            {nullptr, 0, nullptr},
        };
        return entries;
    }
    Reentrant() { ++live; }
    virtual ~Reentrant() { --live; }
    void FinalRelease() {
        countSeenAtFinalRelease = RefCountForTesting();
        IUnknown* self = static_cast<IMsgFile*>(this);
        self->AddRef();
        self->Release();  // must not destroy the object a second time
    }
};

TEST_F(ObjectModelTest, DyingObjectCannotBeDestroyedTwice) {
    void* out = nullptr;
    ASSERT_EQ(CreateObject<Reentrant>(nullptr, IID_IMsgFile, &out), S_OK);
    EXPECT_EQ(Reentrant::live, 1);
    EXPECT_EQ(Module().GetLockCount(), 1);
    EXPECT_EQ(static_cast<IUnknown*>(out)->Release(), 0u);
    EXPECT_EQ(Reentrant::countSeenAtFinalRelease, static_cast<LONG>(0xC0000001));
    EXPECT_EQ(Reentrant::live, 0);
    EXPECT_EQ(Module().GetLockCount(), 0);
}

TEST_F(ObjectModelTest, QueryInterfaceOfATable) {
    void* out = reinterpret_cast<void*>(1);
    ASSERT_EQ(CreateObject<Reentrant>(nullptr, IID_IMarshal, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Reentrant::live, 0) << "an object whose interface is refused is destroyed";
    EXPECT_EQ(Module().GetLockCount(), 0);
    EXPECT_EQ(CreateObject<Reentrant>(nullptr, IID_IMsgFile, nullptr), E_POINTER);
    EXPECT_EQ(Reentrant::live, 0);
}

}  // namespace
}  // namespace msgplugin
