// <msi.h>: Windows Installer: the qualified-component lookup.
#pragma once

#include "installer/msi.h"
