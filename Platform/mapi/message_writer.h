// Tests only: builds .msg messages through the platform's public API (OpenIMsgOnIStg over an
// empty storage, SetProps, CreateAttach, SaveChanges), so tests can make the special messages
// they need (odd-length bodies, 8-bit strings, error-typed values, large values) at run time.
//
//   msgwriter::MessageSpec spec;
//   spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"Hello"), msgwriter::Long(PR_MESSAGE_FLAGS, 1)};
//   spec.attachments.push_back({{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a.pdf")}});
//   HRESULT hr = msgwriter::WriteMessageFile("/tmp/x.msg", spec);
//
// An attachment may carry an embedded message (AttachmentSpec::embedded), written below the
// attachment's storage as the layout keeps one (a 24-byte property header, no named-property
// map) with the attachment's object entry for it.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <objbase.h>
#include <mapidefs.h>
#include <mapitags.h>
#include <mapix.h>
#include <mapiutil.h>
#include <imessage.h>

#include "base/comptr.h"

namespace msgwriter {

struct PropSpec {
    ULONG tag = 0;
    LONG l = 0;
    double d = 0;
    LONGLONG i8 = 0;
    FILETIME ft{};
    std::string narrow;
    std::basic_string<WCHAR> wide;
    std::vector<BYTE> bytes;          // binary value, or the raw stream when `streamed`
    std::vector<std::basic_string<WCHAR>> wides;  // PT_MV_UNICODE
    std::vector<std::string> narrows;   // PT_MV_STRING8
    std::vector<std::vector<BYTE>> binaries;  // PT_MV_BINARY
    std::vector<LONG> longs;          // PT_MV_LONG
    bool streamed = false;            // written through OpenProperty(MAPI_CREATE) as raw bytes
};

inline PropSpec Long(ULONG tag, LONG value) { PropSpec p; p.tag = tag; p.l = value; return p; }
inline PropSpec Bool(ULONG tag, bool value) { PropSpec p; p.tag = tag; p.l = value; return p; }
inline PropSpec Double(ULONG tag, double value) { PropSpec p; p.tag = tag; p.d = value; return p; }
inline PropSpec I8(ULONG tag, LONGLONG value) { PropSpec p; p.tag = tag; p.i8 = value; return p; }
inline PropSpec Time(ULONG tag, ULONGLONG ticks) {
    PropSpec p;
    p.tag = tag;
    p.ft.dwLowDateTime = static_cast<DWORD>(ticks);
    p.ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return p;
}
inline PropSpec Ansi(ULONG tag, std::string text) { PropSpec p; p.tag = tag; p.narrow = std::move(text); return p; }
inline PropSpec Unicode(ULONG tag, std::basic_string<WCHAR> text) { PropSpec p; p.tag = tag; p.wide = std::move(text); return p; }
inline PropSpec Binary(ULONG tag, std::vector<BYTE> data) { PropSpec p; p.tag = tag; p.bytes = std::move(data); return p; }
inline PropSpec Error(ULONG id, SCODE code) { PropSpec p; p.tag = PROP_TAG(PT_ERROR, id); p.l = code; return p; }
// A string or binary value written as exactly these stream bytes (odd lengths, embedded nulls,
// values of any size).
inline PropSpec Stream(ULONG tag, std::vector<BYTE> raw) {
    PropSpec p;
    p.tag = tag;
    p.bytes = std::move(raw);
    p.streamed = true;
    return p;
}
inline std::vector<BYTE> Utf16Bytes(const std::basic_string<WCHAR>& text) {
    const BYTE* p = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(p, p + text.size() * 2);
}

struct MessageSpec;

struct AttachmentSpec {
    std::vector<PropSpec> props;
    // A message embedded in the attachment (give the attachment PR_ATTACH_METHOD 5 as well).
    std::shared_ptr<const MessageSpec> embedded = nullptr;
};

struct MessageSpec {
    std::vector<PropSpec> props;
    std::vector<AttachmentSpec> attachments;
};

namespace detail {

// Fills `value` to point into `spec` (which must outlive the SetProps call).
inline void ToValue(PropSpec& spec, std::vector<LPSTR>& narrowPtrs, std::vector<LPWSTR>& widePtrs,
                    std::vector<SBinary>& bins, SPropValue& value) {
    std::memset(&value, 0, sizeof value);
    value.ulPropTag = spec.tag;
    switch (PROP_TYPE(spec.tag)) {
        case PT_I2: value.Value.i = static_cast<short>(spec.l); break;
        case PT_LONG: value.Value.l = spec.l; break;
        case PT_ERROR: value.Value.err = spec.l; break;
        case PT_BOOLEAN: value.Value.b = spec.l ? 1 : 0; break;
        case PT_DOUBLE: value.Value.dbl = spec.d; break;
        case PT_APPTIME: value.Value.at = spec.d; break;
        case PT_R4: value.Value.flt = static_cast<float>(spec.d); break;
        case PT_I8: value.Value.li.QuadPart = spec.i8; break;
        case PT_CURRENCY: value.Value.cur.int64 = spec.i8; break;
        case PT_SYSTIME: value.Value.ft = spec.ft; break;
        case PT_STRING8: value.Value.lpszA = spec.narrow.data(); break;
        case PT_UNICODE: value.Value.lpszW = spec.wide.data(); break;
        case PT_BINARY: value.Value.bin = SBinary{static_cast<ULONG>(spec.bytes.size()), spec.bytes.data()}; break;
        case PT_MV_LONG:
            value.Value.MVl = SLongArray{static_cast<ULONG>(spec.longs.size()), spec.longs.data()};
            break;
        case PT_MV_UNICODE:
            widePtrs.clear();
            for (auto& w : spec.wides) widePtrs.push_back(w.data());
            value.Value.MVszW = SWStringArray{static_cast<ULONG>(widePtrs.size()), widePtrs.data()};
            break;
        case PT_MV_STRING8:
            narrowPtrs.clear();
            for (auto& n : spec.narrows) narrowPtrs.push_back(n.data());
            value.Value.MVszA = SLPSTRArray{static_cast<ULONG>(narrowPtrs.size()), narrowPtrs.data()};
            break;
        case PT_MV_BINARY:
            bins.clear();
            for (auto& b : spec.binaries) bins.push_back(SBinary{static_cast<ULONG>(b.size()), b.data()});
            value.Value.MVbin = SBinaryArray{static_cast<ULONG>(bins.size()), bins.data()};
            break;
        default: break;
    }
}

inline HRESULT SetAll(IMAPIProp* object, std::vector<PropSpec> props) {
    for (auto& spec : props) {
        HRESULT hr = S_OK;
        if (spec.streamed) {
            platform::ComPtr<IUnknown> unknown;
            hr = object->OpenProperty(spec.tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, unknown.Put());
            if (FAILED(hr)) return hr;
            auto* stream = static_cast<IStream*>(unknown.Get());
            ULONG written = 0;
            if (!spec.bytes.empty() &&
                FAILED(hr = stream->Write(spec.bytes.data(), static_cast<ULONG>(spec.bytes.size()), &written)))
                return hr;
            if (FAILED(hr = stream->Commit(0))) return hr;
            continue;
        }
        std::vector<LPSTR> narrowPtrs;
        std::vector<LPWSTR> widePtrs;
        std::vector<SBinary> bins;
        SPropValue value;
        ToValue(spec, narrowPtrs, widePtrs, bins, value);
        LPSPropProblemArray problems = nullptr;
        hr = object->SetProps(1, &value, &problems);
        if (FAILED(hr)) return hr;
        if (problems) {
            hr = problems->cProblem ? problems->aProblem[0].scode : S_OK;
            MAPIFreeBuffer(problems);
            if (FAILED(hr)) return hr;
        }
    }
    return S_OK;
}

}  // namespace detail

inline HRESULT WriteMessage(IStorage* storage, const MessageSpec& spec);

namespace detail {

inline std::basic_string<WCHAR> AttachStorageName(ULONG number) {
    std::basic_string<WCHAR> name;
    for (const char* p = "__attach_version1.0_#"; *p; ++p) name.push_back(WCHAR(*p));
    static const char digits[] = "0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4) name.push_back(WCHAR(digits[(number >> shift) & 0xF]));
    return name;
}

inline HRESULT ReadWholeStream(IStorage* storage, const WCHAR* name, std::vector<BYTE>& bytes) {
    platform::ComPtr<IStream> stream;
    HRESULT hr = storage->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
    if (FAILED(hr)) return hr;
    STATSTG stat{};
    if (FAILED(hr = stream->Stat(&stat, STATFLAG_NONAME))) return hr;
    bytes.resize(static_cast<size_t>(stat.cbSize.QuadPart));
    ULONG got = 0;
    if (!bytes.empty() && FAILED(hr = stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got))) return hr;
    return got == bytes.size() ? S_OK : STG_E_READFAULT;
}

inline HRESULT WriteWholeStream(IStorage* storage, const WCHAR* name, const std::vector<BYTE>& bytes) {
    platform::ComPtr<IStream> stream;
    HRESULT hr = storage->CreateStream(name, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.Put());
    if (FAILED(hr)) return hr;
    ULONG written = 0;
    return bytes.empty() ? S_OK : stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
}

// Writes `spec` as the message embedded in attachment `number` of the message in `storage`.
inline HRESULT WriteEmbedded(IStorage* storage, ULONG number, const MessageSpec& spec) {
    const WCHAR* const properties = OLESTR("__properties_version1.0");
    platform::ComPtr<IStorage> attachment;
    HRESULT hr = storage->OpenStorage(AttachStorageName(number).c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                      nullptr, 0, attachment.Put());
    if (FAILED(hr)) return hr;
    {
        platform::ComPtr<IStorage> object;
        hr = attachment->CreateStorage(OLESTR("__substg1.0_3701000D"), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                       0, 0, object.Put());
        if (FAILED(hr)) return hr;
        if (FAILED(hr = WriteMessage(object.Get(), spec))) return hr;
        // What the writer made is a top-level message: an embedded one has the shorter header
        // and no named-property map of its own.
        std::vector<BYTE> bytes;
        if (FAILED(hr = ReadWholeStream(object.Get(), properties, bytes))) return hr;
        if (bytes.size() < 32) return STG_E_DOCFILECORRUPT;
        bytes.erase(bytes.begin() + 24, bytes.begin() + 32);
        if (FAILED(hr = WriteWholeStream(object.Get(), properties, bytes))) return hr;
        if (FAILED(hr = object->DestroyElement(OLESTR("__nameid_version1.0")))) return hr;
        if (FAILED(hr = object->Commit(STGC_DEFAULT))) return hr;
    }
    // The attachment's entry of the object: readable and writable, its size field unused.
    std::vector<BYTE> bytes;
    if (FAILED(hr = ReadWholeStream(attachment.Get(), properties, bytes))) return hr;
    const BYTE entry[16] = {0x0D, 0x00, 0x01, 0x37, 6, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    bytes.insert(bytes.end(), entry, entry + sizeof entry);
    if (FAILED(hr = WriteWholeStream(attachment.Get(), properties, bytes))) return hr;
    return attachment->Commit(STGC_DEFAULT);
}

}  // namespace detail

// Writes `spec` as a new message into `storage` (which should be empty) and saves it.
inline HRESULT WriteMessage(IStorage* storage, const MessageSpec& spec) {
    std::vector<ULONG> numbers;
    {
        LPMALLOC malloc = MAPIGetDefaultMalloc();
        if (!malloc) return E_OUTOFMEMORY;
        LPMESSAGE raw = nullptr;
        HRESULT hr = OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, malloc, nullptr,
                                    storage, nullptr, 0, 0, &raw);
        if (FAILED(hr)) return hr;
        auto message = platform::ComPtr<IMessage>::Attach(raw);
        if (FAILED(hr = detail::SetAll(message.Get(), spec.props))) return hr;
        for (const auto& attachment : spec.attachments) {
            ULONG number = 0;
            LPATTACH rawAttach = nullptr;
            if (FAILED(hr = message->CreateAttach(nullptr, 0, &number, &rawAttach))) return hr;
            auto attach = platform::ComPtr<IAttach>::Attach(rawAttach);
            if (FAILED(hr = detail::SetAll(attach.Get(), attachment.props))) return hr;
            if (FAILED(hr = attach->SaveChanges(KEEP_OPEN_READWRITE))) return hr;
            numbers.push_back(number);
        }
        if (FAILED(hr = message->SaveChanges(KEEP_OPEN_READWRITE))) return hr;
    }
    bool embedded = false;
    for (size_t i = 0; i < spec.attachments.size(); ++i) {
        if (!spec.attachments[i].embedded) continue;
        HRESULT hr = detail::WriteEmbedded(storage, numbers[i], *spec.attachments[i].embedded);
        if (FAILED(hr)) return hr;
        embedded = true;
    }
    return embedded ? storage->Commit(STGC_DEFAULT) : S_OK;
}

}  // namespace msgwriter

namespace msgwriter {

// Writes `spec` as a new .msg file at `path` (replacing what is there).
inline HRESULT WriteMessageFile(const std::basic_string<WCHAR>& path, const MessageSpec& spec) {
    platform::ComPtr<IStorage> storage;
    HRESULT hr = StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put());
    if (FAILED(hr)) return hr;
    return WriteMessage(storage.Get(), spec);
}

}  // namespace msgwriter
