// Where the hives live: the folder follows the environment and the test override, a damaged
// hive file is refused and not trusted, and a folder that cannot be made is an error.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <windows.h>

#include "platform_testing.h"
#include "registry/registry_test_util.h"

namespace {

using namespace registrytest;

TEST(RegistryFolder, FollowsTheEnvironmentVariable) {
    platform::testing::ScopedTempRegistry first;
    platform::testing::ScopedTempRegistry second;  // now the override
    platform::testing::UseRegistryFolder("");
    const char* saved = std::getenv("MSGPLUGIN_REGISTRY_DIR");
    std::string restore = saved ? saved : "";

    setenv("MSGPLUGIN_REGISTRY_DIR", first.folder().c_str(), 1);
    EXPECT_EQ(platform::registry::RegistryFolder(), first.folder());
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"where", 1), ERROR_SUCCESS);
    Key open;
    ASSERT_EQ(Create(HKEY_CURRENT_USER, u"Software\\Opened", open), ERROR_SUCCESS);

    setenv("MSGPLUGIN_REGISTRY_DIR", second.folder().c_str(), 1);
    EXPECT_EQ(Query(HKEY_CURRENT_USER, u"where").status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"where", 2), ERROR_SUCCESS);
    // A handle opened before keeps working in its own registry.
    EXPECT_EQ(SetDword(open.get(), u"v", 1), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Opened", 0, KEY_READ, open.put()), ERROR_FILE_NOT_FOUND);

    setenv("MSGPLUGIN_REGISTRY_DIR", first.folder().c_str(), 1);
    Read read = Query(HKEY_CURRENT_USER, u"where");
    ASSERT_EQ(read.status, ERROR_SUCCESS);
    EXPECT_EQ(read.bytes, std::string("\1\0\0\0", 4));
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Opened", 0, KEY_READ, open.put()), ERROR_SUCCESS);
    EXPECT_EQ(Query(open.get(), u"v").status, ERROR_SUCCESS);
    open.reset();

    unsetenv("MSGPLUGIN_REGISTRY_DIR");
    setenv("XDG_STATE_HOME", "/state/home", 1);
    EXPECT_EQ(platform::registry::RegistryFolder(), "/state/home/msgplugin/registry");
    unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(platform::registry::RegistryFolder(),
              std::string(std::getenv("HOME")) + "/.local/state/msgplugin/registry");
    if (saved) setenv("MSGPLUGIN_REGISTRY_DIR", restore.c_str(), 1);
}

TEST_F(Registry, DamagedDatabaseIsReportedNotTrusted) {
    platform::testing::UseRegistryFolder("");  // drop the connections
    {
        std::ofstream damaged(registry_.folder() + "/machine.sqlite", std::ios::binary | std::ios::trunc);
        std::string garbage(8192, 'x');
        damaged << "not a database" << garbage;
    }
    platform::testing::UseRegistryFolder(registry_.folder());
    Key key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, key.put()), ERROR_BADDB);
    EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"v", 1), ERROR_BADDB);
    // The user's hive is another file and still works.
    EXPECT_EQ(SetDword(HKEY_CURRENT_USER, u"v", 1), ERROR_SUCCESS);
}

TEST_F(Registry, FolderThatCannotBeMadeIsAnError) {
    std::string blocker = registry_.folder() + "/file";
    std::ofstream(blocker) << "x";
    platform::testing::UseRegistryFolder(blocker + "/registry");
    Key key;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, key.put()), ERROR_CANTOPEN);
    std::remove(blocker.c_str());
}

}  // namespace
