// Helpers shared by the kernel service's sources (not part of the Windows API).
#pragma once

#include <string>
#include <string_view>

#include "base/wintypes.h"

namespace platform::kernel::detail {

// UTF-8 to UTF-16; each ill-formed sequence (a maximal invalid subpart) becomes U+FFFD.
std::u16string WidenUtf8(std::string_view utf8);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string NarrowToUtf8(std::u16string_view utf16);

}  // namespace platform::kernel::detail
