// <imessage.h>: MAPI's message-on-storage service (OpenIMsgOnIStg).
#pragma once

#include "mapi/mapi.h"
