// <shlwapi.h>: The shell's path functions.
#pragma once

#include "shell/shlwapi.h"
