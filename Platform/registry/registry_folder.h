// The folder the hives live in, and the file of each hive.
#pragma once

#include <mutex>
#include <string>

namespace platform::registry {

constexpr const char* kFolderVariable = "MSGPLUGIN_REGISTRY_DIR";

enum class Hive { Machine, User, Users };

std::mutex& OverrideMutex();
std::string& FolderOverride();

std::string ConfiguredFolder();

bool MakeFolders(const std::string& folder);

std::string HiveFile(Hive hive);

}  // namespace platform::registry
