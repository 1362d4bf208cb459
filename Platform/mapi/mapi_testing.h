// Test-only controls of the mapi service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"

namespace platform::testing {

// MAPIAllocateBuffer chains not yet freed with MAPIFreeBuffer (process-wide; compare before
// and after the code under test).
PLATFORM_API long MapiBuffersInUse();

// MAPIInitialize calls not yet matched by MAPIUninitialize (reset to 0 between tests).
PLATFORM_API long MapiInitializeCount();

// MAPIUninitialize calls made while no MAPIInitialize call was open, which MAPI ignores (reset to
// 0 between tests). With MapiInitializeCount, it shows whether a caller's starts and stops pair up.
PLATFORM_API long MapiUnpairedUninitializeCount();

// The flags of the initialisation block passed to the last MAPIInitialize call (failed or not);
// -1 when it passed none (reset to -1 between tests).
PLATFORM_API long MapiLastInitializeFlags();

}  // namespace platform::testing
