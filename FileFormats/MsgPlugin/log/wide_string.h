// The module's one string type: text of the system's wide characters (WCHAR, UTF-16).
#pragma once

#include <string>

#include <windows.h>

using WString = std::basic_string<WCHAR>;
