// The Windows build of the message store: the kernel is the system's.
#pragma once

#include <windows.h>
