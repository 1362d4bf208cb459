// C runtime and kernel file services: environment, attributes, folders, stat, rename and
// shared-mode opens.
//
// Paths are UTF-16 with '/' separators, handed to Linux as the names they map to
// (base/native_name.h); a path that maps to no Linux name is not found. Failures set errno
// as the C runtime does (EACCES for a sharing violation or an existing rename target).
#pragma once

#include <cerrno>
#include <cstdio>

#include "base/wintypes.h"
#include "kernel/winbase.h"

typedef int errno_t;
typedef int64_t __int64;
typedef int64_t __time64_t;

// ---- Environment -----------------------------------------------------------------------------
// Copies the variable's value into buffer. *pReturnValue receives the size needed with its
// terminator, or 0 when the variable is not set (the buffer is then made empty). ERANGE when
// the buffer is too small; EINVAL for bad arguments.
extern "C" PLATFORM_API errno_t _wgetenv_s(size_t* pReturnValue, WCHAR* buffer, size_t numberOfElements,
                                           const WCHAR* varname);

// ---- Attributes and folders ----------------------------------------------------------------
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080

// INVALID_FILE_ATTRIBUTES (and the last error) when the path cannot be examined. A folder is
// FILE_ATTRIBUTE_DIRECTORY; a file the owner may not write is FILE_ATTRIBUTE_READONLY; a
// name beginning with '.' is FILE_ATTRIBUTE_HIDDEN; otherwise a file is FILE_ATTRIBUTE_NORMAL.
WINBASEAPI DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);

// Creates one folder (its parent must exist); FALSE when it exists already
// (ERROR_ALREADY_EXISTS) or cannot be made (ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ...).
// The security attributes are ignored: the folder gets the user's default permissions.
WINBASEAPI BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);

// The process's current folder. Returns its length without the terminator when it fits in
// nBufferLength characters, else the length needed with the terminator (and the buffer is left
// alone); 0 on failure.
WINBASEAPI DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);

// ---- stat ----------------------------------------------------------------------------------
#define _S_IFMT 0xF000
#define _S_IFDIR 0x4000
#define _S_IFCHR 0x2000
#define _S_IFREG 0x8000
#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080
#define _S_IEXEC 0x0040

// The C runtime's layout; sizes are 64-bit. <sys/stat.h> makes st_atime and its kin macros,
// which must not rename these members.
#pragma push_macro("st_atime")
#pragma push_macro("st_mtime")
#pragma push_macro("st_ctime")
#undef st_atime
#undef st_mtime
#undef st_ctime
struct _stat64 {
    unsigned int st_dev;
    unsigned short st_ino;
    unsigned short st_mode;
    short st_nlink;
    short st_uid;
    short st_gid;
    unsigned int st_rdev;
    __int64 st_size;
    __time64_t st_atime;
    __time64_t st_mtime;
    __time64_t st_ctime;
};
#pragma pop_macro("st_ctime")
#pragma pop_macro("st_mtime")
#pragma pop_macro("st_atime")

// 0, or -1 with errno (ENOENT for a missing path).
extern "C" PLATFORM_API int _wstat64(const WCHAR* path, struct _stat64* buffer);

// Renames a file or folder. As on Windows, an existing new name is never replaced: -1 with
// errno EACCES.
extern "C" PLATFORM_API int _wrename(const WCHAR* oldname, const WCHAR* newname);

// ---- Shared-mode opens ---------------------------------------------------------------------
#define _SH_DENYRW 0x10  // deny reading and writing to every other opener
#define _SH_DENYWR 0x20  // deny writing to every other opener
#define _SH_DENYRD 0x30  // deny reading to every other opener
#define _SH_DENYNO 0x40  // deny nothing
#define _SH_SECURE 0x80  // as _SH_DENYWR for readers, _SH_DENYRW for writers

// Opens a file as _wfopen does ("r", "w", "a", with "+", "b", "t", "x"), with a share mode
// that holds for every other opener of the file through _wfsopen, in this process and in
// others, for as long as the stream is open: an open whose access another opener denies, or
// whose share mode denies an access another opener holds, fails with errno EACCES. A "w" open
// that fails so truncates nothing. Text mode does no line-end translation.
extern "C" PLATFORM_API FILE* _wfsopen(const WCHAR* filename, const WCHAR* mode, int shflag);

// Stream positions and lengths as 64-bit numbers.
extern "C" PLATFORM_API int _fseeki64(FILE* stream, __int64 offset, int origin);
extern "C" PLATFORM_API __int64 _ftelli64(FILE* stream);
extern "C" PLATFORM_API int _fileno(FILE* stream);
// Sets the length of the open file: 0, or an errno value.
extern "C" PLATFORM_API errno_t _chsize_s(int fd, __int64 size);
