// Loading libraries, finding their functions and their resources.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include <windows.h>

#include "platform_testing.h"

namespace {

using platform::testing::FailNthCall;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

const std::string kLibrary = RESOURCE_TESTLIB;
const std::string kTestData = std::string(MSGPLUGIN_SOURCE_DIR) + "/Platform/kernel/testdata/";

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryW(Wide(kLibrary).c_str());
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override {
        if (module_) {
            EXPECT_TRUE(FreeLibrary(module_));
        }
    }
    std::string Resource(LPCWSTR id, LPCWSTR type) {
        HRSRC found = FindResourceW(module_, id, type);
        if (!found) return "<none>";
        const void* data = LockResource(LoadResource(module_, found));
        if (!data) return "<no data>";
        return std::string(static_cast<const char*>(data), SizeofResource(module_, found));
    }
    HMODULE module_ = nullptr;
};

TEST_F(LoaderTest, LoadsAndFindsFunctions) {
    using Answer = int (*)();
    auto answer = reinterpret_cast<Answer>(reinterpret_cast<void*>(GetProcAddress(module_, "ResourceTestLibraryAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module_, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(module_, nullptr), nullptr);

    // The same library loaded twice is one module, counted: it stays until the last free.
    HMODULE again = LoadLibraryW(Wide(kLibrary).c_str());
    EXPECT_EQ(again, module_);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ(answer(), 42);
}

TEST_F(LoaderTest, LoadFailures) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(u"/nonexistent/library.so"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A file that is not a library.
    EXPECT_EQ(LoadLibraryW(Wide(kTestData + "library.idl").c_str()), nullptr);
    FailNthCall("LoadLibraryW", 1, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(LoadLibraryW(Wide(kLibrary).c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(FreeLibrary(nullptr));
}

TEST_F(LoaderTest, ModuleHandleFromAnAddressInIt) {
    void* function = reinterpret_cast<void*>(GetProcAddress(module_, "ResourceTestLibraryAnswer"));
    HMODULE found = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   static_cast<LPCWSTR>(function), &found));
    EXPECT_EQ(found, module_);
    WCHAR path[MAX_PATH];
    DWORD length = GetModuleFileNameW(found, path, MAX_PATH);
    EXPECT_EQ(std::u16string(path, length), Wide(kLibrary));
    // By name, and with a reference of its own that must be freed.
    HMODULE byName = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(0, Wide(kLibrary).c_str(), &byName));
    EXPECT_EQ(byName, module_);
    EXPECT_TRUE(FreeLibrary(byName));

    HMODULE none = reinterpret_cast<HMODULE>(1);
    EXPECT_FALSE(GetModuleHandleExW(0, u"/nonexistent/library.so", &none));
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    int onTheStack = 0;
    EXPECT_FALSE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&onTheStack), &none));
    EXPECT_FALSE(GetModuleHandleExW(0, nullptr, nullptr));
}

TEST_F(LoaderTest, ResourcesByTypeAndId) {
    EXPECT_EQ(Resource(MAKEINTRESOURCEW(7), u"REGISTRY"), FileText(kTestData + "script.rgs"));
    EXPECT_EQ(Resource(MAKEINTRESOURCEW(7), u"registry"), FileText(kTestData + "script.rgs")) << "type names ignore case";
    EXPECT_EQ(Resource(u"#7", u"REGISTRY"), FileText(kTestData + "script.rgs"));
    EXPECT_EQ(Resource(MAKEINTRESOURCEW(1), RT_VERSION), FileText(kTestData + "version.txt"));
    EXPECT_EQ(Resource(MAKEINTRESOURCEW(1), u"TYPELIB"), FileText(kTestData + "library.idl"));
    EXPECT_EQ(Resource(MAKEINTRESOURCEW(9), u"EMPTY"), "");

    // Wrong id, wrong type, a numeric type for a named one, and names the layer does not use.
    using Request = std::pair<LPCWSTR, LPCWSTR>;
    const Request missing[] = {
        {MAKEINTRESOURCEW(8), u"REGISTRY"}, {MAKEINTRESOURCEW(7), u"TYPELIB"},  {MAKEINTRESOURCEW(7), u"REGISTR"},
        {MAKEINTRESOURCEW(7), u"REGISTRYX"}, {MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)}, {u"#", u"REGISTRY"},
        {u"#7x", u"REGISTRY"},               {u"SCRIPT", u"REGISTRY"},
    };
    for (auto [id, type] : missing) {
        SetLastError(0);
        EXPECT_EQ(FindResourceW(module_, id, type), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
    EXPECT_EQ(FindResourceW(module_, nullptr, u"REGISTRY"), nullptr);
    EXPECT_EQ(FindResourceW(module_, MAKEINTRESOURCEW(7), nullptr), nullptr);
    EXPECT_EQ(LoadResource(module_, nullptr), nullptr);
    EXPECT_EQ(SizeofResource(module_, nullptr), 0u);

    FailNthCall("FindResourceW", 1, E_FAIL);
    EXPECT_EQ(FindResourceW(module_, MAKEINTRESOURCEW(7), u"REGISTRY"), nullptr);
    EXPECT_NE(FindResourceW(module_, MAKEINTRESOURCEW(7), u"REGISTRY"), nullptr);
}

TEST_F(LoaderTest, ALibraryWithoutResources) {
    // The test program itself carries none.
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(7), u"REGISTRY"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Unloaded and loaded again (perhaps at another address), the library's resources are read
// from where it is now.
TEST_F(LoaderTest, ResourcesAfterReloading) {
    const std::string script = FileText(kTestData + "script.rgs");
    ASSERT_EQ(Resource(MAKEINTRESOURCEW(7), u"REGISTRY"), script);
    EXPECT_TRUE(FreeLibrary(module_));
    module_ = nullptr;
    void* still = dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(still, nullptr) << "FreeLibrary of the last reference unloads";
    if (still) dlclose(still);
    // Something else occupies the old place first.
    void* filler = dlopen("libm.so.6", RTLD_NOW);
    module_ = LoadLibraryW(Wide(kLibrary).c_str());
    ASSERT_NE(module_, nullptr);
    EXPECT_EQ(Resource(MAKEINTRESOURCEW(7), u"REGISTRY"), script);
    if (filler) dlclose(filler);
}

// The same through dlopen and dlclose alone, as a host may load a library: the resources are
// those of the library loaded now, wherever it lies.
TEST_F(LoaderTest, ResourcesAfterReloadingWithoutFreeLibrary) {
    const std::string script = FileText(kTestData + "script.rgs");
    EXPECT_TRUE(FreeLibrary(module_));
    module_ = nullptr;
    for (int round = 0; round < 3; ++round) {
        void* filler = round == 1 ? dlopen("libm.so.6", RTLD_NOW) : nullptr;
        module_ = static_cast<HMODULE>(dlopen(kLibrary.c_str(), RTLD_NOW | RTLD_LOCAL));
        ASSERT_NE(module_, nullptr);
        EXPECT_EQ(Resource(MAKEINTRESOURCEW(7), u"REGISTRY"), script);
        EXPECT_EQ(Resource(MAKEINTRESOURCEW(1), RT_VERSION), FileText(kTestData + "version.txt"));
        dlclose(module_);
        module_ = nullptr;
        if (filler) dlclose(filler);
    }
}

}  // namespace
