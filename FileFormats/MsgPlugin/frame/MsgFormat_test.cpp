// The format object: describing the plug-in, the mail-client probe, the fallback server and
// opening in-process.
#include "frame/MsgFormat.h"

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "frame/MsgPluginApp.h"
#include "message/msgfile_test_support.h"

namespace msgtest {
namespace {

using msgplugin::CComPtr;
using msgplugin::Module;
using msgplugin::TheApp;

// Marks a qualified component as installed, as the installer's table keeps it.
void InstallComponent(const char16_t* category, const char16_t* qualifier) {
    std::u16string key = std::u16string(MSI_QUALIFIED_COMPONENTS_KEY) + u"\\" + category;
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                              &handle, nullptr),
              ERROR_SUCCESS);
    const char16_t path[] = u"/opt/mail/outlook.exe";
    ASSERT_EQ(RegSetValueExW(handle, qualifier, 0, REG_SZ, reinterpret_cast<const BYTE*>(path), sizeof path),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

class Format : public MessageTest {
protected:
    void SetUp() override {
        MessageTest::SetUp();
        TheApp().ExitInstance();  // each test starts with a fresh load: no probe answer yet
        TheApp().InitInstance();
        ASSERT_EQ(msgplugin::CreateObject<msgplugin::CMsgFormat>(nullptr, IID_IKivFileFormat, format.AsVoidOut()), S_OK);
    }
    void TearDown() override {
        format.Release();
        TheApp().ExitInstance();
        MessageTest::TearDown();
    }
    // With a fallback server registered for `context`, a file opens in-process and the server
    // is not asked.
    void ExpectOpenedInProcessBeside(DWORD context);

    CComPtr<IKivFileFormat> format;
};

TEST_F(Format, GetInfoGivesAllThreeTextsOrNothing) {
    BSTR name = nullptr, description = nullptr, extensions = nullptr;
    ASSERT_EQ(format->GetInfo(&name, &description, &extensions), S_OK);
    EXPECT_EQ(std::u16string(name), u"ORVANE KESTREL");
    EXPECT_EQ(std::u16string(description), u"File format plugin for MSG files.");
    EXPECT_EQ(std::u16string(extensions), u"msg");
    SysFreeString(name);
    SysFreeString(description);
    SysFreeString(extensions);

    BSTR marker = reinterpret_cast<BSTR>(0x1);
    BSTR a = marker, b = marker, c = marker;
    EXPECT_EQ(format->GetInfo(nullptr, &b, &c), E_POINTER);
    EXPECT_EQ(format->GetInfo(&a, nullptr, &c), E_POINTER);
    EXPECT_EQ(format->GetInfo(&a, &b, nullptr), E_POINTER);
    EXPECT_EQ(a, marker);
    EXPECT_EQ(b, marker);
    EXPECT_EQ(c, marker);

    for (unsigned failing = 1; failing <= 3; ++failing) {
        platform::testing::ResetFaults();
        platform::testing::ReturnNullOnNthCall("SysAllocString", failing);
        EXPECT_EQ(format->GetInfo(&a, &b, &c), E_OUTOFMEMORY) << failing;
        EXPECT_EQ(a, marker) << "no output is written when any text cannot be made";
        EXPECT_EQ(b, marker);
        EXPECT_EQ(c, marker);
    }
}

TEST_F(Format, ExtensionFlagsAndRefusals) {
    LONG flags = 0;
    BSTR msg = SysAllocString(u"msg");
    BSTR other = SysAllocString(u"eml");
    for (BSTR extension : {msg, other, static_cast<BSTR>(nullptr)}) {
        flags = 0;
        EXPECT_EQ(format->GetExtensionFlags(extension, &flags), S_OK);
        EXPECT_EQ(flags, 8);
    }
    EXPECT_EQ(format->GetExtensionFlags(msg, nullptr), E_POINTER);
    SysFreeString(msg);
    SysFreeString(other);

    IUnknown* out = nullptr;
    EXPECT_EQ(format->UnsupportedA(1, 2, 3, 4, nullptr), E_POINTER);
    EXPECT_EQ(format->UnsupportedA(1, 2, 3, 4, &out), E_NOTIMPL);
    EXPECT_EQ(format->UnsupportedB(1, nullptr), E_POINTER);
    EXPECT_EQ(format->UnsupportedB(1, &out), E_NOTIMPL);
    EXPECT_EQ(out, nullptr);
}

TEST_F(Format, NullOutputRunsNoProbeAndCreatesNothing) {
    platform::testing::CountCalls("MsiProvideQualifiedComponentW");
    const LONG locks = Module().GetLockCount();
    BSTR path = SysAllocString(u"/nowhere.msg");
    EXPECT_EQ(format->OpenFile(path, 0, nullptr), E_POINTER);
    SysFreeString(path);
    EXPECT_EQ(platform::testing::CallCount("MsiProvideQualifiedComponentW"), 0u);
    EXPECT_EQ(Module().GetLockCount(), locks);
}

TEST_F(Format, ProbeLooksForTheSixtyFourBitClientFirst) {
    InstallComponent(u"{1E77DE88-BCAB-4C37-B9E5-073AF52DFD7A}", u"outlook.x64.exe");
    platform::testing::CountCalls("MsiProvideQualifiedComponentW");
    EXPECT_EQ(TheApp().mbHasOutlook64(), 1);
    EXPECT_EQ(platform::testing::CallCount("MsiProvideQualifiedComponentW"), 3u) << "found under the third category";
    EXPECT_EQ(TheApp().mbHasOutlook64(), 1);
    EXPECT_EQ(platform::testing::CallCount("MsiProvideQualifiedComponentW"), 3u) << "the answer is kept";

    int answer = 7;
    EXPECT_EQ(TheApp().mhDetectOutlook64(&answer), S_OK);
    EXPECT_EQ(answer, 1);
}

TEST_F(Format, OnlyTheThirtyTwoBitClientCountsAsNone) {
    InstallComponent(u"{24AAE126-0911-478F-A019-07B875EB9996}", u"outlook.exe");
    int answer = 7;
    platform::testing::CountCalls("MsiProvideQualifiedComponentW");
    EXPECT_EQ(TheApp().mhDetectOutlook64(&answer), S_OK);
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(platform::testing::CallCount("MsiProvideQualifiedComponentW"), 9u);  // 5 + 4

    TheApp().ExitInstance();
    TheApp().InitInstance();
    platform::testing::ResetFaults();
    int none = 7;
    // No client at all.
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Installer", 0, KEY_ALL_ACCESS, &root),
              ERROR_SUCCESS);
    RegDeleteTreeW(root, u"QualifiedComponents");
    RegCloseKey(root);
    EXPECT_EQ(TheApp().mhDetectOutlook64(&none), E_FAIL);
    EXPECT_EQ(none, 0);
}

TEST_F(Format, ConcurrentFirstCallsStoreOneAnswer) {
    InstallComponent(u"{5812C571-53F0-4467-BEFA-0A4F47A9437C}", u"outlook.x64.exe");
    // All threads start together, and the first probe lingers in the installer, so every thread
    // arrives while the first computation is still under way.
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    platform::testing::RunBeforeNthCall(
        "MsiProvideQualifiedComponentW", 1,
        [](void*) { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }, nullptr);
    std::atomic<int> ones{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            start.arrive_and_wait();
            ones += TheApp().mbHasOutlook64();
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(ones.load(), kThreads);
    EXPECT_EQ(platform::testing::CallCount("MsiProvideQualifiedComponentW"), 1u) << "the probe ran once";
}

// A stand-in for the host's out-of-process format server.
class FallbackServer final : public IKivFileFormat, public IClassFactory {
public:
    HRESULT result = S_FALSE;
    int opens = 0;
    LONG_PTR seenContext = 0;
    std::u16string seenPath;
    IKivFileNavigator* handOut = reinterpret_cast<IKivFileNavigator*>(0x5150);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IKivFileFormat)) {
            *ppv = static_cast<IKivFileFormat*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID riid, void** ppv) override { return QueryInterface(riid, ppv); }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
    STDMETHODIMP GetInfo(BSTR*, BSTR*, BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetExtensionFlags(BSTR, LONG*) override { return E_NOTIMPL; }
    IKivFileNavigator* seenIncoming = reinterpret_cast<IKivFileNavigator*>(0x1);  // *navigator on entry

    STDMETHODIMP OpenFile(BSTR path, LONG_PTR context, IKivFileNavigator** navigator) override {
        ++opens;
        seenIncoming = *navigator;
        seenPath = path ? path : u"";
        seenContext = context;
        *navigator = handOut;
        return result;
    }
    STDMETHODIMP UnsupportedA(LONG_PTR, LONG_PTR, LONG_PTR, LONG_PTR, IUnknown**) override { return E_NOTIMPL; }
    STDMETHODIMP UnsupportedB(LONG_PTR, IUnknown**) override { return E_NOTIMPL; }
};

TEST_F(Format, WithoutTheClientTheFallbackServerOpens) {
    FallbackServer server;
    server.result = static_cast<HRESULT>(0x80041234);
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_FallbackFileFormat, static_cast<IClassFactory*>(&server), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    std::string path = Write(msgwriter::MessageSpec{{msgwriter::Unicode(PR_SUBJECT_W, u"x")}, {}});
    const LONG locks = Module().GetLockCount();
    BSTR bstr = SysAllocString(Wide(path).c_str());
    IKivFileNavigator* navigator = reinterpret_cast<IKivFileNavigator*>(0xBAD);  // what the host left there
    EXPECT_EQ(format->OpenFile(bstr, 0x77, &navigator), static_cast<HRESULT>(0x80041234));
    EXPECT_EQ(server.seenIncoming, nullptr) << "the output is set to null before the fallback runs";
    EXPECT_EQ(navigator, server.handOut) << "the fallback's output passes through unchanged";
    EXPECT_EQ(server.opens, 1);
    EXPECT_EQ(server.seenContext, 0x77);
    EXPECT_EQ(server.seenPath, Wide(path));
    EXPECT_EQ(Module().GetLockCount(), locks) << "no message object of the module exists";

    platform::testing::CountCalls("MsiProvideQualifiedComponentW");
    navigator = nullptr;
    EXPECT_EQ(format->OpenFile(bstr, 0, &navigator), static_cast<HRESULT>(0x80041234));
    EXPECT_EQ(platform::testing::CallCount("MsiProvideQualifiedComponentW"), 0u) << "the second open asks no installer";
    SysFreeString(bstr);
    CoRevokeClassObject(cookie);
}

void Format::ExpectOpenedInProcessBeside(DWORD context) {
    FallbackServer server;
    server.handOut = nullptr;
    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_FallbackFileFormat, static_cast<IClassFactory*>(&server), context,
                                    REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    std::string path = Write(msgwriter::MessageSpec{{msgwriter::Unicode(PR_SUBJECT_W, u"in process")}, {}});
    BSTR bstr = SysAllocString(Wide(path).c_str());
    CComPtr<IKivFileNavigator> navigator;
    EXPECT_EQ(format->OpenFile(bstr, 0, &navigator), S_OK);
    EXPECT_EQ(server.opens, 0);
    EXPECT_TRUE(navigator);
    if (navigator) {
        EXPECT_EQ(ReadOne(navigator, u"SUBJECT").text, u"in process");
    }
    SysFreeString(bstr);
    CoRevokeClassObject(cookie);
}

// The fallback server is asked for as a local server only: a class of the same id registered
// for any other context is not it.
TEST_F(Format, TheFallbackServerIsALocalServerOnly) {
    ExpectOpenedInProcessBeside(CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER);
}

TEST_F(Format, WithTheClientTheFallbackServerIsNotAsked) {
    InstallComponent(u"{E83B4360-C208-4325-9504-0D23003A74A5}", u"outlook.x64.exe");
    ExpectOpenedInProcessBeside(CLSCTX_LOCAL_SERVER);
}

TEST_F(Format, WithoutClientOrFallbackTheFileOpensInProcess) {
    std::string path = Write(msgwriter::MessageSpec{{msgwriter::Unicode(PR_SUBJECT_W, u"in process")}, {}});
    const LONG locks = Module().GetLockCount();
    BSTR bstr = SysAllocString(Wide(path).c_str());
    CComPtr<IKivFileNavigator> navigator;
    ASSERT_EQ(format->OpenFile(bstr, 0, &navigator), S_OK);
    EXPECT_EQ(ReadOne(navigator, u"SUBJECT").text, u"in process");
    EXPECT_EQ(Module().GetLockCount(), locks + 1);
    EXPECT_EQ(navigator->AddRef(), 2u) << "the navigator carries one reference";
    navigator->Release();

    // A failing opening comes back unchanged and leaves nothing behind.
    CComPtr<IKivFileNavigator> second;
    EXPECT_EQ(format->OpenFile(bstr, 0, &second), E_MSG_FILE_LOCKED);
    EXPECT_FALSE(second);
    EXPECT_EQ(Module().GetLockCount(), locks + 1);
    navigator.Release();
    EXPECT_EQ(Module().GetLockCount(), locks);
    SysFreeString(bstr);
}

TEST_F(Format, WithTheClientTheFileOpensInProcessAndAllocationFailuresAreReported) {
    InstallComponent(u"{5812C571-53F0-4467-BEFA-0A4F47A9437C}", u"outlook.x64.exe");
    std::string path = Write(msgwriter::MessageSpec{{msgwriter::Unicode(PR_SUBJECT_W, u"x")}, {}});
    BSTR bstr = SysAllocString(Wide(path).c_str());
    const LONG locks = Module().GetLockCount();
    CComPtr<IKivFileNavigator> navigator;
    platform::testing::ReturnNullOnNthCall("SysAllocString", 1);  // the copy of the path
    EXPECT_EQ(format->OpenFile(bstr, 0, &navigator), E_OUTOFMEMORY);
    EXPECT_FALSE(navigator);
    EXPECT_EQ(Module().GetLockCount(), locks);
    platform::testing::ResetFaults();
    EXPECT_EQ(format->OpenFile(bstr, 0, &navigator), S_OK);
    SysFreeString(bstr);
}

TEST_F(Format, InterfacesAndTheMarshaler) {
    CComPtr<IUnknown> identity, viaFormat;
    ASSERT_EQ(format->QueryInterface(IID_IUnknown, identity.AsVoidOut()), S_OK);
    CComPtr<IMsgFormat> own;
    ASSERT_EQ(format->QueryInterface(IID_IMsgFormat, own.AsVoidOut()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(own.p), identity.p);
    CComPtr<IUnknown> marshal;
    EXPECT_EQ(format->QueryInterface(IID_IMarshal, marshal.AsVoidOut()), S_OK);
    ASSERT_TRUE(marshal);
    ASSERT_EQ(marshal->QueryInterface(IID_IUnknown, viaFormat.AsVoidOut()), S_OK);
    EXPECT_EQ(viaFormat.p, identity.p) << "the marshaler's identity is the format object's";
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(format->QueryInterface(IID_IKivFileNavigator, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(format->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

}  // namespace
}  // namespace msgtest
