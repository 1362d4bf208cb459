// Shell services: the user's special folders as item lists, the shell's allocator, path
// helpers and the message box.
#pragma once

#include "base/wintypes.h"
#include "com/objbase.h"
#include "shell/shlwapi.h"

// ---- Item lists ------------------------------------------------------------------------------
// An item list is a sequence of SHITEMIDs, each starting with its byte count (the count
// included), closed by a count of 0. The platform's special-folder lists hold one item: the
// folder's path. Lists are allocated by the shell's allocator (SHGetMalloc).
#pragma pack(push, 1)
typedef struct _SHITEMID {
    USHORT cb;
    BYTE abID[1];
} SHITEMID;
typedef struct _ITEMIDLIST {
    SHITEMID mkid;
} ITEMIDLIST;
#pragma pack(pop)
typedef ITEMIDLIST* LPITEMIDLIST;
typedef const ITEMIDLIST* LPCITEMIDLIST;
typedef ITEMIDLIST* PIDLIST_ABSOLUTE;
typedef const ITEMIDLIST* PCIDLIST_ABSOLUTE;
typedef const ITEMIDLIST* PCUIDLIST_ABSOLUTE;

// Special folders. On Linux, the roaming application-data folder is $XDG_CONFIG_HOME (else
// ~/.config) and the local one $XDG_DATA_HOME (else ~/.local/share); a relative XDG value is
// ignored, as the XDG rules say. The folder is created (mode 0700) when it is missing, as a
// Windows profile always has it.
#define CSIDL_APPDATA 0x001A
#define CSIDL_LOCAL_APPDATA 0x001C
#define CSIDL_FLAG_CREATE 0x8000
#define CSIDL_FLAG_DONT_VERIFY 0x4000
#define CSIDL_FLAG_MASK 0xFF00

// S_OK and *ppidl an item list of the folder (free it with the shell's allocator); E_INVALIDARG
// for a folder this platform does not know; E_FAIL when the user's home cannot be found.
STDAPI SHGetSpecialFolderLocation(HWND hwnd, int csidl, PIDLIST_ABSOLUTE* ppidl);

// Writes the list's path into pszPath, which holds MAX_PATH characters; FALSE (and an empty
// pszPath) when the list names no path or the path does not fit.
STDAPI_(BOOL) SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR pszPath);

// The shell's allocator: the COM task allocator.
STDAPI SHGetMalloc(IMalloc** ppMalloc);


// ---- Message box ---------------------------------------------------------------------------
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_ICONHAND 0x00000010L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L

#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// Linux has no system message box: the caption and the text go to standard error as one line
// ("caption: text", line breaks shown as blanks) and the user's answer is taken to be the first
// button's (IDOK for MB_OK). 0 on failure.
STDAPI_(int) MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
