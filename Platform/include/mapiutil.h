// <mapiutil.h>: MAPI's utility functions (table and property helpers).
#pragma once

#include "mapi/mapi.h"
