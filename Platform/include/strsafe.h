// <strsafe.h>: Bounded string functions.
#pragma once

#include "kernel/strsafe.h"
