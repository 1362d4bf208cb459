// The one header module code includes: the Windows API as the platform layer provides it.
#pragma once

#include "base/wintypes.h"
#include "com/objbase.h"
#include "com/registrar.h"
#include "oleaut/oleauto.h"
#include "oleaut/typelib.h"
#include "kernel/winbase.h"
#include "kernel/crtfiles.h"
#include "kernel/loader.h"
#include "kernel/heap.h"
#include "storage/storage.h"
#include "mapi/mapi.h"
#include "registry/winreg.h"
#include "shell/shell.h"
#include "installer/msi.h"
#include "rpc/rpcproxy.h"
