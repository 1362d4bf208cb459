// Qualified-component lookups over the installer's table in the registry.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <windows.h>

#include "platform_testing.h"

namespace {

using platform::testing::FailNthCall;

constexpr const char16_t* kCategory = u"{5812C571-53F0-4467-BEFA-0A4F47A9437C}";

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override { registry_ = std::make_unique<platform::testing::ScopedTempRegistry>(); }
    void TearDown() override { registry_.reset(); }

    void Install(const std::u16string& category, const std::u16string& qualifier, const std::u16string& path,
                 DWORD type = REG_SZ) {
        HKEY key = nullptr;
        std::u16string keyPath = std::u16string(MSI_QUALIFIED_COMPONENTS_KEY) + u"\\" + category;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, qualifier.c_str(), 0, type, reinterpret_cast<const BYTE*>(path.c_str()),
                                 static_cast<DWORD>((path.size() + 1) * 2)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    std::unique_ptr<platform::testing::ScopedTempRegistry> registry_;
};

TEST_F(InstallerTest, FoundComponentAndItsPath) {
    const std::u16string path = u"C:\\Program Files\\Client\\client.exe";
    Install(kCategory, u"outlook.x64.exe", path);
    DWORD length = 0;
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"outlook.x64.exe", INSTALLMODE_DEFAULT, nullptr, &length),
              static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(length, path.size()) << "no buffer: the length in characters, without the terminator";
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"outlook.x64.exe", INSTALLMODE_DEFAULT, nullptr, nullptr),
              static_cast<UINT>(ERROR_SUCCESS));

    WCHAR buffer[64];
    length = 64;
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"outlook.x64.exe", INSTALLMODE_DEFAULT, buffer, &length),
              static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(std::u16string(buffer), path);
    EXPECT_EQ(length, path.size());

    // Exactly the length: no room for the terminator.
    length = static_cast<DWORD>(path.size());
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"outlook.x64.exe", INSTALLMODE_DEFAULT, buffer, &length),
              static_cast<UINT>(ERROR_MORE_DATA));
    EXPECT_EQ(length, path.size());
    EXPECT_EQ(std::u16string(buffer), path.substr(0, path.size() - 1)) << "what fits, terminated";
    length = 0;
    buffer[0] = u'x';
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"outlook.x64.exe", INSTALLMODE_DEFAULT, buffer, &length),
              static_cast<UINT>(ERROR_MORE_DATA));
    EXPECT_EQ(buffer[0], u'x');
    EXPECT_EQ(length, path.size());
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"outlook.x64.exe", INSTALLMODE_DEFAULT, buffer, nullptr),
              static_cast<UINT>(ERROR_INVALID_PARAMETER));
}

TEST_F(InstallerTest, UnknownCategoryAndAbsentQualifier) {
    Install(kCategory, u"outlook.exe", u"C:\\client.exe");
    DWORD length = 0;
    EXPECT_EQ(MsiProvideQualifiedComponentW(u"{E83B4360-C208-4325-9504-0D23003A74A5}", u"outlook.exe",
                                            INSTALLMODE_DEFAULT, nullptr, &length),
              1607u);  // ERROR_UNKNOWN_COMPONENT
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"outlook.x64.exe", INSTALLMODE_DEFAULT, nullptr, &length),
              1611u);  // ERROR_INDEX_ABSENT
    // A qualifier that is not a string is not an installed component.
    Install(kCategory, u"binary", u"xx", REG_BINARY);
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"binary", INSTALLMODE_DEFAULT, nullptr, &length), 1611u);
    EXPECT_EQ(MsiProvideQualifiedComponentW(nullptr, u"outlook.exe", INSTALLMODE_DEFAULT, nullptr, &length),
              static_cast<UINT>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, nullptr, INSTALLMODE_DEFAULT, nullptr, &length),
              static_cast<UINT>(ERROR_INVALID_PARAMETER));
    FailNthCall("MsiProvideQualifiedComponentW", 1, 1603);  // ERROR_INSTALL_FAILURE
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"outlook.exe", INSTALLMODE_DEFAULT, nullptr, &length),
              1603u);
    EXPECT_EQ(MsiProvideQualifiedComponentW(kCategory, u"outlook.exe", INSTALLMODE_DEFAULT, nullptr, &length),
              static_cast<UINT>(ERROR_SUCCESS));
}

}  // namespace
