// The platform's ANSI code page comes from the registry, where Windows keeps it.
#include <gtest/gtest.h>

#include <windows.h>

#include "platform_testing.h"

namespace {

void SetAcp(const char16_t* value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD bytes = static_cast<DWORD>((std::char_traits<char16_t>::length(value) + 1) * sizeof(char16_t));
    ASSERT_EQ(RegSetValueExW(key, u"ACP", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(RegistryAnsiCodePage, ReadAtFirstUse) {
    platform::testing::ScopedTempRegistry registry;
    SetAcp(u"1251");
    platform::testing::ReadAnsiCodePageAtNextUse();
    EXPECT_EQ(GetACP(), 1251u);
    // 8-bit text now means Cyrillic.
    WCHAR wide[4] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xC0", 1, wide, 4), 1);
    EXPECT_EQ(wide[0], u'\u0410');
    SetAcp(u"932");
    EXPECT_EQ(GetACP(), 1251u) << "read once, at the first use";
}

TEST(RegistryAnsiCodePage, AbsentOrUnusableGivesTheDefault) {
    platform::testing::ScopedTempRegistry registry;
    platform::testing::ReadAnsiCodePageAtNextUse();
    EXPECT_EQ(GetACP(), 1252u);
    SetAcp(u"65000");  // UTF-7 is never an ANSI code page
    platform::testing::ReadAnsiCodePageAtNextUse();
    EXPECT_EQ(GetACP(), 1252u);
    SetAcp(u"not a number");
    platform::testing::ReadAnsiCodePageAtNextUse();
    EXPECT_EQ(GetACP(), 1252u);
}

}  // namespace
