// <share.h>: Share flags of _wfsopen.
#pragma once

#include "kernel/crtfiles.h"
