// Windows Installer: qualified-component lookups.
//
// The installed qualified components live in the registry, one key per category under
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Installer\QualifiedComponents, named by the category's
// GUID in braces; each qualifier is a REG_SZ value of that key whose data is the component's
// path. Installing one is adding that value (with the registry tool).
#pragma once

#include "base/wintypes.h"

#define INSTALLMODE_DEFAULT 0
#define INSTALLMODE_EXISTING (-1)
#define INSTALLMODE_NODETECTION (-2)
#define INSTALLMODE_NOSOURCERESOLUTION (-3)

// The key under HKEY_LOCAL_MACHINE that holds the table.
#define MSI_QUALIFIED_COMPONENTS_KEY u"SOFTWARE\\Classes\\Installer\\QualifiedComponents"

extern "C" PLATFORM_API UINT WINAPI MsiProvideQualifiedComponentW(LPCWSTR szCategory, LPCWSTR szQualifier,
                                                                  DWORD dwInstallMode, LPWSTR lpPathBuf,
                                                                  LPDWORD pcchPathBuf);
