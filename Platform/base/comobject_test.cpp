#include "base/comobject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/comptr.h"

namespace {

struct IFirst : IUnknown {
    STDMETHOD_(int, First)() PURE;
};
struct ISecond : IUnknown {
    STDMETHOD_(int, Second)() PURE;
};
struct IDerivedSecond : ISecond {
    STDMETHOD_(int, Third)() PURE;
};
DEFINE_GUID(IID_IFirst, 0x6A0E1F01, 0x1111, 0x4C2B, 0x9E, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01);
DEFINE_GUID(IID_ISecond, 0x6A0E1F01, 0x1111, 0x4C2B, 0x9E, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02);
DEFINE_GUID(IID_IDerivedSecond, 0x6A0E1F01, 0x1111, 0x4C2B, 0x9E, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03);
DEFINE_GUID(IID_INotServed, 0x6A0E1F01, 0x1111, 0x4C2B, 0x9E, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04);

using platform::ComObject;
using platform::ComPtr;
using platform::Serves;

std::atomic<int> g_destroyed{0};

class TwoFaced final
    : public ComObject<Serves<IFirst, IID_IFirst>, Serves<IDerivedSecond, IID_IDerivedSecond, IID_ISecond>> {
public:
    TwoFaced() = default;
    explicit TwoFaced(ULONG initialCount) : ComObject(initialCount) {}
    ~TwoFaced() override { ++g_destroyed; }
    STDMETHODIMP_(int) First() override { return 1; }
    STDMETHODIMP_(int) Second() override { return 2; }
    STDMETHODIMP_(int) Third() override { return 3; }
};

class Everlasting final : public platform::StaticComObject<Serves<IFirst, IID_IFirst>> {
public:
    STDMETHODIMP_(int) First() override { return 11; }
};

// The count after one more reference, read back through the return values of AddRef/Release.
ULONG CountOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

class ComObjectTest : public ::testing::Test {
protected:
    void SetUp() override { g_destroyed = 0; }
};

TEST_F(ComObjectTest, EveryListedIidAnswersWithItsInterfaceAndAddsAReference) {
    ComPtr<IFirst> first = ComPtr<IFirst>(new TwoFaced);
    EXPECT_EQ(CountOf(first.Get()), 1u);

    ComPtr<ISecond> second;
    ASSERT_EQ(first->QueryInterface(IID_ISecond, second.PutVoid()), S_OK);
    EXPECT_EQ(second->Second(), 2);
    ComPtr<IDerivedSecond> derived;
    ASSERT_EQ(second->QueryInterface(IID_IDerivedSecond, derived.PutVoid()), S_OK);
    EXPECT_EQ(derived->Third(), 3);
    EXPECT_EQ(static_cast<ISecond*>(derived.Get()), second.Get());
    ComPtr<IFirst> again;
    ASSERT_EQ(derived->QueryInterface(IID_IFirst, again.PutVoid()), S_OK);
    EXPECT_EQ(again.Get(), first.Get());
    EXPECT_EQ(again->First(), 1);
    EXPECT_EQ(CountOf(first.Get()), 4u);
}

TEST_F(ComObjectTest, IUnknownIsTheSamePointerThroughEveryInterface) {
    ComPtr<IFirst> first = ComPtr<IFirst>(new TwoFaced);
    ComPtr<ISecond> second;
    ASSERT_EQ(first->QueryInterface(IID_ISecond, second.PutVoid()), S_OK);
    ASSERT_NE(static_cast<void*>(first.Get()), static_cast<void*>(second.Get()));

    ComPtr<IUnknown> viaFirst, viaSecond, viaUnknown;
    ASSERT_EQ(first->QueryInterface(IID_IUnknown, viaFirst.PutVoid()), S_OK);
    ASSERT_EQ(second->QueryInterface(IID_IUnknown, viaSecond.PutVoid()), S_OK);
    ASSERT_EQ(viaSecond->QueryInterface(IID_IUnknown, viaUnknown.PutVoid()), S_OK);
    EXPECT_EQ(viaFirst.Get(), viaSecond.Get());
    EXPECT_EQ(viaUnknown.Get(), viaFirst.Get());
    EXPECT_EQ(viaFirst.Get(), static_cast<IUnknown*>(first.Get()));
}

TEST_F(ComObjectTest, AnUnservedIidClearsTheOutPointerAndANullOutPointerIsRefused) {
    ComPtr<IFirst> first = ComPtr<IFirst>(new TwoFaced);
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(first->QueryInterface(IID_INotServed, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(first->QueryInterface(IID_IFirst, nullptr), E_POINTER);
    EXPECT_EQ(first->QueryInterface(IID_INotServed, nullptr), E_POINTER);
    EXPECT_EQ(CountOf(first.Get()), 1u);  // neither added a reference
}

TEST_F(ComObjectTest, TheObjectIsDestroyedOnceWhenTheLastReferenceGoes) {
    auto* object = new TwoFaced;
    EXPECT_EQ(object->AddRef(), 1u);
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(g_destroyed.load(), 0);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(g_destroyed.load(), 1);

    auto* handedOut = new TwoFaced(1);  // starts with its creator's reference
    EXPECT_EQ(static_cast<IFirst*>(handedOut)->Release(), 0u);
    EXPECT_EQ(g_destroyed.load(), 2);
}

// Runs body(thread) on kThreads threads that start together, so that their counting overlaps.
template <class Body>
void OnManyThreads(int threadCount, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < threadCount) std::this_thread::yield();
            body(t);
        });
    }
    for (auto& thread : threads) thread.join();
}

TEST_F(ComObjectTest, CountingFromManyThreadsLosesNoReference) {
    IFirst* first = new TwoFaced;
    first->AddRef();
    constexpr int kThreads = 8;
    constexpr ULONG kRounds = 200000;
    // Every thread takes its references, then gives them back: a lost update shows in the count.
    OnManyThreads(kThreads, [first](int) {
        for (ULONG i = 0; i < kRounds; ++i) first->AddRef();
    });
    EXPECT_EQ(CountOf(first), 1 + kThreads * kRounds);
    OnManyThreads(kThreads, [first](int t) {
        for (ULONG i = 0; i < kRounds; ++i) {
            if (t % 2) {
                first->Release();
                continue;
            }
            ISecond* second = nullptr;  // a reference through QueryInterface, and two given back
            if (SUCCEEDED(first->QueryInterface(IID_ISecond, reinterpret_cast<void**>(&second)))) {
                second->Release();
                first->Release();
            }
        }
    });
    EXPECT_EQ(g_destroyed.load(), 0);
    EXPECT_EQ(CountOf(first), 1u);
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(g_destroyed.load(), 1);
}

TEST_F(ComObjectTest, AProcessLifetimeObjectAnswersTheSameTableAndIsNeverDestroyed) {
    static Everlasting everlasting;
    IFirst* first = nullptr;
    ASSERT_EQ(everlasting.QueryInterface(IID_IFirst, reinterpret_cast<void**>(&first)), S_OK);
    EXPECT_EQ(first->First(), 11);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(first->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown, static_cast<IUnknown*>(first));
    void* out = &everlasting;
    EXPECT_EQ(first->QueryInterface(IID_ISecond, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_GE(first->Release(), 1u);
    EXPECT_EQ(first->First(), 11);
}

}  // namespace
