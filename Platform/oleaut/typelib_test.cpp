// Type libraries: reading interface definitions from a library's resource or a file, and the
// keys that registration writes and removes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <windows.h>

#include "base/comptr.h"
#include "platform_testing.h"
#include "testing/test_files.h"

namespace {

namespace fs = std::filesystem;
using platform::testing::FailNthCall;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

const char kDefinition[] = R"(
import "oaidl.idl";
// A comment with the word library { in it.
[ object, uuid(11111111-2222-3333-4444-555555555555), helpstring("IOne Interface") ]
interface IOne : IUnknown { HRESULT Method([in] long value); };
interface IForward;
/* Another comment: coclass Fake { }; */
[ uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(1.10), helpstring("Test 1.10 Type Library") ]
library TESTLib
{
    importlib("stdole2.tlb");
    [ uuid(99999999-8888-7777-6666-555555555555), helpstring("Two Class") ]
    coclass Two { [default] interface IOne; };
};
)";

constexpr const char16_t* kLibraryId = u"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";
DEFINE_GUID(LIBID_Test, 0xAAAAAAAA, 0xBBBB, 0xCCCC, 0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE);

using platform::testing::ClassesRootString;

class TypeLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder_.Made()); }
    std::u16string Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name, std::ios::binary) << text;
        return Wide((dir_ / name).string());
    }
    platform::testing::TempFolder folder_{"msgplugin-typelib"};
    const fs::path dir_ = folder_.Path();
    platform::testing::ScopedTempRegistry registry_;
};

TEST_F(TypeLibraryTest, ReadsTheLibraryItsInterfacesAndClasses) {
    platform::ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLib(Write("test.tlb", kDefinition).c_str(), library.Put()), S_OK);
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, LIBID_Test));
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 10);
    EXPECT_EQ(attributes->lcid, 0u);
    EXPECT_EQ(attributes->syskind, SYS_WIN64);
    library->ReleaseTLibAttr(attributes);

    // The forward declaration and the commented-out class are not types.
    ASSERT_EQ(library->GetTypeInfoCount(), 2u);
    TYPEKIND kind{};
    EXPECT_EQ(library->GetTypeInfoType(0, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_INTERFACE);
    EXPECT_EQ(library->GetTypeInfoType(1, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);
    EXPECT_EQ(library->GetTypeInfoType(2, &kind), TYPE_E_ELEMENTNOTFOUND);

    BSTR name = nullptr, doc = nullptr;
    ASSERT_EQ(library->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"TESTLib");
    EXPECT_EQ(std::u16string(doc), u"Test 1.10 Type Library");
    SysFreeString(name);
    SysFreeString(doc);
    ASSERT_EQ(library->GetDocumentation(1, &name, &doc, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::u16string(name), u"Two");
    EXPECT_EQ(std::u16string(doc), u"Two Class");
    SysFreeString(name);
    SysFreeString(doc);
    EXPECT_EQ(library->GetDocumentation(5, &name, nullptr, nullptr, nullptr), TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(TypeLibraryTest, FromALibraryResource) {
    platform::ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLib(Wide(RESOURCE_TESTLIB).c_str(), library.Put()), S_OK);
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->wMajorVerNum, 2);
    EXPECT_EQ(attributes->wMinorVerNum, 3);
    library->ReleaseTLibAttr(attributes);
    EXPECT_EQ(library->GetTypeInfoCount(), 2u);
}

TEST_F(TypeLibraryTest, WhatIsNotALibrary) {
    const std::pair<const char*, std::string> broken[] = {
        {"no library", "interface I : IUnknown { };"},
        {"library without uuid", "[ version(1.0) ] library L { };"},
        {"bad uuid", "[ uuid(1234), version(1.0) ] library L { };"},
        {"bad version", "[ uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(1.x) ] library L { };"},
        {"huge version", "[ uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(70000.0) ] library L { };"},
        {"not closed", "[ uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(1.0) ] library L { "},
        {"closed twice", "[ uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(1.0) ] library L { }; };"},
        {"interface without uuid",
         "[ uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(1.0) ] library L { interface I { }; };"},
        {"attributes not closed", "[ uuid(AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE), version(1.0) library L { };"},
        {"empty", ""},
    };
    for (const auto& [what, text] : broken) {
        SCOPED_TRACE(what);
        ITypeLib* library = reinterpret_cast<ITypeLib*>(1);
        EXPECT_EQ(LoadTypeLib(Write("broken.tlb", text).c_str(), &library), TYPE_E_CANTLOADLIBRARY);
        EXPECT_EQ(library, nullptr);
    }
    ITypeLib* library = nullptr;
    EXPECT_EQ(LoadTypeLib(u"/nonexistent/file.tlb", &library), TYPE_E_CANTLOADLIBRARY);
    // A library without the resource is not read as a definition itself.
    EXPECT_EQ(LoadTypeLib(Wide(RESOURCE_LESS_LIBRARY).c_str(), &library), TYPE_E_CANTLOADLIBRARY);
    EXPECT_EQ(LoadTypeLib(nullptr, &library), E_INVALIDARG);
    EXPECT_EQ(LoadTypeLib(u"x", nullptr), E_INVALIDARG);
    FailNthCall("LoadTypeLib", 1, E_OUTOFMEMORY);
    EXPECT_EQ(LoadTypeLib(Write("test.tlb", kDefinition).c_str(), &library), E_OUTOFMEMORY);
    EXPECT_EQ(library, nullptr);
}

TEST_F(TypeLibraryTest, RegisterAndUnregister) {
    const std::u16string path = Write("test.tlb", kDefinition);
    platform::ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLib(path.c_str(), library.Put()), S_OK);
    ASSERT_EQ(RegisterTypeLib(library.Get(), path.c_str(), nullptr), S_OK);
    const std::u16string version = std::u16string(u"TypeLib\\") + kLibraryId + u"\\1.a";  // versions are hex
    EXPECT_EQ(ClassesRootString(version), u"Test 1.10 Type Library");
    EXPECT_EQ(ClassesRootString(version + u"\\0\\win64"), path);
    EXPECT_EQ(ClassesRootString(version + u"\\FLAGS"), u"0");
    EXPECT_EQ(ClassesRootString(version + u"\\HELPDIR"), u"");
    const std::u16string iface = u"Interface\\{11111111-2222-3333-4444-555555555555}";
    EXPECT_EQ(ClassesRootString(iface), u"IOne");
    EXPECT_EQ(ClassesRootString(iface + u"\\TypeLib"), kLibraryId);
    EXPECT_EQ(ClassesRootString(iface + u"\\TypeLib", u"Version"), u"1.a");
    EXPECT_EQ(ClassesRootString(u"Interface\\{99999999-8888-7777-6666-555555555555}"), u"<no key>") << "classes are not interfaces";

    // Another version of the same library, and another interface key, stay.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (std::u16string(u"TypeLib\\") + kLibraryId + u"\\2.0\\0\\win64").c_str(),
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT,
                              u"Interface\\A-long-key-name-that-is-not-a-guid-at-all-and-longer-than-sixty-four-characters",
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (iface + u"\\ProxyStubClsid32").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);

    ASSERT_EQ(UnRegisterTypeLib(LIBID_Test, 1, 10, 0, SYS_WIN64), S_OK);
    EXPECT_EQ(ClassesRootString(version), u"<no key>");
    EXPECT_EQ(ClassesRootString(std::u16string(u"TypeLib\\") + kLibraryId + u"\\2.0\\0\\win64"), u"<no value>")
        << "the other version stays";
    EXPECT_EQ(ClassesRootString(iface + u"\\TypeLib"), u"<no key>");
    EXPECT_EQ(ClassesRootString(iface), u"IOne") << "an interface key with other entries stays";
    EXPECT_EQ(UnRegisterTypeLib(LIBID_Test, 1, 10, 0, SYS_WIN64), TYPE_E_LIBNOTREGISTERED);

    EXPECT_EQ(RegisterTypeLib(nullptr, path.c_str(), nullptr), E_INVALIDARG);
    EXPECT_EQ(RegisterTypeLib(library.Get(), nullptr, nullptr), E_INVALIDARG);
    FailNthCall("RegisterTypeLib", 1, TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(RegisterTypeLib(library.Get(), path.c_str(), nullptr), TYPE_E_REGISTRYACCESS);
    FailNthCall("RegCreateKeyExW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegisterTypeLib(library.Get(), path.c_str(), nullptr), TYPE_E_REGISTRYACCESS);
    FailNthCall("UnRegisterTypeLib", 1, E_ACCESSDENIED);
    EXPECT_EQ(UnRegisterTypeLib(LIBID_Test, 1, 10, 0, SYS_WIN64), E_ACCESSDENIED);
}

// An interface registered after a key whose name does not fit the enumeration buffer is
// still found and removed.
TEST_F(TypeLibraryTest, UnregisterLooksAtEveryInterfaceKey) {
    const std::u16string path = Write("test.tlb", kDefinition);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (u"Interface\\" + std::u16string(100, u'0')).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    platform::ComPtr<ITypeLib> library;
    ASSERT_EQ(LoadTypeLib(path.c_str(), library.Put()), S_OK);
    ASSERT_EQ(RegisterTypeLib(library.Get(), path.c_str(), nullptr), S_OK);
    ASSERT_EQ(UnRegisterTypeLib(LIBID_Test, 1, 10, 0, SYS_WIN64), S_OK);
    EXPECT_EQ(ClassesRootString(u"Interface\\{11111111-2222-3333-4444-555555555555}"), u"<no key>");
}

}  // namespace
