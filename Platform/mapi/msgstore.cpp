// The message-on-storage service: IMessage and IAttach over a compound file laid out as an
// Outlook message.
//
// Each object (message, attachment, recipient, embedded message) is one storage with a
// property stream "__properties_version1.0": a header (32 bytes for the message, 24 for an
// embedded message, 8 for attachments and recipients), then one 16-byte entry per property
// (tag, flags, then the value itself or, for variable-size values, their size). Variable-size
// values live in streams "__substg1.0_TTTTtttt"; multi-valued variable-size values in a
// length stream of that name plus one stream per value, "__substg1.0_TTTTtttt-XXXXXXXX".
//
// Values are read from the storage when asked for, never all at once, so large bodies and
// attachment data cost nothing until someone opens them. Saving writes only what changed.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "base/comptr.h"
#include "base/fault.h"
#include "kernel/winbase.h"
#include "mapi/mapi_internal.h"

namespace platform::mapi {
namespace {

using platform::ComPtr;

constexpr ULONG kEntrySize = 16;
constexpr ULONG kMessageHeaderSize = 32;
constexpr ULONG kEmbeddedHeaderSize = 24;
constexpr ULONG kSubObjectHeaderSize = 8;
// A property stream longer than this is not a message's: property identifiers are 16 bits, so
// even one entry of each of two types per identifier stays below it.
constexpr uint64_t kMaxPropertyStreamBytes = kMessageHeaderSize + 65536ull * 2 * kEntrySize;
// Values read whole into memory (OpenProperty conversions and writable streams) stop here.
constexpr uint64_t kMaxWholeValueBytes = 1ull << 30;
// Entry flags of properties this store adds (readable and writable).
constexpr ULONG PROPATTR_READABLE = 2, PROPATTR_WRITABLE = 4;

const char16_t kPropertiesStream[] = u"__properties_version1.0";
const char16_t kNameIdStorage[] = u"__nameid_version1.0";
const char kAttachPrefix[] = "__attach_version1.0_#";
const char kRecipPrefix[] = "__recip_version1.0_#";

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }
std::string Narrow(const char16_t* s) {
    std::string out;
    for (; s && *s; ++s) out.push_back(*s < 0x80 ? static_cast<char>(*s) : '?');
    return out;
}
std::string Hex8(ULONG value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}
// Written directly: a message's opening names one value stream per variable-size property.
std::u16string ValueStreamName(ULONG tag) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    std::u16string name = u"__substg1.0_00000000";
    for (int i = 0; i < 8; ++i) name[name.size() - 1 - i] = kDigits[(tag >> (4 * i)) & 0xF];
    return name;
}
std::u16string IndexStreamName(ULONG tag, ULONG index) {
    return Widen("__substg1.0_" + Hex8(tag) + "-" + Hex8(index));
}
std::u16string AttachStorageName(ULONG num) { return Widen(kAttachPrefix + Hex8(num)); }

// "prefix" followed by exactly 8 hexadecimal digits.
bool ParseNumbered(const std::string& name, const char* prefix, ULONG& number) {
    const size_t n = std::strlen(prefix);
    if (name.size() != n + 8 || name.compare(0, n, prefix) != 0) return false;
    ULONG value = 0;
    for (size_t i = n; i < name.size(); ++i) {
        char c = name[i];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                   : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) return false;
        value = (value << 4) | static_cast<ULONG>(digit);
    }
    number = value;
    return true;
}

ULONG Load32(const BYTE* p) { return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24; }
void Store32(BYTE* p, ULONG v) {
    p[0] = BYTE(v);
    p[1] = BYTE(v >> 8);
    p[2] = BYTE(v >> 16);
    p[3] = BYTE(v >> 24);
}

bool IsStringType(ULONG type) { return (type & ~MV_FLAG) == PT_STRING8 || (type & ~MV_FLAG) == PT_UNICODE; }
// The same kind of value with the other string width (PT_STRING8 <-> PT_UNICODE).
bool OtherStringWidth(ULONG a, ULONG b) {
    return IsStringType(a) && IsStringType(b) && (a & MV_FLAG) == (b & MV_FLAG) && a != b;
}

HRESULT ReadExactly(IStream* stream, uint64_t size, std::vector<BYTE>& out) {
    out.resize(static_cast<size_t>(size));
    uint64_t done = 0;
    while (done < size) {
        ULONG chunk = static_cast<ULONG>(std::min<uint64_t>(size - done, 1u << 20));
        ULONG got = 0;
        HRESULT hr = stream->Read(out.data() + done, chunk, &got);
        if (FAILED(hr)) return hr;
        if (got == 0) return MAPI_E_CORRUPT_DATA;  // shorter than its directory entry says
        done += got;
    }
    return S_OK;
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

HRESULT StreamSize(IStream* stream, uint64_t& size) {
    STATSTG stat{};
    HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr)) return hr;
    size = stat.cbSize.QuadPart;
    return S_OK;
}

HRESULT WriteStream(IStorage* storage, const std::u16string& name, const BYTE* data, size_t size) {
    ComPtr<IStream> stream;
    HRESULT hr = storage->CreateStream(name.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                       stream.Put());
    if (FAILED(hr)) return hr;
    return WriteAll(stream.Get(), data, size);
}

// Opens a child storage for writing when the parent allows it, else for reading.
HRESULT OpenChildStorage(IStorage* parent, const std::u16string& name, bool writable, IStorage** child) {
    HRESULT hr = E_FAIL;
    if (writable)
        hr = parent->OpenStorage(name.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, child);
    if (!writable || hr == STG_E_ACCESSDENIED)
        hr = parent->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, child);
    return hr;
}

HRESULT ListElements(IStorage* storage, std::vector<std::pair<std::string, DWORD>>& out) {
    out.clear();
    ComPtr<IEnumSTATSTG> elements;
    HRESULT hr = storage->EnumElements(0, nullptr, 0, elements.Put());
    if (FAILED(hr)) return hr;
    for (;;) {
        STATSTG stat{};
        ULONG fetched = 0;
        hr = elements->Next(1, &stat, &fetched);
        if (FAILED(hr)) return hr;
        if (fetched == 0) break;
        out.emplace_back(Narrow(stat.pwcsName), stat.type);
        CoTaskMemFree(stat.pwcsName);
        if (hr != S_OK) break;
    }
    return S_OK;
}

// ---- The property set of one storage object --------------------------------------------------

struct Entry {
    ULONG tag = 0;        // current tag
    ULONG flags = 0;      // entry flags, kept as stored
    ULONG storedTag = 0;  // the tag the storage holds (0: not in the storage yet)
    BYTE stored[8] = {};  // the entry's value bytes as stored
    bool changed = false;
    RawValue value;  // the value when changed
};

struct FaultNames {
    const char* getProps;
    const char* getPropList;
    const char* openProperty;
    const char* setProps;
    const char* deleteProps;
    const char* saveChanges;
};
constexpr FaultNames kMessageFaults{"IMessage::GetProps", "IMessage::GetPropList", "IMessage::OpenProperty",
                                    "IMessage::SetProps", "IMessage::DeleteProps", "IMessage::SaveChanges"};
constexpr FaultNames kAttachFaults{"IAttach::GetProps", "IAttach::GetPropList", "IAttach::OpenProperty",
                                   "IAttach::SetProps", "IAttach::DeleteProps", "IAttach::SaveChanges"};

class PropertySet {
public:
    ComPtr<IStorage> storage;
    bool writable = false;
    ULONG headerSize = kSubObjectHeaderSize;
    std::vector<BYTE> header;
    std::vector<Entry> entries;
    std::vector<ULONG> removedStoredTags;  // stored values deleted since the last save
    bool dirty = false;
    bool hadPropertyStream = false;

    // Reads the property stream; a storage without one is an object without properties.
    HRESULT Load() {
        header.assign(headerSize, 0);
        entries.clear();
        ComPtr<IStream> stream;
        HRESULT hr = storage->OpenStream(kPropertiesStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
        if (hr == STG_E_FILENOTFOUND) {
            hadPropertyStream = false;
            return S_OK;
        }
        if (FAILED(hr)) return hr;
        uint64_t size = 0;
        if (FAILED(hr = StreamSize(stream.Get(), size))) return hr;
        if (size < headerSize || size > kMaxPropertyStreamBytes || (size - headerSize) % kEntrySize != 0)
            return MAPI_E_CORRUPT_DATA;
        std::vector<BYTE> bytes;
        if (FAILED(hr = ReadExactly(stream.Get(), size, bytes))) return hr;
        header.assign(bytes.begin(), bytes.begin() + headerSize);
        const size_t count = (size - headerSize) / kEntrySize;
        entries.resize(count);
        for (size_t i = 0; i < count; ++i) {
            const BYTE* p = bytes.data() + headerSize + i * kEntrySize;
            Entry& e = entries[i];
            e.tag = e.storedTag = Load32(p);
            e.flags = Load32(p + 4);
            std::memcpy(e.stored, p + 8, 8);
        }
        hadPropertyStream = true;
        return S_OK;
    }

    Entry* Find(ULONG tag) {
        for (auto& e : entries)
            if (PROP_ID(e.tag) == PROP_ID(tag)) return &e;
        return nullptr;
    }

    // Reads a stored value. With `limit`, values above the inline limit are not read.
    SCODE ReadStored(const Entry& e, bool limit, RawValue& raw) const {
        raw = RawValue{};
        const ULONG type = PROP_TYPE(e.storedTag);
        raw.type = type;
        const uint64_t maxBytes = limit ? MAPI_MAX_INLINE_VALUE_BYTES : kMaxWholeValueBytes;
        switch (ClassOf(type)) {
            case TypeClass::Fixed: std::memcpy(raw.fixed, e.stored, 8); return S_OK;
            case TypeClass::Object: return S_OK;
            case TypeClass::Unsupported:
                return type == PT_SRESTRICTION || type == PT_ACTIONS ? MAPI_E_NO_SUPPORT : MAPI_E_CORRUPT_DATA;
            case TypeClass::Variable: {
                // A size beyond the limit is refused before the stream is even opened, so large
                // values cost nothing until someone reads them as a stream.
                if (limit && Load32(e.stored) > MAPI_MAX_INLINE_VALUE_BYTES + TerminatorSize(type))
                    return MAPI_E_NOT_ENOUGH_MEMORY;
                uint64_t length = 0;
                ComPtr<IStream> stream;
                SCODE sc = OpenValueStream(ValueStreamName(e.storedTag), Load32(e.stored), TerminatorSize(type),
                                           stream, length);
                if (FAILED(sc)) return sc;
                if (length > maxBytes) return MAPI_E_NOT_ENOUGH_MEMORY;
                return ReadExactly(stream.Get(), length, raw.bytes);
            }
            case TypeClass::MultiFixed: {
                if (limit && Load32(e.stored) > MAPI_MAX_INLINE_VALUE_BYTES) return MAPI_E_NOT_ENOUGH_MEMORY;
                uint64_t length = 0;
                ComPtr<IStream> stream;
                SCODE sc = OpenValueStream(ValueStreamName(e.storedTag), Load32(e.stored), 0, stream, length);
                if (FAILED(sc)) return sc;
                if (length % FixedElementSize(type)) return MAPI_E_CORRUPT_DATA;
                if (length > maxBytes) return MAPI_E_NOT_ENOUGH_MEMORY;
                return ReadExactly(stream.Get(), length, raw.bytes);
            }
            case TypeClass::MultiVariable: {
                if (limit && Load32(e.stored) > MAPI_MAX_INLINE_VALUE_BYTES) return MAPI_E_NOT_ENOUGH_MEMORY;
                uint64_t length = 0;
                ComPtr<IStream> stream;
                SCODE sc = OpenValueStream(ValueStreamName(e.storedTag), Load32(e.stored), 0, stream, length);
                if (FAILED(sc)) return sc;
                const ULONG slot = type == PT_MV_BINARY ? 8 : 4;
                if (length % slot) return MAPI_E_CORRUPT_DATA;
                if (length > maxBytes) return MAPI_E_NOT_ENOUGH_MEMORY;
                std::vector<BYTE> lengths;
                if (FAILED(sc = ReadExactly(stream.Get(), length, lengths))) return sc;
                const size_t count = static_cast<size_t>(length / slot);
                raw.items.resize(count);
                uint64_t total = length;
                for (size_t i = 0; i < count; ++i) {
                    uint64_t itemLength = 0;
                    ComPtr<IStream> item;
                    sc = OpenValueStream(IndexStreamName(e.storedTag, static_cast<ULONG>(i)),
                                         Load32(lengths.data() + i * slot), TerminatorSize(type), item, itemLength);
                    if (FAILED(sc)) return sc;
                    total += itemLength;
                    if (total > maxBytes) return MAPI_E_NOT_ENOUGH_MEMORY;
                    if (FAILED(sc = ReadExactly(item.Get(), itemLength, raw.items[i]))) return sc;
                }
                return S_OK;
            }
        }
        return MAPI_E_CORRUPT_DATA;
    }

    // Opens the stream of a value whose entry gives `entrySize` (terminator included for
    // strings) and checks the two agree. Writers differ on whether the stream itself holds the
    // terminator; both forms are accepted, and `length` is the value without it.
    SCODE OpenValueStream(const std::u16string& name, ULONG entrySize, ULONG terminator, ComPtr<IStream>& stream,
                          uint64_t& length) const {
        HRESULT hr = storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
        if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) return MAPI_E_NOT_FOUND;
        if (FAILED(hr)) return hr;
        uint64_t size = 0;
        if (FAILED(hr = StreamSize(stream.Get(), size))) return hr;
        if (size + terminator == entrySize) {
            length = size;
            return S_OK;
        }
        if (terminator && size == entrySize && size >= terminator) {
            // The stream ends with the terminator: check it is one, and leave it out.
            LARGE_INTEGER at;
            at.QuadPart = static_cast<LONGLONG>(size - terminator);
            BYTE tail[2] = {1, 1};
            ULONG got = 0;
            if (FAILED(hr = stream->Seek(at, STREAM_SEEK_SET, nullptr))) return hr;
            if (FAILED(hr = stream->Read(tail, terminator, &got))) return hr;
            if (got != terminator || tail[0] != 0 || (terminator == 2 && tail[1] != 0)) return MAPI_E_CORRUPT_DATA;
            at.QuadPart = 0;
            if (FAILED(hr = stream->Seek(at, STREAM_SEEK_SET, nullptr))) return hr;
            length = size - terminator;
            return S_OK;
        }
        return MAPI_E_CORRUPT_DATA;
    }

    // The value of an entry as `type`, converted between string widths with `codePage`.
    SCODE Value(const Entry& e, ULONG type, UINT codePage, bool limit, RawValue& out) const {
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

    HRESULT SetRaw(ULONG tag, RawValue raw) {
        raw.type = PROP_TYPE(tag);
        if (Entry* e = Find(tag)) {
            e->tag = tag;
            e->value = std::move(raw);
            e->changed = true;
        } else {
            Entry added;
            added.tag = tag;
            added.flags = PROPATTR_READABLE | PROPATTR_WRITABLE;
            added.value = std::move(raw);
            added.changed = true;
            entries.push_back(std::move(added));
        }
        dirty = true;
        return S_OK;
    }

    bool Remove(ULONG tag) {
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (PROP_ID(it->tag) != PROP_ID(tag)) continue;
            if (it->storedTag) removedStoredTags.push_back(it->storedTag);
            entries.erase(it);
            dirty = true;
            return true;
        }
        return false;
    }

    HRESULT RemoveValueStreams(ULONG tag) {
        const ULONG type = PROP_TYPE(tag);
        const TypeClass cls = ClassOf(type);
        if (cls == TypeClass::Fixed) return S_OK;
        if (cls == TypeClass::MultiVariable) {
            HRESULT hr = RemoveIndexStreams(tag);
            if (FAILED(hr)) return hr;
        }
        HRESULT hr = storage->DestroyElement(ValueStreamName(tag).c_str());
        return hr == STG_E_FILENOTFOUND ? S_OK : hr;
    }

    HRESULT RemoveIndexStreams(ULONG tag) {
        std::vector<std::pair<std::string, DWORD>> names;
        HRESULT hr = ListElements(storage.Get(), names);
        if (FAILED(hr)) return hr;
        const std::string prefix = "__substg1.0_" + Hex8(tag) + "-";
        for (const auto& [name, type] : names) {
            if (name.compare(0, prefix.size(), prefix) != 0) continue;
            hr = storage->DestroyElement(Widen(name).c_str());
            if (FAILED(hr) && hr != STG_E_FILENOTFOUND) return hr;
        }
        return S_OK;
    }

    // The 8 value bytes of a changed entry's property-stream record.
    static void EntryBytes(const Entry& e, BYTE out[8]) {
        std::memset(out, 0, 8);
        const ULONG type = PROP_TYPE(e.tag);
        switch (ClassOf(type)) {
            case TypeClass::Fixed: std::memcpy(out, e.value.fixed, 8); break;
            case TypeClass::Variable:
                Store32(out, static_cast<ULONG>(e.value.bytes.size() + TerminatorSize(type)));
                break;
            case TypeClass::MultiFixed: Store32(out, static_cast<ULONG>(e.value.bytes.size())); break;
            case TypeClass::MultiVariable:
                Store32(out, static_cast<ULONG>(e.value.items.size() * (type == PT_MV_BINARY ? 8 : 4)));
                break;
            case TypeClass::Object: Store32(out, 0xFFFFFFFF); break;
            case TypeClass::Unsupported: break;
        }
    }

    HRESULT WriteValueStreams(const Entry& e) {
        const ULONG type = PROP_TYPE(e.tag);
        switch (ClassOf(type)) {
            case TypeClass::Variable:
            case TypeClass::MultiFixed:
                return WriteStream(storage.Get(), ValueStreamName(e.tag), e.value.bytes.data(), e.value.bytes.size());
            case TypeClass::MultiVariable: {
                HRESULT hr = S_OK;
                if (e.storedTag == e.tag && FAILED(hr = RemoveIndexStreams(e.tag))) return hr;
                const ULONG slot = type == PT_MV_BINARY ? 8 : 4;
                std::vector<BYTE> lengths(e.value.items.size() * slot, 0);
                for (size_t i = 0; i < e.value.items.size(); ++i) {
                    const auto& item = e.value.items[i];
                    Store32(lengths.data() + i * slot, static_cast<ULONG>(item.size() + TerminatorSize(type)));
                    hr = WriteStream(storage.Get(), IndexStreamName(e.tag, static_cast<ULONG>(i)), item.data(),
                                     item.size());
                    if (FAILED(hr)) return hr;
                }
                return WriteStream(storage.Get(), ValueStreamName(e.tag), lengths.data(), lengths.size());
            }
            default: return S_OK;
        }
    }

    // Writes what changed: removed and retyped values' streams go, changed values' streams are
    // written, then the property stream with `newHeader`. Unchanged streams are not touched.
    HRESULT Save(const std::vector<BYTE>& newHeader) {
        HRESULT hr = S_OK;
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
            Store32(record, e.tag);
            Store32(record + 4, e.flags);
            if (e.changed) EntryBytes(e, record + 8);
            else std::memcpy(record + 8, e.stored, 8);
            bytes.insert(bytes.end(), record, record + kEntrySize);
        }
        if (FAILED(hr = WriteStream(storage.Get(), kPropertiesStream, bytes.data(), bytes.size()))) return hr;
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
        return S_OK;
    }
};

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

UINT CodePageOf(const PropertySet& props) {
    for (ULONG tag : {PR_INTERNET_CPID, PR_MESSAGE_CODEPAGE}) {
        for (const auto& e : props.entries) {
            if (e.tag != tag) continue;
            const BYTE* p = e.changed ? e.value.fixed : e.stored;
            UINT cp = WindowsCodePageOfFamily(Load32(p));
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
        std::memset(&out, 0, sizeof(out));
        const Entry* entry = nullptr;
        ULONG wanted;
        if (tags) {
            wanted = tags->aulPropTag[i];
            for (const auto& e : props.entries)
                if (PROP_ID(e.tag) == PROP_ID(wanted)) {
                    entry = &e;
                    break;
                }
            if (entry && PROP_TYPE(wanted) == PT_UNSPECIFIED) wanted = entry->tag;
        } else {
            entry = &props.entries[i];
            wanted = entry->tag;
        }
        if (entry && (flags & MAPI_UNICODE) && (PROP_TYPE(wanted) & ~MV_FLAG) == PT_STRING8 &&
            (!tags || PROP_TYPE(tags->aulPropTag[i]) == PT_UNSPECIFIED))
            wanted = CHANGE_PROP_TYPE(wanted, PROP_TYPE(wanted) == PT_STRING8 ? PT_UNICODE : PT_MV_UNICODE);
        SCODE sc = MAPI_E_NOT_FOUND;
        if (entry) {
            RawValue raw;
            sc = props.Value(*entry, PROP_TYPE(wanted), codePage, limit, raw);
            if (SUCCEEDED(sc)) {
                sc = RawToProp(raw, wanted, alloc, array, out);
                if (sc == MAPI_E_NOT_ENOUGH_MEMORY) {
                    alloc.free(array);
                    return sc;  // the buffer itself could not be allocated
                }
            }
        }
        if (FAILED(sc)) {
            out.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(wanted));
            out.dwAlignPad = 0;
            std::memset(&out.Value, 0, sizeof(out.Value));
            out.Value.err = sc;
            errors = true;
        }
    }
    *lpcValues = static_cast<ULONG>(count);
    *lppPropArray = values;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
}

// ---- COM objects -----------------------------------------------------------------------------

class Message;

// What IMessage and IAttach share: the IMAPIProp methods over one property set.
template <class Interface>
class PropObject : public Interface {
public:
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0) {
            OnFinalRelease();
            delete this;
        }
        return left;
    }

    STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* lppMAPIError) override {
        if (lppMAPIError) *lppMAPIError = nullptr;
        return MAPI_E_NO_SUPPORT;
    }

    STDMETHODIMP GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                          LPSPropValue* lppPropArray) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT(names_->getProps, hr)) return hr;
        if (!lpcValues || !lppPropArray) return MAPI_E_INVALID_PARAMETER;
        *lpcValues = 0;
        *lppPropArray = nullptr;
        if (ulFlags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
        if (lpPropTagArray && lpPropTagArray->cValues == 0) return MAPI_E_INVALID_PARAMETER;
        return BuildProps(props_, CodePage(), alloc_, lpPropTagArray, ulFlags, true, lpcValues, lppPropArray);
    }

    STDMETHODIMP GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT(names_->getPropList, hr)) return hr;
        if (!lppPropTagArray) return MAPI_E_INVALID_PARAMETER;
        *lppPropTagArray = nullptr;
        if (ulFlags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
        void* p = nullptr;
        hr = alloc_.allocate(static_cast<ULONG>(CbNewSPropTagArray(props_.entries.size() + 1)), &p);
        if (FAILED(hr)) return hr;
        auto* tags = static_cast<LPSPropTagArray>(p);
        tags->cValues = static_cast<ULONG>(props_.entries.size());
        for (size_t i = 0; i < props_.entries.size(); ++i) {
            ULONG tag = props_.entries[i].tag;
            if ((ulFlags & MAPI_UNICODE) && (PROP_TYPE(tag) & ~MV_FLAG) == PT_STRING8)
                tag = CHANGE_PROP_TYPE(tag, PROP_TYPE(tag) == PT_STRING8 ? PT_UNICODE : PT_MV_UNICODE);
            tags->aulPropTag[i] = tag;
        }
        *lppPropTagArray = tags;
        return S_OK;
    }

    STDMETHODIMP OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                              LPUNKNOWN* lppUnk) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT(names_->openProperty, hr)) return hr;
        if (!lppUnk || !lpiid) return MAPI_E_INVALID_PARAMETER;
        *lppUnk = nullptr;
        if (ulFlags & ~(MAPI_MODIFY | MAPI_CREATE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
        const ULONG type = PROP_TYPE(ulPropTag);
        if (IsEqualIID(*lpiid, IID_IStream) || IsEqualIID(*lpiid, IID_ISequentialStream)) {
            if (type != PT_STRING8 && type != PT_UNICODE && type != PT_BINARY && type != PT_SVREID)
                return MAPI_E_INTERFACE_NOT_SUPPORTED;
            return OpenValueAsStream(ulPropTag, ulInterfaceOptions, ulFlags, lppUnk);
        }
        return OpenObject(ulPropTag, *lpiid, ulFlags, lppUnk);
    }

    STDMETHODIMP SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT(names_->setProps, hr)) return hr;
        if (lppProblems) *lppProblems = nullptr;
        if (cValues && !lpPropArray) return MAPI_E_INVALID_PARAMETER;
        if (!writable_) return MAPI_E_NO_ACCESS;
        std::vector<SPropProblem> problems;
        for (ULONG i = 0; i < cValues; ++i) {
            const SPropValue& value = lpPropArray[i];
            const ULONG type = PROP_TYPE(value.ulPropTag);
            if (type == PT_NULL) continue;  // nothing to store
            SCODE sc = S_OK;
            const TypeClass cls = ClassOf(type);
            if (cls == TypeClass::Unsupported || cls == TypeClass::Object || PROP_ID(value.ulPropTag) == 0) {
                sc = cls == TypeClass::Object ? MAPI_E_NO_SUPPORT : MAPI_E_INVALID_TYPE;
            } else {
                RawValue raw;
                sc = PropToRaw(value, raw);
                if (SUCCEEDED(sc)) sc = props_.SetRaw(value.ulPropTag, std::move(raw));
            }
            if (FAILED(sc)) problems.push_back(SPropProblem{i, value.ulPropTag, sc});
        }
        return ReturnProblems(problems, lppProblems);
    }

    STDMETHODIMP DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT(names_->deleteProps, hr)) return hr;
        if (lppProblems) *lppProblems = nullptr;
        if (!lpPropTagArray) return MAPI_E_INVALID_PARAMETER;
        if (!writable_) return MAPI_E_NO_ACCESS;
        std::vector<SPropProblem> problems;
        for (ULONG i = 0; i < lpPropTagArray->cValues; ++i) {
            const ULONG tag = lpPropTagArray->aulPropTag[i];
            if (!props_.Remove(tag)) problems.push_back(SPropProblem{i, tag, MAPI_E_NOT_FOUND});
        }
        return ReturnProblems(problems, lppProblems);
    }

    STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                        LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                           LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }

    PropertySet& Props() { return props_; }
    const Allocators& Alloc() const { return alloc_; }

protected:
    PropObject(const FaultNames* names, const Allocators& alloc) : names_(names), alloc_(alloc) {}
    virtual ~PropObject() = default;
    virtual void OnFinalRelease() {}
    virtual UINT CodePage() const = 0;
    virtual HRESULT OpenObject(ULONG, REFIID, ULONG, LPUNKNOWN*) { return MAPI_E_INTERFACE_NOT_SUPPORTED; }

    HRESULT ReturnProblems(const std::vector<SPropProblem>& problems, LPSPropProblemArray* lppProblems) {
        if (!lppProblems || problems.empty()) return S_OK;
        void* p = nullptr;
        HRESULT hr = alloc_.allocate(
            static_cast<ULONG>(offsetof(SPropProblemArray, aProblem) + problems.size() * sizeof(SPropProblem)), &p);
        if (FAILED(hr)) return hr;
        auto* array = static_cast<LPSPropProblemArray>(p);
        array->cProblem = static_cast<ULONG>(problems.size());
        std::copy(problems.begin(), problems.end(), array->aProblem);
        *lppProblems = array;
        return S_OK;
    }

    HRESULT OpenValueAsStream(ULONG tag, ULONG, ULONG flags, LPUNKNOWN* lppUnk) {
        const bool write = flags & (MAPI_MODIFY | MAPI_CREATE);
        if (write && !writable_) return MAPI_E_NO_ACCESS;
        Entry* entry = props_.Find(tag);
        std::vector<BYTE> contents;
        if (!(flags & MAPI_CREATE)) {
            if (!entry) return MAPI_E_NOT_FOUND;
            if (!write && !entry->changed && entry->storedTag == tag) {
                // Unchanged and of the type asked for: the storage's own stream, read-only.
                ComPtr<IStream> stream;
                uint64_t length = 0;
                SCODE sc = props_.OpenValueStream(ValueStreamName(tag), Load32(entry->stored),
                                                  TerminatorSize(PROP_TYPE(tag)), stream, length);
                if (FAILED(sc)) return sc;
                *lppUnk = stream.Detach();
                return S_OK;
            }
            RawValue raw;
            SCODE sc = props_.Value(*entry, PROP_TYPE(tag), CodePage(), false, raw);
            if (FAILED(sc)) return sc;
            contents = std::move(raw.bytes);
        }
        std::function<HRESULT(const std::vector<BYTE>&)> commit;
        if (write) {
            ComPtr<IUnknown> self(static_cast<IUnknown*>(static_cast<Interface*>(this)));
            commit = [this, self, tag](const std::vector<BYTE>& data) {
                if (!writable_) return MAPI_E_NO_ACCESS;
                RawValue raw;
                raw.bytes = data;
                return props_.SetRaw(tag, std::move(raw));
            };
        }
        IStream* stream = NewMemoryStream(std::move(contents), write, std::move(commit));
        if (!stream) return MAPI_E_NOT_ENOUGH_MEMORY;
        *lppUnk = stream;
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
    const FaultNames* names_;
    Allocators alloc_;
    PropertySet props_;
    bool writable_ = true;
};

// ---- Attachment ------------------------------------------------------------------------------

struct AttachSlot {
    std::shared_ptr<PropertySet> props;  // null until loaded
    bool isNew = false;                  // not in the storage yet
    HRESULT loadResult = S_OK;
};

class Attach final : public PropObject<IAttach> {
public:
    Attach(Message* parent, ULONG number, PropertySet working, bool writable);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMAPIProp) || IsEqualIID(riid, IID_IAttachment)) {
            *ppv = static_cast<IAttach*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP SaveChanges(ULONG ulFlags) override;

protected:
    UINT CodePage() const override;
    HRESULT OpenObject(ULONG tag, REFIID iid, ULONG flags, LPUNKNOWN* lppUnk) override;

private:
    ComPtr<IMessage> parentRef_;
    Message* parent_;
    ULONG number_;
};

// ---- Message ---------------------------------------------------------------------------------

class Message final : public PropObject<IMessage> {
public:
    Message(const Allocators& alloc, LPMALLOC malloc, IStorage* storage, bool embedded, ULONG flags,
            MSGCALLRELEASE* release, ULONG callerData)
        : PropObject(&kMessageFaults, alloc), malloc_(malloc), embedded_(embedded), flags_(flags),
          release_(release), callerData_(callerData) {
        if (malloc) malloc->AddRef();
        props_.storage = ComPtr<IStorage>(storage);
        props_.headerSize = embedded ? kEmbeddedHeaderSize : kMessageHeaderSize;
    }
    ~Message() override {
        attachments_.clear();
        props_.storage.Reset();
        if (malloc_) malloc_->Release();
    }

    HRESULT Open(IUnknown* keepAlive) {
        keepAlive_ = ComPtr<IUnknown>(keepAlive);
        STATSTG stat{};
        HRESULT hr = props_.storage->Stat(&stat, STATFLAG_NONAME);
        props_.writable = SUCCEEDED(hr) ? (stat.grfMode & (STGM_WRITE | STGM_READWRITE)) != 0 : true;
        writable_ = props_.writable;
        if (FAILED(hr = props_.Load())) return hr;
        std::vector<std::pair<std::string, DWORD>> names;
        if (FAILED(hr = ListElements(props_.storage.Get(), names))) return hr;
        for (const auto& [name, type] : names) {
            ULONG number = 0;
            if (type != STGTY_STORAGE) continue;
            if (ParseNumbered(name, kAttachPrefix, number)) attachments_[number] = AttachSlot{};
            else if (ParseNumbered(name, kRecipPrefix, number)) recipients_.push_back(number);
        }
        std::sort(recipients_.begin(), recipients_.end());
        return S_OK;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMAPIProp) || IsEqualIID(riid, IID_IMessage)) {
            *ppv = static_cast<IMessage*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

    STDMETHODIMP SaveChanges(ULONG ulFlags) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMessage::SaveChanges", hr)) return hr;
        if (ulFlags & ~(KEEP_OPEN_READONLY | KEEP_OPEN_READWRITE | FORCE_SAVE | MAPI_DEFERRED_ERRORS))
            return MAPI_E_UNKNOWN_FLAGS;
        if (!writable_) return MAPI_E_NO_ACCESS;
        IStorage* storage = props_.storage.Get();
        bool structureChanged = !props_.hadPropertyStream;
        for (ULONG number : deletedAttachments_) {
            hr = storage->DestroyElement(AttachStorageName(number).c_str());
            if (FAILED(hr) && hr != STG_E_FILENOTFOUND) return hr;
            structureChanged = true;
        }
        deletedAttachments_.clear();
        for (auto& [number, slot] : attachments_) {
            if (!slot.props) continue;
            PropertySet& set = *slot.props;
            if (slot.isNew) {
                ComPtr<IStorage> created;
                hr = storage->CreateStorage(AttachStorageName(number).c_str(),
                                            STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, created.Put());
                if (FAILED(hr)) return hr;
                set.storage = created;
                set.writable = true;
                slot.isNew = false;
                set.dirty = true;
                structureChanged = true;
            }
            if (!set.dirty) continue;
            if (FAILED(hr = set.Save(set.header))) return hr;
            if (FAILED(hr = set.storage->Commit(STGC_DEFAULT))) return hr;
        }
        if (!props_.hadPropertyStream && !embedded_) {
            if (FAILED(hr = CreateNamedPropertyStorage())) return hr;
            storage->SetClass(CLSID_MailMessage);  // cosmetic: readers do not depend on it
        }
        if (props_.dirty || structureChanged) {
            if (FAILED(hr = props_.Save(HeaderWithCounts()))) return hr;
        }
        if (!(flags_ & IMSG_NO_ISTG_COMMIT) && FAILED(hr = storage->Commit(STGC_DEFAULT))) return hr;
        if (!(ulFlags & KEEP_OPEN_READWRITE)) writable_ = false;
        return S_OK;
    }

    STDMETHODIMP GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMessage::GetAttachmentTable", hr)) return hr;
        if (!lppTable) return MAPI_E_INVALID_PARAMETER;
        *lppTable = nullptr;
        if (ulFlags & ~(MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
        static const ULONG kNamed[] = {PR_ATTACH_METHOD,
                                       PR_RENDERING_POSITION,
                                       PROP_TAG(PT_UNSPECIFIED, 0x3001),  // display name
                                       PROP_TAG(PT_UNSPECIFIED, 0x3704),  // file name
                                       PROP_TAG(PT_UNSPECIFIED, 0x3707),  // long file name
                                       PROP_TAG(PT_UNSPECIFIED, 0x3703),  // extension
                                       PR_ATTACH_SIZE,
                                       PROP_TAG(PT_UNSPECIFIED, 0x370E)};  // MIME type
        std::vector<ULONG> columns = {PR_ATTACH_NUM, PR_INSTANCE_KEY, PR_RECORD_KEY};
        columns.insert(columns.end(), std::begin(kNamed), std::end(kNamed));
        std::vector<TableRow> rows;
        auto freeRows = [&] {
            for (auto& row : rows) MAPIFreeBuffer(row.props);
        };
        for (auto& [number, slot] : attachments_) {
            LoadAttachment(number, slot);
            SizedSPropTagArray(8, named) = {8, {}};
            std::copy(std::begin(kNamed), std::end(kNamed), named.aulPropTag);
            // Three synthesised columns, then the stored ones.
            void* p = nullptr;
            if (FAILED(hr = MAPIAllocateBuffer(sizeof(SPropValue) * 11, &p))) {
                freeRows();
                return hr;
            }
            auto* values = static_cast<LPSPropValue>(p);
            ULONG count = 3;
            std::memset(values, 0, sizeof(SPropValue) * 11);
            values[0].ulPropTag = PR_ATTACH_NUM;
            values[0].Value.l = static_cast<LONG>(number);
            BYTE key[4];
            Store32(key, number);
            void* keyCopy = nullptr;
            hr = MAPIAllocateMore(4, p, &keyCopy);
            if (SUCCEEDED(hr)) std::memcpy(keyCopy, key, 4);
            values[1].ulPropTag = PR_INSTANCE_KEY;
            values[1].Value.bin = SBinary{4, static_cast<LPBYTE>(keyCopy)};
            values[2] = values[1];
            values[2].ulPropTag = PR_RECORD_KEY;
            if (SUCCEEDED(hr) && slot.props) {
                if (const Entry* stored = slot.props->Find(PR_RECORD_KEY); stored && stored->tag == PR_RECORD_KEY) {
                    RawValue raw;
                    if (SUCCEEDED(slot.props->Value(*stored, PT_BINARY, CodePage(), true, raw)))
                        hr = RawToProp(raw, PR_RECORD_KEY, DefaultAllocators(), p, values[2]);
                }
            }
            if (SUCCEEDED(hr) && slot.props) {
                ULONG namedCount = 0;
                LPSPropValue namedValues = nullptr;
                hr = BuildProps(*slot.props, CodePage(), DefaultAllocators(), reinterpret_cast<LPSPropTagArray>(&named),
                                0, true, &namedCount, &namedValues);
                if (SUCCEEDED(hr)) {
                    for (ULONG i = 0; i < namedCount && SUCCEEDED(hr); ++i) {
                        const SPropValue& v = namedValues[i];
                        if (PROP_TYPE(v.ulPropTag) == PT_ERROR && v.Value.err == MAPI_E_NOT_FOUND) continue;
                        hr = CopyProp(v, DefaultAllocators(), p, values[count]);
                        ++count;
                    }
                    MAPIFreeBuffer(namedValues);
                }
            }
            rows.push_back(TableRow{values, count});
            if (FAILED(hr)) {
                freeRows();
                return hr;
            }
        }
        IMAPITable* table = NewTable(std::move(columns), std::move(rows));
        if (!table) {
            freeRows();
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        *lppTable = table;
        return S_OK;
    }

    STDMETHODIMP OpenAttach(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMessage::OpenAttach", hr)) return hr;
        if (!lppAttach) return MAPI_E_INVALID_PARAMETER;
        *lppAttach = nullptr;
        if (lpInterface && !IsEqualIID(*lpInterface, IID_IAttachment) && !IsEqualIID(*lpInterface, IID_IMAPIProp) &&
            !IsEqualIID(*lpInterface, IID_IUnknown))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        (void)ulFlags;
        auto found = attachments_.find(ulAttachmentNum);
        if (found == attachments_.end()) return MAPI_E_NOT_FOUND;
        AttachSlot& slot = found->second;
        LoadAttachment(ulAttachmentNum, slot);
        if (FAILED(slot.loadResult)) return slot.loadResult;
        auto* attach = new (std::nothrow) Attach(this, ulAttachmentNum, *slot.props, writable_ && slot.props->writable);
        if (!attach) return MAPI_E_NOT_ENOUGH_MEMORY;
        *lppAttach = attach;
        return S_OK;
    }

    STDMETHODIMP CreateAttach(LPCIID lpInterface, ULONG, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMessage::CreateAttach", hr)) return hr;
        if (!lpulAttachmentNum || !lppAttach) return MAPI_E_INVALID_PARAMETER;
        *lppAttach = nullptr;
        if (lpInterface && !IsEqualIID(*lpInterface, IID_IAttachment) && !IsEqualIID(*lpInterface, IID_IMAPIProp))
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        if (!writable_) return MAPI_E_NO_ACCESS;
        const ULONG number = NextAttachmentNumber();
        PropertySet working;
        working.headerSize = kSubObjectHeaderSize;
        working.header.assign(kSubObjectHeaderSize, 0);
        working.writable = true;
        working.dirty = true;
        auto* attach = new (std::nothrow) Attach(this, number, std::move(working), true);
        if (!attach) return MAPI_E_NOT_ENOUGH_MEMORY;
        reservedNumbers_.insert(number);
        *lpulAttachmentNum = number;
        *lppAttach = attach;
        return S_OK;
    }

    STDMETHODIMP DeleteAttach(ULONG ulAttachmentNum, ULONG, LPMAPIPROGRESS, ULONG) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMessage::DeleteAttach", hr)) return hr;
        if (!writable_) return MAPI_E_NO_ACCESS;
        auto found = attachments_.find(ulAttachmentNum);
        if (found == attachments_.end()) return MAPI_E_NOT_FOUND;
        if (!found->second.isNew) deletedAttachments_.insert(ulAttachmentNum);
        attachments_.erase(found);
        reservedNumbers_.erase(ulAttachmentNum);  // an open IAttach of it can no longer save
        return S_OK;
    }

    STDMETHODIMP GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMessage::GetRecipientTable", hr)) return hr;
        if (!lppTable) return MAPI_E_INVALID_PARAMETER;
        *lppTable = nullptr;
        if (ulFlags & ~(MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
        std::vector<ULONG> columns = {PR_ROWID};
        std::set<ULONG> seenIds = {PROP_ID(PR_ROWID)};
        std::vector<TableRow> rows;
        auto freeRows = [&] {
            for (auto& row : rows) MAPIFreeBuffer(row.props);
        };
        for (ULONG number : recipients_) {
            PropertySet recipient;
            recipient.headerSize = kSubObjectHeaderSize;
            ComPtr<IStorage> storage;
            HRESULT loaded = OpenChildStorage(props_.storage.Get(), Widen(kRecipPrefix + Hex8(number)), false,
                                              storage.Put());
            recipient.storage = storage;
            if (SUCCEEDED(loaded)) loaded = recipient.Load();
            if (FAILED(loaded)) recipient.entries.clear();
            ULONG count = 0;
            LPSPropValue values = nullptr;
            hr = BuildProps(recipient, CodePage(), DefaultAllocators(), nullptr, ulFlags & MAPI_UNICODE, true, &count,
                            &values);
            if (FAILED(hr)) {
                freeRows();
                return hr;
            }
            // The row id in front, unless the recipient stores its own.
            const ULONG extra = recipient.Find(PR_ROWID) ? 0 : 1;
            void* p = nullptr;
            if (FAILED(hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (count + 1)), &p))) {
                MAPIFreeBuffer(values);
                freeRows();
                return hr;
            }
            auto* row = static_cast<LPSPropValue>(p);
            std::memset(row, 0, sizeof(SPropValue));
            row[0].ulPropTag = PR_ROWID;
            row[0].Value.l = static_cast<LONG>(number);
            for (ULONG i = 0; i < count && SUCCEEDED(hr); ++i) {
                hr = CopyProp(values[i], DefaultAllocators(), p, row[i + extra]);
                if (seenIds.insert(PROP_ID(values[i].ulPropTag)).second)
                    columns.push_back(PROP_TAG(PT_UNSPECIFIED, PROP_ID(values[i].ulPropTag)));
            }
            MAPIFreeBuffer(values);
            rows.push_back(TableRow{row, count + extra});
            if (FAILED(hr)) {
                freeRows();
                return hr;
            }
        }
        IMAPITable* table = NewTable(std::move(columns), std::move(rows));
        if (!table) {
            freeRows();
            return MAPI_E_NOT_ENOUGH_MEMORY;
        }
        *lppTable = table;
        return S_OK;
    }

    STDMETHODIMP ModifyRecipients(ULONG, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SubmitMessage(ULONG) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SetReadFlag(ULONG) override { return MAPI_E_NO_SUPPORT; }

    // Takes an attachment's saved state into the message (written by the message's save).
    HRESULT CommitAttachment(ULONG number, const PropertySet& working) {
        if (!writable_) return MAPI_E_NO_ACCESS;
        auto found = attachments_.find(number);
        if (found == attachments_.end()) {
            if (!reservedNumbers_.count(number)) return MAPI_E_OBJECT_DELETED;
            AttachSlot slot;
            slot.props = std::make_shared<PropertySet>(working);
            slot.isNew = true;
            slot.props->dirty = true;
            attachments_[number] = std::move(slot);
            return S_OK;
        }
        if (!found->second.props) return MAPI_E_OBJECT_DELETED;
        PropertySet& target = *found->second.props;
        target.entries = working.entries;
        target.removedStoredTags.insert(target.removedStoredTags.end(), working.removedStoredTags.begin(),
                                        working.removedStoredTags.end());
        target.dirty = target.dirty || working.dirty;
        return S_OK;
    }

    UINT CodePage() const override { return CodePageOf(props_); }
    void ForgetReleaseCallback() { release_ = nullptr; }

private:
    friend class Attach;

    void OnFinalRelease() override {
        if (release_) release_(callerData_, this);
    }

    void LoadAttachment(ULONG number, AttachSlot& slot) {
        if (slot.props || FAILED(slot.loadResult)) return;
        auto set = std::make_shared<PropertySet>();
        set->headerSize = kSubObjectHeaderSize;
        HRESULT hr = OpenChildStorage(props_.storage.Get(), AttachStorageName(number), props_.writable,
                                      set->storage.Put());
        if (SUCCEEDED(hr)) {
            STATSTG stat{};
            set->writable = SUCCEEDED(set->storage->Stat(&stat, STATFLAG_NONAME))
                                ? (stat.grfMode & (STGM_WRITE | STGM_READWRITE)) != 0
                                : props_.writable;
            hr = set->Load();
        }
        slot.loadResult = hr;
        if (SUCCEEDED(hr)) slot.props = std::move(set);
    }

    ULONG NextAttachmentNumber() {
        ULONG next = props_.header.size() >= 16 ? Load32(props_.header.data() + 12) : 0;
        for (const auto& [number, slot] : attachments_) next = std::max(next, number + 1);
        for (ULONG number : deletedAttachments_) next = std::max(next, number + 1);
        for (ULONG number : reservedNumbers_) next = std::max(next, number + 1);
        return next;
    }

    std::vector<BYTE> HeaderWithCounts() {
        std::vector<BYTE> header = props_.header;
        header.resize(props_.headerSize, 0);
        ULONG nextRecipient = Load32(header.data() + 8);
        for (ULONG number : recipients_) nextRecipient = std::max(nextRecipient, number + 1);
        ULONG nextAttachment = Load32(header.data() + 12);
        for (const auto& [number, slot] : attachments_) nextAttachment = std::max(nextAttachment, number + 1);
        Store32(header.data() + 8, nextRecipient);
        Store32(header.data() + 12, nextAttachment);
        Store32(header.data() + 16, static_cast<ULONG>(recipients_.size()));
        Store32(header.data() + 20, static_cast<ULONG>(attachments_.size()));
        return header;
    }

    HRESULT CreateNamedPropertyStorage() {
        ComPtr<IStorage> nameId;
        HRESULT hr = props_.storage->OpenStorage(kNameIdStorage, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                                 nameId.Put());
        if (SUCCEEDED(hr)) return S_OK;  // present: left as it is
        hr = props_.storage->CreateStorage(kNameIdStorage, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                           nameId.Put());
        if (FAILED(hr)) return hr;
        // The GUID, entry and string streams of the named-property map, empty.
        for (const char16_t* name : {u"__substg1.0_00020102", u"__substg1.0_00030102", u"__substg1.0_00040102"})
            if (FAILED(hr = WriteStream(nameId.Get(), name, nullptr, 0))) return hr;
        return nameId->Commit(STGC_DEFAULT);
    }

    LPMALLOC malloc_;
    bool embedded_;
    ULONG flags_;
    MSGCALLRELEASE* release_;
    ULONG callerData_;
    ComPtr<IUnknown> keepAlive_;  // an embedded message keeps its attachment alive
    std::map<ULONG, AttachSlot> attachments_;
    std::set<ULONG> deletedAttachments_;
    std::set<ULONG> reservedNumbers_;
    std::vector<ULONG> recipients_;
};

Attach::Attach(Message* parent, ULONG number, PropertySet working, bool writable)
    : PropObject(&kAttachFaults, parent->Alloc()), parentRef_(static_cast<IMessage*>(parent)), parent_(parent),
      number_(number) {
    props_ = std::move(working);
    writable_ = writable;
}

HRESULT Attach::SaveChanges(ULONG ulFlags) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("IAttach::SaveChanges", hr)) return hr;
    if (ulFlags & ~(KEEP_OPEN_READONLY | KEEP_OPEN_READWRITE | FORCE_SAVE | MAPI_DEFERRED_ERRORS))
        return MAPI_E_UNKNOWN_FLAGS;
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (FAILED(hr = parent_->CommitAttachment(number_, props_))) return hr;
    props_.removedStoredTags.clear();
    if (!(ulFlags & KEEP_OPEN_READWRITE)) writable_ = false;
    return S_OK;
}

UINT Attach::CodePage() const { return parent_->CodePage(); }

HRESULT Attach::OpenObject(ULONG tag, REFIID iid, ULONG flags, LPUNKNOWN* lppUnk) {
    if (PROP_TYPE(tag) != PT_OBJECT) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    if (!IsEqualIID(iid, IID_IMessage) && !IsEqualIID(iid, IID_IStorage)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
    if (flags & MAPI_CREATE) return MAPI_E_NO_SUPPORT;
    const Entry* entry = props_.Find(tag);
    if (!entry || entry->tag != tag || !props_.storage) return MAPI_E_NOT_FOUND;
    ComPtr<IStorage> child;
    HRESULT hr = OpenChildStorage(props_.storage.Get(), ValueStreamName(tag), props_.writable && (flags & MAPI_MODIFY),
                                  child.Put());
    if (hr == STG_E_FILENOTFOUND) return MAPI_E_NOT_FOUND;
    if (FAILED(hr)) return hr;
    if (IsEqualIID(iid, IID_IStorage)) {
        *lppUnk = child.Detach();
        return S_OK;
    }
    auto* embedded = new (std::nothrow) Message(alloc_, parent_->malloc_, child.Get(), true, IMSG_NO_ISTG_COMMIT,
                                                nullptr, 0);
    if (!embedded) return MAPI_E_NOT_ENOUGH_MEMORY;
    hr = embedded->Open(static_cast<IAttach*>(this));
    if (FAILED(hr)) {
        embedded->Release();
        return hr;
    }
    *lppUnk = static_cast<IMessage*>(embedded);
    return S_OK;
}

}  // namespace
}  // namespace platform::mapi

using namespace platform::mapi;

STDAPI_(SCODE) OpenIMsgOnIStg(LPMSGSESS lpMsgSess, LPALLOCATEBUFFER lpAllocateBuffer, LPALLOCATEMORE lpAllocateMore,
                              LPFREEBUFFER lpFreeBuffer, LPMALLOC lpMalloc, LPVOID lpMapiSup, LPSTORAGE lpStg,
                              MSGCALLRELEASE* lpfMsgCallRelease, ULONG ulCallerData, ULONG ulFlags,
                              LPMESSAGE* lppMsg) {
    (void)lpMsgSess;
    (void)lpMapiSup;
    if (!lppMsg) return MAPI_E_INVALID_PARAMETER;
    *lppMsg = nullptr;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("OpenIMsgOnIStg", hr)) return hr;
    if (!lpAllocateBuffer || !lpAllocateMore || !lpFreeBuffer || !lpMalloc || !lpStg) return MAPI_E_INVALID_PARAMETER;
    if (ulFlags & ~(IMSG_NO_ISTG_COMMIT | MAPI_UNICODE)) return MAPI_E_UNKNOWN_FLAGS;
    Allocators alloc{lpAllocateBuffer, lpAllocateMore, lpFreeBuffer};
    auto* message = new (std::nothrow)
        Message(alloc, lpMalloc, lpStg, false, ulFlags, lpfMsgCallRelease, ulCallerData);
    if (!message) return MAPI_E_NOT_ENOUGH_MEMORY;
    hr = message->Open(nullptr);
    if (FAILED(hr)) {
        message->ForgetReleaseCallback();  // the callback belongs to a message that opened
        message->Release();
        return hr;
    }
    *lppMsg = message;
    return S_OK;
}
