// The Windows build of the message store: structured storage is the system's.
#pragma once

#include <windows.h>
#include <objbase.h>
