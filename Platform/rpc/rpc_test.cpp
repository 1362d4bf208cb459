// The proxy/stub entry points: serving and counting the class object, and what registration
// writes and removes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <windows.h>

#include "platform_testing.h"

namespace {

using platform::testing::FailNthCall;

DEFINE_GUID(IID_IFirst, 0x10000001, 0x0000, 0x0000, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88);
DEFINE_GUID(IID_ISecond, 0x20000002, 0x0000, 0x0000, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88);
DEFINE_GUID(CLSID_Other, 0x30000003, 0x0000, 0x0000, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88);

const IID* const kInterfaces[] = {&IID_IFirst, &IID_ISecond};
const char* const kNames[] = {"IFirst", "ISecond"};
const ProxyFileInfo kFile = {kInterfaces, kNames, 2, 2};
const ProxyFileInfo* const kFiles[] = {&kFile, nullptr};

using platform::testing::ClassesRootString;

TEST(ProxyStub, ServedUnderItsClassIdAndCounted) {
    CStdPSFactoryBuffer buffer;
    EXPECT_EQ(NdrDllCanUnloadNow(&buffer), S_OK);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(NdrDllGetClassObject(CLSID_Other, IID_IPSFactoryBuffer, &out, kFiles, &IID_IFirst, &buffer),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(NdrDllGetClassObject(IID_IFirst, IID_IPSFactoryBuffer, nullptr, kFiles, &IID_IFirst, &buffer), E_POINTER);
    EXPECT_EQ(NdrDllGetClassObject(IID_IFirst, IID_IClassFactory, &out, kFiles, &IID_IFirst, &buffer), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(NdrDllCanUnloadNow(&buffer), S_OK);

    IUnknown* first = nullptr;
    IUnknown* second = nullptr;
    ASSERT_EQ(NdrDllGetClassObject(IID_IFirst, IID_IPSFactoryBuffer, reinterpret_cast<void**>(&first), kFiles,
                                   &IID_IFirst, &buffer),
              S_OK);
    ASSERT_EQ(NdrDllGetClassObject(IID_IFirst, IID_IUnknown, reinterpret_cast<void**>(&second), kFiles, &IID_IFirst,
                                   &buffer),
              S_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(buffer.pProxyFileList, kFiles);
    EXPECT_EQ(NdrDllCanUnloadNow(&buffer), S_FALSE);
    first->Release();
    EXPECT_EQ(NdrDllCanUnloadNow(&buffer), S_FALSE);
    second->Release();
    EXPECT_EQ(NdrDllCanUnloadNow(&buffer), S_OK);

    // Proxies and stubs are never needed inside one process.
    void* proxy = reinterpret_cast<void*>(1);
    EXPECT_EQ(buffer.CreateProxy(nullptr, IID_IFirst, nullptr, &proxy), E_NOTIMPL);
    EXPECT_EQ(proxy, nullptr);

    FailNthCall("NdrDllGetClassObject", 1, E_OUTOFMEMORY);
    EXPECT_EQ(NdrDllGetClassObject(IID_IFirst, IID_IUnknown, &out, kFiles, &IID_IFirst, &buffer), E_OUTOFMEMORY);
    EXPECT_EQ(NdrDllCanUnloadNow(&buffer), S_OK);
}

TEST(ProxyStub, RegistrationWritesInterfacesAndTheClass) {
    platform::testing::ScopedTempRegistry registry;
    HMODULE self = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, nullptr, &self));
    WCHAR path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(self, path, MAX_PATH), 0u);

    ASSERT_EQ(NdrDllRegisterProxy(self, kFiles, &IID_IFirst), S_OK);
    const std::u16string classKey = u"CLSID\\{10000001-0000-0000-1122-334455667788}";
    EXPECT_EQ(ClassesRootString(classKey), u"PSFactoryBuffer");
    EXPECT_EQ(ClassesRootString(classKey + u"\\InprocServer32"), std::u16string(path));
    EXPECT_EQ(ClassesRootString(classKey + u"\\InprocServer32", u"ThreadingModel"), u"Both");
    for (auto [iid, name] : {std::pair{u"{10000001-0000-0000-1122-334455667788}", u"IFirst"},
                             std::pair{u"{20000002-0000-0000-1122-334455667788}", u"ISecond"}}) {
        const std::u16string key = std::u16string(u"Interface\\") + iid;
        EXPECT_EQ(ClassesRootString(key), name);
        EXPECT_EQ(ClassesRootString(key + u"\\ProxyStubClsid32"), u"{10000001-0000-0000-1122-334455667788}");
        EXPECT_EQ(ClassesRootString(key + u"\\NumMethods"), u"3");
    }

    ASSERT_EQ(NdrDllUnregisterProxy(self, kFiles, &IID_IFirst), S_OK);
    EXPECT_EQ(ClassesRootString(classKey), u"<no key>");
    EXPECT_EQ(ClassesRootString(u"Interface\\{20000002-0000-0000-1122-334455667788}"), u"<no key>");
    EXPECT_EQ(NdrDllUnregisterProxy(self, kFiles, &IID_IFirst), S_OK) << "nothing registered is no error";

    EXPECT_EQ(NdrDllRegisterProxy(self, nullptr, &IID_IFirst), E_INVALIDARG);
    EXPECT_EQ(NdrDllRegisterProxy(self, kFiles, nullptr), E_INVALIDARG);
    FailNthCall("NdrDllRegisterProxy", 1, E_ACCESSDENIED);
    EXPECT_EQ(NdrDllRegisterProxy(self, kFiles, &IID_IFirst), E_ACCESSDENIED);
    EXPECT_EQ(ClassesRootString(classKey), u"<no key>");
    FailNthCall("GetModuleFileNameW", 1, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(NdrDllRegisterProxy(self, kFiles, &IID_IFirst), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    FailNthCall("RegSetValueExW", 2, ERROR_ACCESS_DENIED);
    EXPECT_EQ(NdrDllRegisterProxy(self, kFiles, &IID_IFirst), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
}

}  // namespace
