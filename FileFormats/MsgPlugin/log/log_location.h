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
// local application-data folder followed by "ORVANE/ORVANE KESTREL/", and creates the folder
// when it is missing. Empty when no base folder can be found or the folder does not fit.
void GetLogFolder(LPWSTR buffer, size_t capacity);

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
