// The Windows build of the message store: the Windows types are the SDK's.
#pragma once

#include <windows.h>
#include <objbase.h>

#define PLATFORM_API
