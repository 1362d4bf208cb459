// The property set of one object of a message (the message, an attachment, a recipient or an
// embedded message): its storage's property stream read into entries, values read from their
// streams when asked for, and saving what changed. Internal to the message store.
//
// Each object is one storage with a property stream "__properties_version1.0": a header (32
// bytes for the message, 24 for an embedded message, 8 for attachments and recipients), then
// one 16-byte entry per property (tag, flags, then the value itself or, for variable-size
// values, their size). Variable-size values live in streams "__substg1.0_TTTTtttt"; multi-valued
// variable-size values in a length stream of that name plus one stream per value,
// "__substg1.0_TTTTtttt-XXXXXXXX".
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/comptr.h"
#include "mapi/element_names.h"
#include "mapi/mapi_internal.h"
#include "mapi/storage_reader.h"

namespace platform::mapi {

inline constexpr ULONG kEntrySize = 16;
inline constexpr ULONG kMessageHeaderSize = 32;
inline constexpr ULONG kEmbeddedHeaderSize = 24;
inline constexpr ULONG kSubObjectHeaderSize = 8;
// Entry flags of properties this store adds (readable and writable).
inline constexpr ULONG kEntryReadable = 2, kEntryWritable = 4;

ULONG LoadLE32(const BYTE* p);
void StoreLE32(BYTE* p, ULONG v);

// Creates (or replaces) stream `name` with `size` bytes.
HRESULT WriteStream(IStorage* storage, const WCHAR* name, const BYTE* data, size_t size);
// Opens a child storage for writing when the parent allows it, else for reading.
HRESULT OpenChildStorage(IStorage* parent, const WCHAR* name, bool writable, IStorage** child);

struct Entry {
    ULONG tag = 0;        // current tag
    ULONG flags = 0;      // entry flags, kept as stored
    ULONG storedTag = 0;  // the tag the storage holds (0: not in the storage yet)
    BYTE stored[8] = {};  // the entry's value bytes as stored
    bool changed = false;
    RawValue value;  // the value when changed
};

class PropertySet {
public:
    // The object's storage (null for an attachment not saved yet).
    IStorage* Storage() const { return storage_.Get(); }
    void SetStorage(IStorage* storage);
    // Opens child `name` of `parent` (for writing when `writable` and allowed) as this set's
    // storage.
    HRESULT OpenStorage(IStorage* parent, const WCHAR* name, bool writable);

    bool writable = false;
    ULONG headerSize = kSubObjectHeaderSize;
    std::vector<BYTE> header;
    std::vector<Entry> entries;
    std::vector<ULONG> removedStoredTags;  // stored values deleted since the last save
    bool dirty = false;
    bool hadPropertyStream = false;

    // Reads the property stream; a storage without one is an object without properties.
    HRESULT Load();
    // Calls `each` with the name of every storage the object's storage holds.
    HRESULT ForEachStorage(const std::function<void(const WCHAR* name)>& each) const {
        return reader_.ForEachStorage(each);
    }
    Entry* Find(ULONG tag);
    const Entry* Find(ULONG tag) const { return const_cast<PropertySet*>(this)->Find(tag); }
    // The value of an entry as `type`, converted between string widths with `codePage`. With
    // `limit`, values above the inline limit are refused.
    SCODE Value(const Entry& e, ULONG type, UINT codePage, bool limit, RawValue& out) const;
    // An unchanged variable-size value as its stored type `tag`, read straight into `out` with
    // its payload allocated by `alloc.more` under `parent`. *allocationFailed tells a failed
    // allocation from the value's own errors.
    SCODE ReadStoredInto(const Entry& e, ULONG tag, bool limit, const Allocators& alloc, void* parent,
                         SPropValue& out, bool* allocationFailed) const;
    // The storage's own stream of an unchanged variable-size value, for reading.
    SCODE OpenValueStream(ULONG tag, ULONG entrySize, ULONG terminator, ComPtr<IStream>& stream) const;
    HRESULT SetRaw(ULONG tag, RawValue raw);
    bool Remove(ULONG tag);
    // Writes what changed: removed and retyped values' streams go, changed values' streams are
    // written, then the property stream with `newHeader`. Unchanged streams are not touched.
    HRESULT Save(const std::vector<BYTE>& newHeader);

private:
    SCODE ReadStored(const Entry& e, bool limit, RawValue& raw) const;
    // Opens the stream `name` (or the value stream of `tag`) of a value whose entry gives
    // `entrySize` and checks the two agree.
    SCODE OpenValue(const WCHAR* name, ULONG entrySize, ULONG terminator, StorageReader::Stream& stream,
                    uint64_t& length) const;
    SCODE OpenValueOf(ULONG tag, ULONG entrySize, ULONG terminator, StorageReader::Stream& stream,
                      uint64_t& length) const;
    SCODE CheckOpenedValue(HRESULT opened, ULONG entrySize, ULONG terminator, StorageReader::Stream& stream,
                           uint64_t& length) const;
    HRESULT RemoveValueStreams(ULONG tag);
    HRESULT RemoveIndexStreams(ULONG tag);
    HRESULT WriteValueStreams(const Entry& e);

    ComPtr<IStorage> storage_;
    StorageReader reader_;
};

// The code page of a message's 8-bit strings.
UINT CodePageOf(const PropertySet& props);
// The value of `entry` as `wanted` into `out`, its payload allocated under `parent`; on failure
// `out` is the error value. *allocationFailed tells a failed allocation (after which `parent`
// must go) from the value's own errors.
inline SCODE ValueInto(const PropertySet& props, const Entry& entry, ULONG wanted, UINT codePage, bool limit,
                       const Allocators& alloc, void* parent, SPropValue& out, bool* allocationFailed) {
    *allocationFailed = false;
    std::memset(&out, 0, sizeof(out));
    SCODE sc;
    if (!entry.changed && PROP_TYPE(wanted) == PROP_TYPE(entry.storedTag) &&
        ClassOf(PROP_TYPE(wanted)) == TypeClass::Variable) {
        // Of its stored type and unchanged: straight from the storage into the array.
        sc = props.ReadStoredInto(entry, wanted, limit, alloc, parent, out, allocationFailed);
        *allocationFailed = *allocationFailed && sc == MAPI_E_NOT_ENOUGH_MEMORY;
    } else {
        RawValue raw;
        sc = props.Value(entry, PROP_TYPE(wanted), codePage, limit, raw);
        if (SUCCEEDED(sc)) {
            sc = RawToProp(raw, wanted, alloc, parent, out);
            *allocationFailed = sc == MAPI_E_NOT_ENOUGH_MEMORY;
        }
    }
    if (FAILED(sc)) {
        out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(wanted));
        out.dwAlignPad = 0;
        std::memset(&out.Value, 0, sizeof(out.Value));
        out.Value.err = sc;
    }
    return sc;
}

// Fills `out` (an array from alloc.allocate) with the values asked for.
HRESULT BuildProps(const PropertySet& props, UINT codePage, const Allocators& alloc, const SPropTagArray* tags,
                   ULONG flags, bool limit, ULONG* lpcValues, LPSPropValue* lppPropArray);

}  // namespace platform::mapi
