// The registrar: applies registration scripts (the registry script text format: nested keys
// with default values, `val` named values, NoRemove / ForceRemove / Delete flags and
// %NAME% replacements) to the registry, in register or unregister mode.
#pragma once

#include <atliface.h>  // the registrar's interface and class

#include "base/wintypes.h"
#include "com/objbase.h"

// Registry script errors.
#define DISP_E_EXCEPTION_REGISTRAR_SYNTAX ((HRESULT)0x80020009L)

// Creates a registrar (also reachable as CoCreateInstance(CLSID_Registrar, ...,
// CLSCTX_INPROC_SERVER, IID_IRegistrar)).
STDAPI CreateRegistrar(REFIID riid, void** ppv);
