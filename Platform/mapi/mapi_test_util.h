// Tests only: messages opened over a storage held in memory, built with the message writer, and
// their properties read back whole; shared by the message store's tests.
#pragma once

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <utility>
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

// A table's rows, freed with the holder.
struct RowsDeleter {
    void operator()(LPSRowSet rows) const { FreeProws(rows); }
};
using RowSet = std::unique_ptr<SRowSet, RowsDeleter>;
// Every row, all columns, of a message's attachment table (or recipient table); null, and a
// failure of the test, when the table cannot be read.
inline RowSet TableRows(IMessage* message, bool recipients = false) {
    ComPtr<IMAPITable> table;
    LPSRowSet rows = nullptr;
    HRESULT hr = recipients ? message->GetRecipientTable(0, table.Put()) : message->GetAttachmentTable(0, table.Put());
    if (SUCCEEDED(hr)) hr = HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, &rows);
    EXPECT_EQ(hr, S_OK) << (recipients ? "the recipient table" : "the attachment table");
    return RowSet(rows);
}
inline const SPropValue* Find(const SRow& row, ULONG tag) { return PpropFindProp(row.lpProps, row.cValues, tag); }
// The long value of `tag` in each row (LONG_MIN where a row has none).
inline std::vector<LONG> Longs(const SRowSet& rows, ULONG tag) {
    std::vector<LONG> values;
    for (ULONG r = 0; r < rows.cRows; ++r) {
        const SPropValue* value = Find(rows.aRow[r], tag);
        values.push_back(value ? value->Value.l : LONG_MIN);
    }
    return values;
}

// The message over `root` with all its properties read into `p`; a message that does not open
// fails the test and leaves `p` unread.
inline Opened OpenAndGetAll(std::shared_ptr<MemNode> root, Props& p) {
    Opened o = Open(std::move(root));
    EXPECT_EQ(o.hr, S_OK);
    if (o.message) GetAll(o.message.Get(), p);
    return o;
}
// All properties of attachment `number` of a message, in `p`.
inline void GetAllOfAttachment(IMessage* message, ULONG number, Props& p) {
    ComPtr<IAttach> attach;
    p.hr = message->OpenAttach(number, nullptr, 0, attach.Put());
    if (SUCCEEDED(p.hr)) GetAll(attach.Get(), p);
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
