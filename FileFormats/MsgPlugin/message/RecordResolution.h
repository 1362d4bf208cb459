// Which property a variable request addresses.
#pragma once

#include "frame/HostInterfaces.h"

namespace msgplugin {

// Resolves a record of block "MSG" (any letter case) to a property tag: a catalogue name, or
// a decimal number read as the C runtime's _wtoi reads it (0 and -1 are no tags). False when
// the record is to be skipped. *readOnly, when asked for, tells a read-only catalogue name.
bool ResolveRecord(const VariableRequest& record, ULONG* tag, bool* readOnly);

}  // namespace msgplugin
