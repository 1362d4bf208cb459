// The Windows build of the message store: the platform's test controls do nothing here.
#pragma once

#include "mapi/mapi_testing.h"

namespace platform::testing {
inline void RegisterResetHook(void (*)()) {}
}  // namespace platform::testing
