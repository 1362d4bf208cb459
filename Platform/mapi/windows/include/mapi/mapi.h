// The Windows build of the message store: MAPI's definitions are the SDK's, plus what the store
// defines of its own.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <mapicode.h>
#include <mapidefs.h>
#include <mapiguid.h>
#include <mapitags.h>
#include <mapiutil.h>
#include <mapix.h>
#include <imessage.h>

#include "base/wintypes.h"

typedef CURRENCY MAPICURRENCY;

// The class identifier of a message's root storage (an Outlook message file).
DEFINE_GUID(CLSID_MailMessage, 0x00020D0B, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// Largest string or binary value (in stored bytes) that GetProps and tables return inline;
// larger values come back as PT_ERROR / MAPI_E_NOT_ENOUGH_MEMORY and are read with OpenProperty.
#define MAPI_MAX_INLINE_VALUE_BYTES ((ULONG)16384)

// What MinGW-w64's MAPI headers lack.
#ifndef MAPI_NO_COINIT
#define MAPI_NO_COINIT ((ULONG)0x00000008)
#endif
#ifndef PT_SVREID
#define PT_SVREID ((ULONG)0xFB)
#endif
#ifndef PT_SRESTRICTION
#define PT_SRESTRICTION ((ULONG)0xFD)
#endif
#ifndef PT_ACTIONS
#define PT_ACTIONS ((ULONG)0xFE)
#endif
#ifndef PR_MESSAGE_CODEPAGE
#define PR_MESSAGE_CODEPAGE PROP_TAG(PT_LONG, 0x3FFD)
#endif
#ifndef PR_INTERNET_CPID
#define PR_INTERNET_CPID PROP_TAG(PT_LONG, 0x3FDE)
#endif
