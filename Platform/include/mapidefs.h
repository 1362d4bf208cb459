// <mapidefs.h>: MAPI's property values, tables and object interfaces.
#pragma once

#include "mapi/mapi.h"
