// <mapitags.h>: MAPI's property tags.
#pragma once

#include "mapi/mapi.h"
