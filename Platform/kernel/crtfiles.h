// C runtime and kernel file services: environment, attributes, folders, stat, rename and
// shared-mode opens.
#pragma once

#include "base/wintypes.h"
