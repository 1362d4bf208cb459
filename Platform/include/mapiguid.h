// <mapiguid.h>: MAPI's interface identifiers.
#pragma once

#include "mapi/mapi.h"
