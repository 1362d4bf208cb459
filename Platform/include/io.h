// <io.h>: Low-level file functions of the C runtime (_chsize_s).
#pragma once

#include "kernel/crtfiles.h"
