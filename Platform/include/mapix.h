// <mapix.h>: MAPI's start and end and its allocators.
#pragma once

#include "mapi/mapi.h"
