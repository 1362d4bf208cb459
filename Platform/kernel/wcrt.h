// Wide-string helpers of the Windows kernel and C runtime, on UTF-16 (WCHAR = char16_t).
//
// The C runtime names that libc already has for wchar_t (wcslen, wcscpy, ...) are C++
// overloads for char16_t here; the Windows-only names are plain functions.
#pragma once

#include "base/wintypes.h"

// ---- Kernel string functions ---------------------------------------------------------------
// Length in UTF-16 units; 0 for a null pointer.
WINBASEAPI int WINAPI lstrlenW(LPCWSTR lpString);
// Copies at most iMaxLength - 1 characters and always terminates (when iMaxLength > 0);
// returns lpString1, or null for a null argument.
WINBASEAPI LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
// -1, 0 or 1; compares character by character with letter case folded (see _wcsicmp).
WINBASEAPI int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
WINBASEAPI int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);

// ---- C runtime -----------------------------------------------------------------------------
// Case-insensitive comparisons: both sides are folded to lower case (ASCII, Latin-1, Latin
// Extended-A, Greek, basic Cyrillic and the full-width Latin letters), then compared as
// UTF-16 units. The result is the difference of the first folded units that differ.
extern "C" PLATFORM_API int _wcsicmp(const WCHAR* string1, const WCHAR* string2);
extern "C" PLATFORM_API int _wcsnicmp(const WCHAR* string1, const WCHAR* string2, size_t count);
extern "C" PLATFORM_API WCHAR* _wcslwr(WCHAR* str);
extern "C" PLATFORM_API WCHAR* _wcsupr(WCHAR* str);

// The C runtime's conversions: leading white space, an optional sign, then decimal digits up
// to the first other character; no digits give 0, a value out of range saturates.
extern "C" PLATFORM_API int _wtoi(const WCHAR* str);
extern "C" PLATFORM_API LONG _wtol(const WCHAR* str);  // LONG: 32 bits, as on Windows
extern "C" PLATFORM_API LONGLONG _wtoi64(const WCHAR* str);

namespace platform::kernel {
// Simple one-to-one case mappings of the letters listed above; other units are returned as is.
PLATFORM_API WCHAR ToLowerWide(WCHAR c) noexcept;
PLATFORM_API WCHAR ToUpperWide(WCHAR c) noexcept;
}  // namespace platform::kernel

// char16_t overloads of the C runtime's wide-string functions.
PLATFORM_API size_t wcslen(const WCHAR* str);
PLATFORM_API size_t wcsnlen(const WCHAR* str, size_t maxlen);
PLATFORM_API WCHAR* wcscpy(WCHAR* dest, const WCHAR* src);
PLATFORM_API WCHAR* wcsncpy(WCHAR* dest, const WCHAR* src, size_t count);
PLATFORM_API WCHAR* wcscat(WCHAR* dest, const WCHAR* src);
PLATFORM_API int wcscmp(const WCHAR* string1, const WCHAR* string2);
PLATFORM_API int wcsncmp(const WCHAR* string1, const WCHAR* string2, size_t count);
PLATFORM_API const WCHAR* wcschr(const WCHAR* str, WCHAR c);
PLATFORM_API WCHAR* wcschr(WCHAR* str, WCHAR c);
PLATFORM_API const WCHAR* wcsrchr(const WCHAR* str, WCHAR c);
PLATFORM_API WCHAR* wcsrchr(WCHAR* str, WCHAR c);
PLATFORM_API const WCHAR* wcsstr(const WCHAR* str, const WCHAR* search);
PLATFORM_API WCHAR* wcsstr(WCHAR* str, const WCHAR* search);
