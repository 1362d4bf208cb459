// What differs between the systems the host runs on, in one place: where the registry lives,
// where the plug-in is by default, how the command line's text arrives, and whether standard
// error is a terminal. (Libraries load the same way on both: LoadLibraryW.)
#pragma once

#include <string>
#include <vector>

namespace cardhost {

// Where registrations go, for messages: "the registry at <folder>" on Linux, where the platform
// keeps the registry in files; "the system registry" on Windows.
std::string RegistryLocation();

// Whether standard error is a terminal (a progress bar is drawn only there).
bool StandardErrorIsTerminal();

// The plug-in library registered and loaded when none is named: on Linux the one built with the
// host, on Windows MsgPlugin.dll beside cardhost.exe.
std::string DefaultModule();

// Standard output and error carry bytes as written (UTF-8, lines ended by \n alone), as on Linux.
void UseBinaryStandardStreams();

// The command line's arguments as UTF-8 (Windows hands a program its arguments in the ANSI code
// page; they are taken from the wide command line instead).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

}  // namespace cardhost
