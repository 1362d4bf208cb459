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

// The Windows code page in which the message store keeps the 8-bit text of a message that names
// `codePage` as its character set: a MIME character set stands for the Windows code page of its
// family, any other code page for itself. Tests that predict the store's text use it.
PLATFORM_API UINT MapiWindowsCodePageOfFamily(UINT codePage);

}  // namespace platform::testing
