// Test-only controls of the registry service (included by <platform_testing.h>).
#pragma once

#include <string>

#include "base/wintypes.h"

namespace platform::testing {

// Keeps the hives in `folder` (created when missing) instead of the configured one, and sets
// MSGPLUGIN_REGISTRY_DIR to it so that child processes use the same registry. An empty folder
// restores the configuration. ResetAll restores it too.
PLATFORM_API void UseRegistryFolder(const std::string& folder);

// A fresh, empty registry in a new temporary folder for the life of this object; the folder
// and the previous choice are restored afterwards.
class PLATFORM_API ScopedTempRegistry {
public:
    ScopedTempRegistry();
    ~ScopedTempRegistry();
    ScopedTempRegistry(const ScopedTempRegistry&) = delete;
    ScopedTempRegistry& operator=(const ScopedTempRegistry&) = delete;
    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
};

// The string value `name` (the default value when null) of key `path` under HKEY_CLASSES_ROOT,
// for the tests of what registration writes: "<no key>", "<no value>" or "<not a string>" where
// it holds no string.
PLATFORM_API std::u16string ClassesRootString(const std::u16string& path, const char16_t* name = nullptr);

}  // namespace platform::testing
