// The Windows build of the message store: COM's declarations are the SDK's own.
#pragma once

#include <objbase.h>
