// <shlobj.h>: Shell folders, the shell's allocator and item lists.
#pragma once

#include "shell/shell.h"
