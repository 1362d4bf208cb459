// The Windows build of the message store: no fault injection (a test facility of the platform
// layer's own build).
#pragma once

#include "base/wintypes.h"

#define PLATFORM_FAULT(operation, code) ((void)(operation), (void)(code), false)
