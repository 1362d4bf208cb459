// <initguid.h>: on Windows it makes DEFINE_GUID define its GUIDs; the layer's DEFINE_GUID always defines them (inline constants), so it only brings the GUID types.
#pragma once

#include "base/wintypes.h"
