// The names of a message's elements in its storage: the property stream, the value streams
// "__substg1.0_TTTTtttt" (and "-XXXXXXXX" for the items of multi-valued ones), and the
// numbered storages of attachments and recipients. Internal to the message store.
#pragma once

#include "mapi/mapi.h"

namespace platform::mapi {

inline constexpr WCHAR kPropertiesStream[] = OLESTR("__properties_version1.0");
inline constexpr WCHAR kNameIdStorage[] = OLESTR("__nameid_version1.0");
inline constexpr char kAttachPrefix[] = "__attach_version1.0_#";
inline constexpr char kRecipPrefix[] = "__recip_version1.0_#";

// An element name built in place (no allocation): opening a message names one value stream
// per variable-size property.
struct ElementName {
    WCHAR text[32];
    const WCHAR* c_str() const { return text; }
};
ElementName ValueStreamName(ULONG tag);
ElementName IndexStreamName(ULONG tag, ULONG index);
ElementName AttachStorageName(ULONG number);
ElementName RecipientStorageName(ULONG number);
// `name` is "prefix" followed by exactly 8 hexadecimal digits, which give `number`.
bool ParseNumbered(const WCHAR* name, const char* prefix, ULONG& number);

// The tag of a value stream's name "__substg1.0_TTTTtttt" (letters in either case, as the
// storage compares names), or false for any other name.
bool ValueStreamTag(const WCHAR* name, ULONG& tag);

}  // namespace platform::mapi
