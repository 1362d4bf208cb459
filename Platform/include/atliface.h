// <atliface.h>: The registrar's interface (IRegistrar) and class (CLSID_Registrar).
#pragma once

#include "com/registrar.h"
