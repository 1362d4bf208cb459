// Which property a variable request addresses.
#pragma once

#include <new>

#include "frame/HostInterfaces.h"

namespace msgplugin {

// Resolves a record of block "MSG" (any letter case) to a property tag: a catalogue name, or
// a decimal number read as the C runtime's _wtoi reads it (0 and -1 are no tags). False when
// the record is to be skipped. *readOnly, when asked for, tells a read-only catalogue name.
bool ResolveRecord(const VariableRequest& record, ULONG* tag, bool* readOnly);

// The walk of a host's request array that reading and writing share: for each record that
// resolves, in order, handle(record, tag, readOnly) returns S_OK to go on, S_FALSE to end the
// call with S_OK (a first-only request that is answered), or a failure that ends the call. A null
// array is E_POINTER; running out of memory ends the call with E_OUTOFMEMORY.
template <typename Handle>
HRESULT ForEachResolvedRecord(LONG count, VariableRequest* records, Handle handle) {
    if (!records) return E_POINTER;
    if (count <= 0) return S_OK;
    try {
        for (LONG i = 0; i < count; ++i) {
            ULONG tag = 0;
            bool readOnly = false;
            if (!ResolveRecord(records[i], &tag, &readOnly)) continue;
            const HRESULT hr = handle(records[i], tag, readOnly);
            if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

}  // namespace msgplugin
