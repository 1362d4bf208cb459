// What differs between the systems the host runs on, in one place: where the registry lives,
// where the plug-in is by default, how the command line's text arrives, how file names are
// kept, and whether a standard stream is a terminal. (Libraries load the same way on both:
// LoadLibraryW.)
//
// File names. The host keeps a file name as a string of bytes: on Linux the name's own bytes,
// which need not be UTF-8; on Windows the UTF-16 name as UTF-8, where an unpaired surrogate
// takes the three bytes it would have as a character. Either way the name maps back to the very
// name the system keeps, and to the UTF-16 the plug-in is handed (on Linux by the platform's
// mapping of names).
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>

#include "wide_string.h"

namespace cardhost {

// Where registrations go, for messages (UTF-8): "the registry at <folder>" on Linux, where the
// platform keeps the registry in files; "the system registry" on Windows.
std::string RegistryLocation();

// Whether `stream` (standard output or error) is a terminal: a progress bar is drawn only there,
// and lines are flushed one by one only there.
bool IsTerminal(FILE* stream);

// The plug-in library registered and loaded when none is named: on Linux the one built with the
// host, on Windows MsgPlugin.dll beside cardhost.exe.
std::string DefaultModule();

// Standard output and error carry bytes as written (UTF-8, lines ended by \n alone), as on Linux.
void UseBinaryStandardStreams();

// The command line's arguments as the host keeps names (Windows hands a program its arguments
// in the ANSI code page; they are taken from the wide command line instead).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// A file name as the plug-in and the Windows API take it, and the other way (a UTF-16 name no
// Linux name maps to gives its text as UTF-8, which names no file).
WString WideFileName(const std::string& name);
std::string FileNameFromWide(const WString& name);
// A path for std::filesystem, and a name from one.
std::filesystem::path FileSystemPath(const std::string& name);
std::string FileNameOf(const std::filesystem::path& path);
// The name as the system stores it, in hex: the bytes of a Linux name, the UTF-16LE code units
// of a Windows name.
std::string StoredNameHex(const std::string& name);

// Whether the file refuses writing: its read-only attribute on Windows, permission bits that
// let nobody write on Linux (which the platform honours for every user, as Windows does the
// attribute).
bool FileIsReadOnly(const std::string& name);
// Whether the file's folder refuses the new image of a save (Linux, where a save replaces the
// file with a new one beside it); never on Windows, which saves in place.
bool FolderRefusesSaves(const std::string& name);

}  // namespace cardhost
