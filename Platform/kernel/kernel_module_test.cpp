// Module names and handles.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <windows.h>

#include <string>

#include "platform_testing.h"

namespace {

std::u16string Widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string SelfExe() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
}

TEST(KernelModule, NullHandleNamesTheExecutable) {
    WCHAR name[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, name, DWORD(std::size(name)));
    const std::u16string expected = Widen(SelfExe());
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(std::u16string(name), expected);
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), name, DWORD(std::size(name))), expected.size());
    EXPECT_EQ(std::u16string(name), expected);
}

TEST(KernelModule, ShortBufferGetsTruncatedTerminatedName) {
    const std::u16string expected = Widen(SelfExe());
    const DWORD full = DWORD(expected.size());
    for (DWORD size : {full, full - 1, DWORD(5), DWORD(1)}) {
        std::u16string buffer(size + 4, u'#');
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), size), size);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
        EXPECT_EQ(buffer.substr(0, size - 1), expected.substr(0, size - 1));
        EXPECT_EQ(buffer[size - 1], u'\0');
        EXPECT_EQ(buffer[size], u'#') << "nothing written past the buffer";
    }
    std::u16string exact(full + 1, u'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, exact.data(), full + 1), full) << "room for the terminator";
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(exact.c_str(), expected);
    WCHAR none = u'#';
    EXPECT_EQ(GetModuleFileNameW(nullptr, &none, 0), 0u);
    EXPECT_EQ(none, u'#');
}

TEST(KernelModule, LibraryHandleNamesTheLibrary) {
    void* library = dlopen("libm.so.6", RTLD_NOW);
    ASSERT_NE(library, nullptr);
    Dl_info info{};
    ASSERT_NE(dladdr(dlsym(library, "cos"), &info), 0);
    char resolved[4096];
    ASSERT_NE(realpath(info.dli_fname, resolved), nullptr);

    WCHAR name[4096];
    DWORD length = GetModuleFileNameW(static_cast<HMODULE>(library), name, DWORD(std::size(name)));
    ASSERT_GT(length, 0u);
    std::string narrow(name, name + length);
    EXPECT_EQ(narrow[0], '/');
    char resolvedReported[4096];
    ASSERT_NE(realpath(narrow.c_str(), resolvedReported), nullptr) << narrow;
    EXPECT_STREQ(resolvedReported, resolved);

    // The load address stands for the library too, and its name leads back to the handle.
    WCHAR byBase[4096];
    EXPECT_EQ(GetModuleFileNameW(static_cast<HMODULE>(info.dli_fbase), byBase, DWORD(std::size(byBase))), length);
    EXPECT_EQ(std::u16string(byBase), std::u16string(name));
    EXPECT_EQ(GetModuleHandleW(u"LIBM.so.6"), static_cast<HMODULE>(library));
    dlclose(library);
}

TEST(KernelModule, ThePlatformLibraryKnowsItsOwnPath) {
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&GetModuleFileNameW), &info), 0);
    WCHAR name[4096];
    DWORD length = GetModuleFileNameW(static_cast<HMODULE>(info.dli_fbase), name, DWORD(std::size(name)));
    ASSERT_GT(length, 0u);
    std::string narrow(name, name + length);
    EXPECT_NE(narrow.find("libwinplatform"), std::string::npos) << narrow;
}

TEST(KernelModule, UnknownModulesFail) {
    int notAModule = 0;
    WCHAR name[64];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(&notAModule), name, 64), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(u"no-such-library.so"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(KernelModule, ConsultsFaults) {
    WCHAR name[MAX_PATH];
    platform::testing::FailNthCall("GetModuleFileNameW", 1, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetModuleFileNameW(nullptr, name, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_GT(GetModuleFileNameW(nullptr, name, MAX_PATH), 0u);
    platform::testing::ReturnNullOnNthCall("GetModuleHandleW", 1);
    EXPECT_EQ(GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);
}

}  // namespace
