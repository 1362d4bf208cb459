// One object's property set: reading the property stream and the values' streams, and saving
// what changed.
#include "mapi/property_set.h"

#include <algorithm>
#include <cstring>

#include "kernel/winbase.h"
#include "mapi/mapi_testing.h"

namespace platform::mapi {

namespace {

// A property stream longer than this is not a message's: property identifiers are 16 bits, so
// even one entry of each of two types per identifier stays below it.
constexpr uint64_t kMaxPropertyStreamBytes = kMessageHeaderSize + 65536ull * 2 * kEntrySize;
// Values read whole into memory (OpenProperty conversions and writable streams) stop here.
constexpr uint64_t kMaxWholeValueBytes = 1ull << 30;

bool IsStringType(ULONG type) { return (type & ~MV_FLAG) == PT_STRING8 || (type & ~MV_FLAG) == PT_UNICODE; }
// The same kind of value with the other string width (PT_STRING8 <-> PT_UNICODE).
bool OtherStringWidth(ULONG a, ULONG b) {
    return IsStringType(a) && IsStringType(b) && (a & MV_FLAG) == (b & MV_FLAG) && a != b;
}

HRESULT WriteAll(IStream* stream, const BYTE* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ULONG chunk = static_cast<ULONG>(std::min<size_t>(size - done, 1u << 20));
        ULONG written = 0;
        HRESULT hr = stream->Write(data + done, chunk, &written);
        if (FAILED(hr)) return hr;
        if (written == 0) return STG_E_WRITEFAULT;
        done += written;
    }
    return S_OK;
}

// The names of the streams a storage holds.
HRESULT StreamNames(IStorage* storage, std::vector<std::basic_string<WCHAR>>& out) {
    out.clear();
    return EnumerateElements(storage, STGTY_STREAM, [&out](const WCHAR* name) { out.emplace_back(name); });
}

// The 8 value bytes of a changed entry's property-stream record.
void EntryBytes(const Entry& e, BYTE out[8]) {
    std::memset(out, 0, 8);
    const ULONG type = PROP_TYPE(e.tag);
    switch (ClassOf(type)) {
        case TypeClass::Fixed: std::memcpy(out, e.value.fixed, 8); break;
        case TypeClass::Variable:
            StoreLE32(out, static_cast<ULONG>(e.value.bytes.size() + TerminatorSize(type)));
            break;
        case TypeClass::MultiFixed: StoreLE32(out, static_cast<ULONG>(e.value.bytes.size())); break;
        case TypeClass::MultiVariable:
            StoreLE32(out, static_cast<ULONG>(e.value.items.size() * (type == PT_MV_BINARY ? 8 : 4)));
            break;
        case TypeClass::Object: StoreLE32(out, 0xFFFFFFFF); break;
        case TypeClass::Unsupported: break;
    }
}

}  // namespace

// ---- Small helpers -------------------------------------------------------------------------

ULONG LoadLE32(const BYTE* p) { return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24; }
void StoreLE32(BYTE* p, ULONG v) {
    p[0] = BYTE(v);
    p[1] = BYTE(v >> 8);
    p[2] = BYTE(v >> 16);
    p[3] = BYTE(v >> 24);
}

HRESULT WriteStream(IStorage* storage, const WCHAR* name, const BYTE* data, size_t size) {
    ComPtr<IStream> stream;
    HRESULT hr = storage->CreateStream(name, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.Put());
    if (FAILED(hr)) return hr;
    return WriteAll(stream.Get(), data, size);
}

HRESULT OpenChildStorage(IStorage* parent, const WCHAR* name, bool writable, IStorage** child) {
    HRESULT hr = E_FAIL;
    if (writable) hr = parent->OpenStorage(name, nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, child);
    if (!writable || hr == STG_E_ACCESSDENIED)
        hr = parent->OpenStorage(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, child);
    return hr;
}

// ---- Reading -------------------------------------------------------------------------------

void PropertySet::SetStorage(IStorage* storage) {
    storage_ = ComPtr<IStorage>(storage);
    reader_.Reset(storage);
}

HRESULT PropertySet::OpenStorage(IStorage* parent, const WCHAR* name, bool writable) {
    ComPtr<IStorage> child;
    HRESULT hr = OpenChildStorage(parent, name, writable, child.Put());
    SetStorage(child.Get());
    return hr;
}

HRESULT PropertySet::Load() {
    header.assign(headerSize, 0);
    entries.clear();
    StorageReader::Stream stream;
    HRESULT hr = reader_.Open(kPropertiesStream, stream);
    if (hr == STG_E_FILENOTFOUND) {
        hadPropertyStream = false;
        return S_OK;
    }
    if (FAILED(hr)) return hr;
    const uint64_t size = stream.size;
    if (size < headerSize || size > kMaxPropertyStreamBytes) return MAPI_E_CORRUPT_DATA;
    // Whole entries are read; bytes after the last (some writers leave a few) are not part of
    // any, and a save writes the entries without them.
    std::vector<BYTE> bytes(static_cast<size_t>(size));
    if (FAILED(hr = reader_.Read(stream, 0, bytes.data(), bytes.size()))) return hr;
    header.assign(bytes.begin(), bytes.begin() + headerSize);
    const size_t count = (size - headerSize) / kEntrySize;
    entries.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const BYTE* p = bytes.data() + headerSize + i * kEntrySize;
        Entry& e = entries[i];
        e.tag = e.storedTag = LoadLE32(p);
        e.flags = LoadLE32(p + 4);
        std::memcpy(e.stored, p + 8, 8);
    }
    hadPropertyStream = true;
    return S_OK;
}

Entry* PropertySet::Find(ULONG tag) {
    for (auto& e : entries)
        if (PROP_ID(e.tag) == PROP_ID(tag)) return &e;
    return nullptr;
}

// Opens the stream of a value whose entry gives `entrySize` (terminator included for strings)
// and checks the two agree. Writers differ on whether the stream itself holds the terminator;
// both forms are accepted, and `length` is the value without it.
SCODE PropertySet::OpenValue(const WCHAR* name, ULONG entrySize, ULONG terminator,
                             StorageReader::Stream& stream, uint64_t& length) const {
    return CheckOpenedValue(reader_.Open(name, stream), entrySize, terminator, stream, length);
}

SCODE PropertySet::OpenValueOf(ULONG tag, ULONG entrySize, ULONG terminator, StorageReader::Stream& stream,
                               uint64_t& length) const {
    return CheckOpenedValue(reader_.OpenValueStream(tag, stream), entrySize,
                            terminator, stream, length);
}

SCODE PropertySet::CheckOpenedValue(HRESULT hr, ULONG entrySize, ULONG terminator, StorageReader::Stream& stream,
                                    uint64_t& length) const {
    if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) return MAPI_E_NOT_FOUND;
    if (FAILED(hr)) return hr;
    const uint64_t size = stream.size;
    if (size + terminator == entrySize) {
        length = size;
        return S_OK;
    }
    if (terminator && size == entrySize && size >= terminator) {
        // The stream ends with the terminator: check it is one, and leave it out.
        BYTE tail[2] = {1, 1};
        if (FAILED(hr = reader_.Read(stream, size - terminator, tail, terminator))) return hr;
        if (tail[0] != 0 || (terminator == 2 && tail[1] != 0)) return MAPI_E_CORRUPT_DATA;
        length = size - terminator;
        return S_OK;
    }
    return MAPI_E_CORRUPT_DATA;
}

SCODE PropertySet::OpenValueStream(ULONG tag, ULONG entrySize, ULONG terminator, ComPtr<IStream>& out) const {
    // Through IStream alone: the caller gets the stream itself.
    const ElementName name = ValueStreamName(tag);
    ComPtr<IStream> stream;
    HRESULT hr = storage_->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
    if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) return MAPI_E_NOT_FOUND;
    if (FAILED(hr)) return hr;
    STATSTG stat{};
    if (FAILED(hr = stream->Stat(&stat, STATFLAG_NONAME))) return hr;
    const uint64_t size = stat.cbSize.QuadPart;
    if (size + terminator == entrySize) {
        out = stream;
        return S_OK;
    }
    if (terminator && size == entrySize && size >= terminator) {
        // The stream ends with the terminator: check it is one; the caller reads it too.
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(size - terminator);
        BYTE tail[2] = {1, 1};
        ULONG got = 0;
        if (FAILED(hr = stream->Seek(at, STREAM_SEEK_SET, nullptr))) return hr;
        if (FAILED(hr = stream->Read(tail, terminator, &got))) return hr;
        if (got != terminator || tail[0] != 0 || (terminator == 2 && tail[1] != 0)) return MAPI_E_CORRUPT_DATA;
        at.QuadPart = 0;
        if (FAILED(hr = stream->Seek(at, STREAM_SEEK_SET, nullptr))) return hr;
        out = stream;
        return S_OK;
    }
    return MAPI_E_CORRUPT_DATA;
}

SCODE PropertySet::ReadStored(const Entry& e, bool limit, RawValue& raw) const {
    raw = RawValue{};
    const ULONG type = PROP_TYPE(e.storedTag);
    raw.type = type;
    const uint64_t maxBytes = limit ? MAPI_MAX_INLINE_VALUE_BYTES : kMaxWholeValueBytes;
    const ULONG entrySize = LoadLE32(e.stored);
    StorageReader::Stream stream;
    uint64_t length = 0;
    switch (ClassOf(type)) {
        case TypeClass::Fixed: std::memcpy(raw.fixed, e.stored, 8); return S_OK;
        case TypeClass::Object: return S_OK;
        case TypeClass::Unsupported:
            return type == PT_SRESTRICTION || type == PT_ACTIONS ? MAPI_E_NO_SUPPORT : MAPI_E_CORRUPT_DATA;
        case TypeClass::Variable:
        case TypeClass::MultiFixed: {
            // One stream of bytes: a text or binary, or an array of fixed-size elements. A size
            // beyond the limit is refused before the stream is even opened, so large values cost
            // nothing until someone reads them as a stream.
            const bool array = ClassOf(type) == TypeClass::MultiFixed;
            const ULONG terminator = array ? 0 : TerminatorSize(type);
            if (limit && entrySize > MAPI_MAX_INLINE_VALUE_BYTES + terminator) return MAPI_E_NOT_ENOUGH_MEMORY;
            SCODE sc = OpenValueOf(e.storedTag, entrySize, terminator, stream, length);
            if (FAILED(sc)) return sc;
            if (array && length % FixedElementSize(type)) return MAPI_E_CORRUPT_DATA;
            if (length > maxBytes) return MAPI_E_NOT_ENOUGH_MEMORY;
            raw.bytes.resize(static_cast<size_t>(length));
            return reader_.Read(stream, 0, raw.bytes.data(), raw.bytes.size());
        }
        case TypeClass::MultiVariable: {
            if (limit && entrySize > MAPI_MAX_INLINE_VALUE_BYTES) return MAPI_E_NOT_ENOUGH_MEMORY;
            SCODE sc = OpenValueOf(e.storedTag, entrySize, 0, stream, length);
            if (FAILED(sc)) return sc;
            const ULONG slot = type == PT_MV_BINARY ? 8 : 4;
            if (length % slot) return MAPI_E_CORRUPT_DATA;
            if (length > maxBytes) return MAPI_E_NOT_ENOUGH_MEMORY;
            std::vector<BYTE> lengths(static_cast<size_t>(length));
            if (FAILED(sc = reader_.Read(stream, 0, lengths.data(), lengths.size()))) return sc;
            const size_t count = static_cast<size_t>(length / slot);
            raw.items.resize(count);
            uint64_t total = length;
            for (size_t i = 0; i < count; ++i) {
                uint64_t itemLength = 0;
                StorageReader::Stream item;
                sc = OpenValue(IndexStreamName(e.storedTag, static_cast<ULONG>(i)).c_str(),
                               LoadLE32(lengths.data() + i * slot), TerminatorSize(type), item, itemLength);
                if (FAILED(sc)) return sc;
                total += itemLength;
                if (total > maxBytes) return MAPI_E_NOT_ENOUGH_MEMORY;
                raw.items[i].resize(static_cast<size_t>(itemLength));
                if (FAILED(sc = reader_.Read(item, 0, raw.items[i].data(), raw.items[i].size()))) return sc;
            }
            return S_OK;
        }
    }
    return MAPI_E_CORRUPT_DATA;
}

SCODE PropertySet::ReadStoredInto(const Entry& e, ULONG tag, bool limit, const Allocators& alloc, void* parent,
                                  SPropValue& out, bool* allocationFailed) const {
    *allocationFailed = false;
    const ULONG type = PROP_TYPE(tag);
    const ULONG terminator = TerminatorSize(type);
    const ULONG entrySize = LoadLE32(e.stored);
    if (limit && entrySize > MAPI_MAX_INLINE_VALUE_BYTES + terminator) return MAPI_E_NOT_ENOUGH_MEMORY;
    StorageReader::Stream stream;
    uint64_t length = 0;
    SCODE sc = OpenValueOf(e.storedTag, entrySize, terminator, stream, length);
    if (FAILED(sc)) return sc;
    if (length > (limit ? MAPI_MAX_INLINE_VALUE_BYTES : kMaxWholeValueBytes)) return MAPI_E_NOT_ENOUGH_MEMORY;
    void* payload = nullptr;
    sc = alloc.more(static_cast<ULONG>(std::max<uint64_t>(length + terminator, 1)), parent, &payload);
    if (FAILED(sc)) {
        *allocationFailed = true;
        return sc;
    }
    auto* bytes = static_cast<BYTE*>(payload);
    if (FAILED(sc = reader_.Read(stream, 0, bytes, static_cast<size_t>(length)))) return sc;
    out.ulPropTag = tag;
    switch (type) {
        case PT_STRING8:
            bytes[length] = 0;
            out.Value.lpszA = reinterpret_cast<LPSTR>(bytes);
            return S_OK;
        case PT_UNICODE:
            // An odd last byte is no character.
            bytes[length & ~uint64_t(1)] = bytes[(length & ~uint64_t(1)) + 1] = 0;
            out.Value.lpszW = reinterpret_cast<LPWSTR>(bytes);
            return S_OK;
        case PT_CLSID:
            if (length != sizeof(GUID)) return MAPI_E_CORRUPT_DATA;
            out.Value.lpguid = reinterpret_cast<LPGUID>(bytes);
            return S_OK;
        default:
            out.Value.bin.cb = static_cast<ULONG>(length);
            out.Value.bin.lpb = bytes;
            return S_OK;
    }
}

SCODE PropertySet::Value(const Entry& e, ULONG type, UINT codePage, bool limit, RawValue& out) const {
    const RawValue* source = &e.value;
    RawValue stored;
    if (e.changed) {
        if (limit && PayloadSize(e.value) > MAPI_MAX_INLINE_VALUE_BYTES) return MAPI_E_NOT_ENOUGH_MEMORY;
    } else {
        SCODE sc = ReadStored(e, limit, stored);
        if (FAILED(sc)) return sc;
        source = &stored;
    }
    const ULONG have = PROP_TYPE(e.tag);
    if (type == have) {
        if (source == &stored) out = std::move(stored);
        else out = *source;
        return S_OK;
    }
    if (!OtherStringWidth(have, type)) return MAPI_E_NOT_FOUND;
    return ConvertStringRaw(*source, type, codePage, out) ? S_OK : MAPI_E_CORRUPT_DATA;
}

// ---- Changing and saving -------------------------------------------------------------------

HRESULT PropertySet::SetRaw(ULONG tag, RawValue raw) {
    raw.type = PROP_TYPE(tag);
    if (Entry* e = Find(tag)) {
        e->tag = tag;
        e->value = std::move(raw);
        e->changed = true;
    } else {
        Entry added;
        added.tag = tag;
        added.flags = kEntryReadable | kEntryWritable;
        added.value = std::move(raw);
        added.changed = true;
        entries.push_back(std::move(added));
    }
    dirty = true;
    return S_OK;
}

bool PropertySet::Remove(ULONG tag) {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (PROP_ID(it->tag) != PROP_ID(tag)) continue;
        if (it->storedTag) removedStoredTags.push_back(it->storedTag);
        entries.erase(it);
        dirty = true;
        return true;
    }
    return false;
}

HRESULT PropertySet::RemoveValueStreams(ULONG tag) {
    const ULONG type = PROP_TYPE(tag);
    const TypeClass cls = ClassOf(type);
    if (cls == TypeClass::Fixed) return S_OK;
    if (cls == TypeClass::MultiVariable) {
        HRESULT hr = RemoveIndexStreams(tag);
        if (FAILED(hr)) return hr;
    }
    HRESULT hr = storage_->DestroyElement(ValueStreamName(tag).c_str());
    return hr == STG_E_FILENOTFOUND ? S_OK : hr;
}

HRESULT PropertySet::RemoveIndexStreams(ULONG tag) {
    std::vector<std::basic_string<WCHAR>> names;
    HRESULT hr = StreamNames(storage_.Get(), names);
    if (FAILED(hr)) return hr;
    ElementName prefix = ValueStreamName(tag);
    const std::basic_string<WCHAR> start = std::basic_string<WCHAR>(prefix.text) + OLESTR("-");
    for (const auto& name : names) {
        if (name.compare(0, start.size(), start) != 0) continue;
        hr = storage_->DestroyElement(name.c_str());
        if (FAILED(hr) && hr != STG_E_FILENOTFOUND) return hr;
    }
    return S_OK;
}

HRESULT PropertySet::WriteValueStreams(const Entry& e) {
    const ULONG type = PROP_TYPE(e.tag);
    IStorage* storage = storage_.Get();
    switch (ClassOf(type)) {
        case TypeClass::Variable:
        case TypeClass::MultiFixed:
            return WriteStream(storage, ValueStreamName(e.tag).c_str(), e.value.bytes.data(), e.value.bytes.size());
        case TypeClass::MultiVariable: {
            HRESULT hr = S_OK;
            if (e.storedTag == e.tag && FAILED(hr = RemoveIndexStreams(e.tag))) return hr;
            const ULONG slot = type == PT_MV_BINARY ? 8 : 4;
            std::vector<BYTE> lengths(e.value.items.size() * slot, 0);
            for (size_t i = 0; i < e.value.items.size(); ++i) {
                const auto& item = e.value.items[i];
                StoreLE32(lengths.data() + i * slot, static_cast<ULONG>(item.size() + TerminatorSize(type)));
                hr = WriteStream(storage, IndexStreamName(e.tag, static_cast<ULONG>(i)).c_str(), item.data(),
                                 item.size());
                if (FAILED(hr)) return hr;
            }
            return WriteStream(storage, ValueStreamName(e.tag).c_str(), lengths.data(), lengths.size());
        }
        default: return S_OK;
    }
}

HRESULT PropertySet::Save(const std::vector<BYTE>& newHeader) {
    HRESULT hr = S_OK;
    reader_.Forget();  // streams are about to be written
    for (ULONG tag : removedStoredTags) {
        bool stillUsed = std::any_of(entries.begin(), entries.end(), [&](const Entry& e) {
            return e.storedTag == tag || (e.changed && e.tag == tag);
        });
        if (!stillUsed && FAILED(hr = RemoveValueStreams(tag))) return hr;
    }
    for (auto& e : entries) {
        if (!e.changed) continue;
        if (e.storedTag && e.storedTag != e.tag && FAILED(hr = RemoveValueStreams(e.storedTag))) return hr;
        if (FAILED(hr = WriteValueStreams(e))) return hr;
    }
    std::vector<BYTE> bytes(newHeader);
    bytes.resize(headerSize, 0);
    bytes.reserve(headerSize + entries.size() * kEntrySize);
    for (const auto& e : entries) {
        BYTE record[kEntrySize];
        StoreLE32(record, e.tag);
        StoreLE32(record + 4, e.flags);
        if (e.changed) EntryBytes(e, record + 8);
        else std::memcpy(record + 8, e.stored, 8);
        bytes.insert(bytes.end(), record, record + kEntrySize);
    }
    if (FAILED(hr = WriteStream(storage_.Get(), kPropertiesStream, bytes.data(), bytes.size()))) return hr;
    for (auto& e : entries) {
        if (!e.changed) continue;
        EntryBytes(e, e.stored);
        e.storedTag = e.tag;
        e.changed = false;
        e.value = RawValue{};
    }
    header.assign(bytes.begin(), bytes.begin() + headerSize);
    removedStoredTags.clear();
    dirty = false;
    hadPropertyStream = true;
    reader_.Forget();  // its streams were written
    return S_OK;
}

// ---- Code pages and value arrays ---------------------------------------------------------

namespace {

// 8-bit strings are kept in a Windows code page: a message's Internet character set (a MIME
// charset such as ISO-2022-JP, which is 7-bit) stands for the Windows code page of its family.
UINT WindowsCodePageOfFamily(UINT codePage) {
    switch (codePage) {
    case 50220: case 50221: case 50222: case 51932: case 20932: return 932;
    case 52936: return 936;
    case 50225: case 51949: return 949;
    case 28591: return 1252;
    case 28592: return 1250;
    case 28595: case 20866: case 21866: return 1251;
    case 28597: return 1253;
    case 28599: return 1254;
    case 28598: case 38598: return 1255;
    case 28596: return 1256;
    case 28594: case 28603: return 1257;
    default: return codePage;
    }
}

}  // namespace

UINT CodePageOf(const PropertySet& props) {
    for (ULONG tag : {PR_INTERNET_CPID, PR_MESSAGE_CODEPAGE}) {
        for (const auto& e : props.entries) {
            if (e.tag != tag) continue;
            const BYTE* p = e.changed ? e.value.fixed : e.stored;
            UINT cp = WindowsCodePageOfFamily(LoadLE32(p));
            if (cp != 0 && IsValidCodePage(cp)) return cp;
        }
    }
    return AnsiCodePage();
}

// Fills `out` (an array from alloc.allocate) with the values asked for.
HRESULT BuildProps(const PropertySet& props, UINT codePage, const Allocators& alloc, const SPropTagArray* tags,
                   ULONG flags, bool limit, ULONG* lpcValues, LPSPropValue* lppPropArray) {
    const size_t count = tags ? tags->cValues : props.entries.size();
    void* array = nullptr;
    HRESULT hr = alloc.allocate(static_cast<ULONG>(sizeof(SPropValue) * (count ? count : 1)), &array);
    if (FAILED(hr)) return hr;
    auto* values = static_cast<LPSPropValue>(array);
    bool errors = false;
    for (size_t i = 0; i < count; ++i) {
        SPropValue& out = values[i];
        const Entry* entry = nullptr;
        ULONG wanted;
        if (tags) {
            wanted = tags->aulPropTag[i];
            entry = props.Find(wanted);
            if (entry && PROP_TYPE(wanted) == PT_UNSPECIFIED) wanted = entry->tag;
        } else {
            entry = &props.entries[i];
            wanted = entry->tag;
        }
        if (entry && (flags & MAPI_UNICODE) && (PROP_TYPE(wanted) & ~MV_FLAG) == PT_STRING8 &&
            (!tags || PROP_TYPE(tags->aulPropTag[i]) == PT_UNSPECIFIED))
            wanted = CHANGE_PROP_TYPE(wanted, (PROP_TYPE(wanted) == PT_STRING8 ? PT_UNICODE : PT_MV_UNICODE));
        if (!entry) {
            std::memset(&out, 0, sizeof(out));
            out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(wanted));
            out.Value.err = MAPI_E_NOT_FOUND;
            errors = true;
            continue;
        }
        bool allocationFailed = false;
        if (FAILED(ValueInto(props, *entry, wanted, codePage, limit, alloc, array, out, &allocationFailed))) {
            if (allocationFailed) {
                alloc.free(array);
                return MAPI_E_NOT_ENOUGH_MEMORY;  // the buffer itself could not be allocated
            }
            errors = true;
        }
    }
    *lpcValues = static_cast<ULONG>(count);
    *lppPropArray = values;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

}  // namespace platform::mapi

namespace platform::testing {

UINT MapiWindowsCodePageOfFamily(UINT codePage) { return mapi::WindowsCodePageOfFamily(codePage); }

}  // namespace platform::testing
