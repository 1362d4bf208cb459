// Safe string functions on counted UTF-16 buffers.
//
// A result that does not fit gives STRSAFE_E_INSUFFICIENT_BUFFER and leaves the destination
// truncated and terminated. A zero or oversized destination count, or a null argument, gives
// STRSAFE_E_INVALID_PARAMETER (the destination, when there is one, is then the empty string).
#pragma once

#include <cstdarg>

#include "base/wintypes.h"

#define STRSAFE_MAX_CCH 2147483647

WINBASEAPI HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc);
// Copies at most cchToCopy characters of pszSrc (fewer when it ends sooner).
WINBASEAPI HRESULT StringCchCopyNW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc, size_t cchToCopy);
WINBASEAPI HRESULT StringCchCatW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc);
WINBASEAPI HRESULT StringCchCatNW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc, size_t cchToAppend);
// Length without the terminator; STRSAFE_E_INVALID_PARAMETER (and 0) when psz has no
// terminator within cchMax characters.
WINBASEAPI HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t* pcchLength);

// The wide C runtime's printf, formatted by the platform itself:
//   flags - + space # 0, width and precision (numbers or *),
//   %s %ls %ws: wide string   %S %hs: narrow string (each byte one character, as the
//   C runtime's default locale reads it)   %c %lc %wc: wide character   %C %hc: narrow character
//   %d %i %u %o %x %X with h, hh, l (32 bits, as Windows' long), ll, I64, I32, I, z, j, t;
//   %p (16 upper-case hex digits); %e %E %f %F %g %G %a %A; %%.
// A null string argument prints "(null)". An unknown conversion gives
// STRSAFE_E_INVALID_PARAMETER with what was formatted before it.
WINBASEAPI HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...);
WINBASEAPI HRESULT StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList);

// Byte-counted forms (cb is the buffer's size in bytes).
WINBASEAPI HRESULT StringCbCopyW(LPWSTR pszDest, size_t cbDest, LPCWSTR pszSrc);
WINBASEAPI HRESULT StringCbCatW(LPWSTR pszDest, size_t cbDest, LPCWSTR pszSrc);
WINBASEAPI HRESULT StringCbPrintfW(LPWSTR pszDest, size_t cbDest, LPCWSTR pszFormat, ...);
