// Code pages: the ANSI and OEM code pages and conversion between them and UTF-16.
//
// Code pages known: CP_ACP, CP_THREAD_ACP (both the platform's ANSI code page, 1252 unless set
// otherwise), CP_OEMCP (always 437), CP_MACCP (10000), CP_UTF7, CP_UTF8, and numbered code
// pages that glibc's iconv converts (874, 932, 936, 949, 950, 1250 to 1258, 20127, 28591 and
// the other ISO 8859, DOS and KOI8 pages among them).
//
// Single-byte code pages convert one byte to one UTF-16 unit, as Windows' tables do; in 874 and
// 1250 to 1258 a byte between 0x80 and 0x9F that has no character stands for the C1 control
// of the same value. Unicode characters are never replaced by a look-alike: what a code page
// cannot represent becomes the default character.
#pragma once

#include "base/wintypes.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_MACCP 2
#define CP_THREAD_ACP 3
#define CP_UTF7 65000
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_COMPOSITECHECK 0x00000200
#define WC_NO_BEST_FIT_CHARS 0x00000400

#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004L
#endif

typedef const CHAR* LPCCH;
typedef const WCHAR* LPCWCH;

// Windows' rules: a count of -1 means a null-terminated input whose terminator is converted
// too; an output count of 0 asks for the size needed; an output too small fails with
// ERROR_INSUFFICIENT_BUFFER. Invalid input with MB_ERR_INVALID_CHARS (WC_ERR_INVALID_CHARS
// for UTF-8) fails with ERROR_NO_UNICODE_TRANSLATION; otherwise it becomes U+FFFD (from UTF-8)
// or '?' (from other code pages).
WINBASEAPI int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar);
// lpDefaultChar (one character; '?' when null) replaces what the code page cannot represent;
// *lpUsedDefaultChar tells whether that happened. Both must be null for CP_UTF7 and CP_UTF8.
WINBASEAPI int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar);

WINBASEAPI UINT WINAPI GetACP();
WINBASEAPI UINT WINAPI GetOEMCP();
WINBASEAPI BOOL WINAPI IsValidCodePage(UINT CodePage);

namespace platform::kernel {

// Makes `codePage` the process's ANSI code page (what GetACP returns and CP_ACP means).
// Returns false, and changes nothing, for a code page the platform cannot convert or one of
// the symbolic values (CP_ACP, CP_OEMCP, CP_MACCP, CP_THREAD_ACP).
PLATFORM_API bool SetAnsiCodePage(UINT codePage) noexcept;

// Names where the ANSI code page is read from at its first use, unless SetAnsiCodePage set it
// before (the registry service does this at load).
PLATFORM_API void SetAnsiCodePageSource(UINT (*source)() noexcept) noexcept;

}  // namespace platform::kernel
