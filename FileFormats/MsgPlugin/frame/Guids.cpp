// The module's GUIDs, defined here and only here.
#include <initguid.h>

#include "frame/HostInterfaces.h"
#include "frame/MsgPluginInterfaces.h"
#include "frame/RegistrarInterface.h"
