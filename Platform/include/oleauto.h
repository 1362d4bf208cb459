// <oleauto.h>: OLE Automation: BSTR, VARIANT, date conversions and type libraries.
#pragma once

#include "oleaut/oleauto.h"
#include "oleaut/typelib.h"
