// Tests only: messages opened over a storage held in memory, built with the message writer, and
// their properties read back whole; shared by the message store's tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mapi/memory_storage_test_helper.h"
#include "mapi/message_writer.h"
#include "platform_testing.h"
#include "windows.h"

namespace mapitest {

using platform::ComPtr;

struct Opened {
    std::shared_ptr<MemNode> root;
    ComPtr<IMessage> message;
    HRESULT hr = E_FAIL;
};

// The message over `root`; a read-only storage when !writable.
inline Opened Open(std::shared_ptr<MemNode> root, bool writable = true) {
    Opened o;
    o.root = root;
    auto* storage = new MemStorage(root, writable);
    LPMESSAGE raw = nullptr;
    o.hr = OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                          nullptr, storage, nullptr, 0, 0, &raw);
    storage->Release();  // the message holds its own reference
    o.message = ComPtr<IMessage>::Attach(raw);
    return o;
}

// A storage in memory holding the message `spec` describes.
inline std::shared_ptr<MemNode> Build(const msgwriter::MessageSpec& spec) {
    auto root = std::make_shared<MemNode>();
    root->isStorage = true;
    auto* storage = new MemStorage(root, true);
    HRESULT hr = msgwriter::WriteMessage(storage, spec);
    storage->Release();
    EXPECT_EQ(hr, S_OK);
    return root;
}

// All properties of an object, freed with the holder.
struct Props {
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = E_FAIL;
    Props() = default;
    Props(const Props&) = delete;
    Props& operator=(const Props&) = delete;
    ~Props() { MAPIFreeBuffer(values); }
    const SPropValue* Find(ULONG tag) const { return PpropFindProp(values, count, tag); }
};
inline void GetAll(IMAPIProp* object, Props& p, ULONG flags = 0) {
    p.hr = object->GetProps(nullptr, flags, &p.count, &p.values);
}

// A stream read to its end in pieces of `chunk` bytes, as UTF-16.
inline std::u16string ReadStream(IStream* stream, ULONG chunk = 510, int* reads = nullptr) {
    std::vector<BYTE> all;
    BYTE buffer[4096];
    for (;;) {
        ULONG got = 0;
        EXPECT_EQ(stream->Read(buffer, chunk, &got), S_OK);
        if (reads) ++*reads;
        if (got == 0) break;
        all.insert(all.end(), buffer, buffer + got);
    }
    return std::u16string(reinterpret_cast<const char16_t*>(all.data()), all.size() / 2);
}

// Bytes of a property stream, little-endian as stored.
inline ULONG Get32(const std::vector<BYTE>& b, size_t at) {
    return ULONG(b[at]) | ULONG(b[at + 1]) << 8 | ULONG(b[at + 2]) << 16 | ULONG(b[at + 3]) << 24;
}
inline void Put32(std::vector<BYTE>& b, ULONG v) {
    for (int i = 0; i < 4; ++i) b.push_back(BYTE(v >> (8 * i)));
}
inline std::vector<BYTE> Bytes(const std::string& s) { return std::vector<BYTE>(s.begin(), s.end()); }
inline std::vector<BYTE> Wide(const std::u16string& s) { return msgwriter::Utf16Bytes(s); }

// A property-stream entry: tag, flags, 8 value bytes.
inline void Entry(std::vector<BYTE>& stream, ULONG tag, ULONG low, ULONG high = 0) {
    Put32(stream, tag);
    Put32(stream, 6);
    Put32(stream, low);
    Put32(stream, high);
}
inline std::vector<BYTE> MessageHeader(ULONG recipients = 0, ULONG attachments = 0) {
    std::vector<BYTE> h(8, 0);
    Put32(h, recipients);
    Put32(h, attachments);
    Put32(h, recipients);
    Put32(h, attachments);
    h.resize(32, 0);
    return h;
}

}  // namespace mapitest
