// The interface identifiers the store answers to, defined once for its Windows build. The SDK's
// mapiguid.h defines only those a file says it uses.
#define USES_IID_IMAPIProp
#define USES_IID_IMAPITable
#define USES_IID_IMessage
#define USES_IID_IAttachment
#include <initguid.h>

#include <mapiguid.h>

#include "mapi/mapi.h"
#include "storage/storage_direct.h"
