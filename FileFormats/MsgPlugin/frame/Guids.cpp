// The module's GUIDs, defined here and only here.
#include <initguid.h>

#include <windows.h>
#include <objbase.h>
#include <atliface.h>

#include "frame/HostInterfaces.h"
#include "frame/MsgPluginInterfaces.h"
