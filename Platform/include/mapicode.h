// <mapicode.h>: MAPI's result codes.
#pragma once

#include "mapi/mapi.h"
