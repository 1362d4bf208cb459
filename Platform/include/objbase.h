// <objbase.h>: COM: interfaces, class objects, activation, the task allocator and structured storage.
#pragma once

#include "base/wintypes.h"
#include "com/objbase.h"
#include "storage/storage.h"
