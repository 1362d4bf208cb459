// libFuzzer target: a buffer opened as a compound file and then as a message; reads every
// property (stored types and as Unicode), the attachment and recipient tables, every
// attachment's properties, the body through a stream, and embedded messages one level down.
// Each input is read twice: through the storage's direct reading, and through IStorage and
// IStream alone.
#include <cstddef>
#include <cstdint>

#include "base/comptr.h"
#include "mapi/public_storage_test_helper.h"
#include "platform_testing.h"
#include "windows.h"

namespace {

using platform::ComPtr;

void ReadAll(IMAPIProp* object) {
    for (ULONG flags : {0u, static_cast<ULONG>(MAPI_UNICODE)}) {
        ULONG count = 0;
        LPSPropValue values = nullptr;
        if (SUCCEEDED(object->GetProps(nullptr, flags, &count, &values))) MAPIFreeBuffer(values);
    }
    LPSPropTagArray tags = nullptr;
    if (SUCCEEDED(object->GetPropList(0, &tags))) MAPIFreeBuffer(tags);
}

void ReadStream(IMAPIProp* object, ULONG tag) {
    ComPtr<IUnknown> unknown;
    if (FAILED(object->OpenProperty(tag, &IID_IStream, 0, 0, unknown.Put()))) return;
    auto* stream = static_cast<IStream*>(unknown.Get());
    BYTE buffer[510];
    for (int i = 0; i < 4096; ++i) {  // bounded: a damaged stream never reads forever
        ULONG got = 0;
        if (FAILED(stream->Read(buffer, sizeof buffer, &got)) || got == 0) break;
    }
}

void ReadTable(IMAPITable* table) {
    LPSRowSet rows = nullptr;
    if (SUCCEEDED(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rows))) FreeProws(rows);
}

void ReadMessage(IMessage* message, int depth) {
    ReadAll(message);
    LPSPropValue body = nullptr;
    if (SUCCEEDED(HrGetOneProp(message, PR_BODY_W, &body))) MAPIFreeBuffer(body);
    ReadStream(message, PR_BODY_W);
    ComPtr<IMAPITable> recipients;
    if (SUCCEEDED(message->GetRecipientTable(0, recipients.Put()))) ReadTable(recipients.Get());
    ComPtr<IMAPITable> table;
    if (FAILED(message->GetAttachmentTable(0, table.Put()))) return;
    LPSRowSet rows = nullptr;
    if (FAILED(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, &rows))) return;
    for (ULONG r = 0; r < rows->cRows && r < 64; ++r) {
        LPSPropValue number = PpropFindProp(rows->aRow[r].lpProps, rows->aRow[r].cValues, PR_ATTACH_NUM);
        if (!number) continue;
        ComPtr<IAttach> attach;
        if (FAILED(message->OpenAttach(static_cast<ULONG>(number->Value.l), nullptr, 0, attach.Put()))) continue;
        ReadAll(attach.Get());
        ReadStream(attach.Get(), PR_ATTACH_DATA_BIN);
        if (depth < 2) {
            ComPtr<IUnknown> embedded;
            if (SUCCEEDED(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, embedded.Put())))
                ReadMessage(static_cast<IMessage*>(embedded.Get()), depth + 1);
        }
    }
    FreeProws(rows);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ComPtr<IStorage> storage;
    if (FAILED(platform::testing::OpenStorageOnMemory(data, size, storage.Put()))) return 0;
    for (bool publicOnly : {false, true}) {
        ComPtr<IStorage> given = storage;
        if (publicOnly) given = ComPtr<IStorage>::Attach(mapitest::PublicOnlyStorage::Wrap(storage.Get()));
        ComPtr<IMessage> message;
        if (FAILED(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer,
                                  MAPIGetDefaultMalloc(), nullptr, given.Get(), nullptr, 0, 0, message.Put())))
            return 0;
        ReadMessage(message.Get(), 0);
    }
    return 0;
}
