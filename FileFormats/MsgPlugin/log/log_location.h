// Where the diagnostics log lives, what it is called, which product and process write it.
#pragma once

#include <windows.h>

#include <cstddef>

#include "wide_string.h"

// The host's registry key; its default value names the product.
inline constexpr const WCHAR* kHostRegistryKey = OLESTR("Software\\Orvane\\Applications\\Tarnhold Enterprise");
inline constexpr const WCHAR* kDefaultProductName = OLESTR("ORVANE KESTREL");
inline constexpr const WCHAR* kErrorGettingModuleName = OLESTR("(\?\?\?-Error getting module name)");

// Reads a REG_SZ value (an empty name for the default value) of at most 1024 bytes; true when
// text was set.
bool ReadRegistryString(HKEY root, LPCWSTR subkey, LPCWSTR valueName, WString& text);

// The product name: the host key's default value under HKEY_LOCAL_MACHINE, else under
// HKEY_CURRENT_USER, else defaultName. Read afresh on every call.
WString GetProductName(LPCWSTR defaultName);

// Fills buffer (capacity characters, terminator included) with the log folder, the user's
// local application-data folder followed by the subfolders ORVANE and ORVANE KESTREL and a
// separator, and creates the folder when it is missing. True with an empty buffer when there is
// no base folder at all (the log is then named relative to the current folder); false, with an
// empty buffer, when the folder is refused: it does not fit, or cannot be read.
bool GetLogFolder(LPWSTR buffer, size_t capacity);

// Whether a name can stand as the log's file name: one file name that Windows accepts, naming
// no folder and no device (no separator or drive, not "." or "..", none of < > : " / \ | ? *
// or control characters, no trailing blank or dot, not CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, COM1 to COM9 or LPT1 to LPT9 (also with the digits ¹ ² ³), with or without
// blanks and an extension after it).
bool IsPlainFileName(LPCWSTR name);

// Whether the file system takes the last part of `path` as a name: false when it says the name
// is too long or not valid there. It measures in its own units, 255 of them: UTF-16 units on
// Windows, bytes on Linux (where 200 × "é" are 400).
bool FileSystemTakesName(LPCWSTR path);

// The log's file name in `folder` (which ends with a separator): the product name, cut to
// `room` characters (never inside a surrogate pair) and followed by ".mlg", when the product
// name and that name are plain file names and the file system takes the name there; else the
// same made of the default product name; empty when neither is.
WString LogFileName(LPCWSTR folder, const WString& product, size_t room);

struct ProcessIdentity {
    WString moduleName;  // the executable's file name, or the error text
    bool isServer = false;      // failures of the log are never shown in this process
};

// The executable of this process.
ProcessIdentity IdentifyProcess();
// The same for a given executable path; null stands for a path that could not be found.
ProcessIdentity IdentifyProcessFromPath(LPCWSTR executablePath);
// Whether an executable's file name is one of the server processes (letter case ignored).
bool IsServerProcess(LPCWSTR moduleName);
