// The shell's path functions. On Linux the separator of path components is '/'; each function
// otherwise behaves as its Windows namesake (buffers of MAX_PATH characters where Windows
// assumes them).
#pragma once

#include "base/wintypes.h"

// The file name of the path: what follows its last '/', or the whole path when it has none (a
// trailing '/' does not count). Never null for a non-null path.
STDAPI_(LPWSTR) PathFindFileNameW(LPCWSTR pszPath);

// The extension of the path's last component, from its last '.' on; the terminating null
// character when it has none. A '\\' or a blank after the last '.' means there is none.
STDAPI_(LPWSTR) PathFindExtensionW(LPCWSTR pszPath);

// Removes the extension (from the last '.' on) of the path's last component, if it has one.
STDAPI_(void) PathRemoveExtensionW(LPWSTR pszPath);

// Replaces the extension of the path's last component by pszExt (which includes its dot), or
// adds it. pszPath holds MAX_PATH characters; FALSE, with the path unchanged, when the result
// would not fit.
STDAPI_(BOOL) PathRenameExtensionW(LPWSTR pszPath, LPCWSTR pszExt);

// Adds a separator at the end of a non-empty path that does not end in one. pszPath holds
// MAX_PATH characters. Returns the terminating null character of the result, or null when the
// separator does not fit (the path is then unchanged).
STDAPI_(LPWSTR) PathAddBackslashW(LPWSTR pszPath);

// Cuts the path to its root ("/" for an absolute path); FALSE, with an empty path, when it has
// none (a relative path).
STDAPI_(BOOL) PathStripToRootW(LPWSTR pszPath);
