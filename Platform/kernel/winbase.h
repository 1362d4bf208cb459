// kernel services of the platform layer (declarations come with their implementation).
#pragma once

#include "base/wintypes.h"
