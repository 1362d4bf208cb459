// The host's commands, each in its own file, and the exit codes they end with.
#pragma once

#include <string>
#include <vector>

namespace cardhost {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitNotAll = 1,     // some variables were not found or were refused
    kExitUsage = 2,
    kExitOpenFailed = 3,  // a file (or the plug-in) could not be opened
    kExitSaveFailed = 4,
};

// register / unregister: calls the library's DllRegisterServer or DllUnregisterServer.
int RunRegistration(const std::string& module, bool registering);
// info: the plug-in's product, description, extensions and their flags.
int RunInfo(const std::string& module);
// show: the card of each file, as a table or as JSON lines.
int RunShow(const std::string& module, const std::vector<std::string>& files, const std::vector<std::string>& vars,
            bool asJson, bool full);
// set: writes variables and saves the file.
int RunSet(const std::string& module, const std::string& file, const std::vector<std::string>& assignments,
           const std::string& type, int holdMilliseconds);
// scan: the card of every message below a folder, read on `jobs` threads.
int RunScan(const std::string& module, const std::string& folder, bool asJson, unsigned jobs);
// log: the plug-in's diagnostics log, decoded.
int RunLog(size_t tail, bool follow, bool asJson);
// sample: writes a sample message.
int RunSample(const std::string& file);

}  // namespace cardhost
