// The message object's life: construction (MAPI start), opening and teardown.
#include "message/MsgFile.h"

#include <new>

#include <imessage.h>
#include <mapitags.h>
#include <mapiutil.h>

#include "log/errlog.h"
#include "log/wide_string.h"

#ifndef MAPI_NO_COINIT
#define MAPI_NO_COINIT 0x00000008  // MAPI leaves COM alone; MinGW-w64's mapix.h lacks the flag
#endif

namespace msgplugin {

const InterfaceEntry* CMsgFile::Interfaces() {
    static const InterfaceEntry entries[] = {
        InterfaceOf<CMsgFile, IMsgFile>(IID_IMsgFile),
        InterfaceOf<CMsgFile, IKivFileNavigator>(IID_IKivFileNavigator),
        {nullptr, 0, nullptr},
    };
    return entries;
}

void CMsgFile::Log(HRESULT code, DWORD category, LPCWSTR function, LPCWSTR text) {
    LogEntryHeader header{};
    GetLocalTime(&header.localTime);
    header.resultCode = code;
    header.category = category;
    g_errLog.Write(&header, function, text, nullptr);
}

CMsgFile::CMsgFile() {
    if (SUCCEEDED(MAPIInitialize(nullptr))) {
        m_bMapiStarted = true;
        return;
    }
    MAPIINIT_0 init{0, MAPI_NO_COINIT | MAPI_MULTITHREAD_NOTIFICATIONS};
    HRESULT hr = MAPIInitialize(&init);
    m_bMapiStarted = SUCCEEDED(hr);
    if (FAILED(hr)) {
        Log(hr, kLogCategoryOpening, OLESTR("CMsgFile::CMsgFile"),
            OLESTR("MAPIInitialize with MAPI_NO_COINIT and MAPI_MULTITHREAD_NOTIFICATIONS failed."));
    }
}

CMsgFile::~CMsgFile() {
    m_pMessage.Release();
    MAPIFreeBuffer(m_pProps);
    m_pProps = nullptr;
    if (m_bMapiStarted) MAPIUninitialize();
}

HRESULT CMsgFile::OpenInProcess(BSTR path, IKivFileNavigator** navigator) {
    ComObject<CMsgFile>* object = nullptr;
    try {
        object = new (std::nothrow) ComObject<CMsgFile>(nullptr);
    } catch (...) {
        object = nullptr;
    }
    if (!object) return E_OUTOFMEMORY;
    object->AddRef();

    CComBSTR pathCopy;
    if (path) {
        pathCopy.Attach(SysAllocString(path));
        if (!pathCopy) {
            object->Release();
            return E_OUTOFMEMORY;
        }
    }
    HRESULT hr = object->mhInitialize(pathCopy);
    pathCopy.Empty();
    if (FAILED(hr)) {
        object->Release();
        return hr;
    }
    *navigator = static_cast<IKivFileNavigator*>(object);
    return S_OK;
}

HRESULT CMsgFile::mhInitialize(LPCWSTR path) {
    try {
        m_tags.Clear();
        if (path) {
            m_path.Attach(SysAllocString(path));
            if (!m_path) return E_OUTOFMEMORY;
        } else {
            m_path.Empty();
        }
        HRESULT hr = OpenMessage(path);
        if (FAILED(hr)) return hr;
        CollectAttachmentNames();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CMsgFile::OpenMessage(LPCWSTR path) {
    const WString pathText = m_path.Text();
    CComPtr<IStorage> storage;
    HRESULT hr = StgOpenStorage(path, nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0, &storage);
    if (FAILED(hr)) {
        Log(hr, kLogCategoryOpening, OLESTR("CMsgFile::mhInitialize"), (OLESTR("Failed: StgOpenStorage ") + pathText).c_str());
        if (hr == STG_E_ACCESSDENIED || hr == STG_E_SHAREVIOLATION || hr == STG_E_LOCKVIOLATION)
            return E_MSG_FILE_LOCKED;
        return E_MSG_OPEN_FAILED;
    }

    CComPtr<IMalloc> malloc;
    malloc.Attach(MAPIGetDefaultMalloc());
    if (!malloc) {
        Log(0, kLogCategoryOpening, OLESTR("CMsgFile::mhInitialize"),
            OLESTR("MAPIGetDefaultMalloc returned NULL - trying with CoGetMalloc instead."));
        hr = CoGetMalloc(1, &malloc);
        if (FAILED(hr)) {
            Log(hr, kLogCategoryOpening, OLESTR("CMsgFile::mhInitialize"), OLESTR("CoGetMalloc returned error"));
            return hr;
        }
        if (!malloc) {
            Log(0, kLogCategoryOpening, OLESTR("CMsgFile::mhInitialize"), OLESTR("CoGetMalloc returned NULL."));
            return E_MSG_OPEN_FAILED;
        }
    }

    hr = OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, malloc, nullptr, storage,
                        nullptr, 0, 0, &m_pMessage);
    if (FAILED(hr)) {
        Log(hr, kLogCategoryOpening, OLESTR("CMsgFile::mhInitialize"), (OLESTR("Failed: OpenIMsgOnIStg ") + pathText).c_str());
        return E_MSG_OPEN_FAILED;
    }
    // The message holds its own references to the storage and the allocator.
    storage.Release();
    malloc.Release();

    ULONG count = 0;
    hr = m_pMessage->GetProps(nullptr, 0, &count, &m_pProps);
    if (FAILED(hr)) {
        Log(hr, kLogCategoryOpening, OLESTR("CMsgFile::mhInitialize"), (OLESTR("Failed: GetProps ") + pathText).c_str());
        return E_MSG_OPEN_FAILED;
    }
    m_tags.Reserve(size_t(count) + 1);  // the attachment names come last
    for (ULONG i = 0; i < count; ++i) m_tags.Add(m_pProps[i]);
    return S_OK;
}

namespace {

// An 8-bit text in the calling thread's ANSI code page as wide text; "" when it cannot be
// converted.
WString FromThreadAnsi(LPCSTR text) {
    if (!text) return {};
    int needed = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (needed <= 0) return {};
    WString wide(static_cast<size_t>(needed), WCHAR('\0'));
    int written = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, wide.data(), needed);
    if (written <= 0) return {};
    wide.resize(static_cast<size_t>(written - 1));  // without the terminator
    return wide;
}

// Frees a MAPI buffer when the scope ends.
struct MapiBufferHolder {
    void* buffer = nullptr;
    ~MapiBufferHolder() { MAPIFreeBuffer(buffer); }
};

// Frees a row set as MAPI hands it out: each row's values, then the set.
struct RowSetHolder {
    LPSRowSet rows = nullptr;
    ~RowSetHolder() {
        if (!rows) return;
        for (ULONG row = 0; row < rows->cRows; ++row) MAPIFreeBuffer(rows->aRow[row].lpProps);
        MAPIFreeBuffer(rows);
    }
};

// The first value of the row with exactly this tag, or null.
const SPropValue* FindValue(const SRow& row, ULONG tag) {
    for (ULONG i = 0; i < row.cValues; ++i)
        if (row.lpProps[i].ulPropTag == tag) return &row.lpProps[i];
    return nullptr;
}

}  // namespace

void CMsgFile::CollectAttachmentNames() {
    WString names;
    CComPtr<IMAPITable> table;
    if (SUCCEEDED(m_pMessage->GetAttachmentTable(0, &table))) {
        RowSetHolder rowSet;
        if (SUCCEEDED(HrQueryAllRows(table, nullptr, nullptr, nullptr, 0, &rowSet.rows))) {
            for (ULONG row = 0; row < rowSet.rows->cRows; ++row) {
                const SRow& current = rowSet.rows->aRow[row];
                const SPropValue* number = FindValue(current, PR_ATTACH_NUM);
                if (!number) continue;
                CComPtr<IAttach> attachment;
                if (FAILED(m_pMessage->OpenAttach(number->Value.l, nullptr, 0, &attachment))) continue;
                ULONG count = 0;
                MapiBufferHolder props;
                LPSPropValue values = nullptr;
                if (FAILED(attachment->GetProps(nullptr, 0, &count, &values))) continue;
                props.buffer = values;
                for (ULONG i = 0; i < count; ++i) {
                    if (PROP_ID(values[i].ulPropTag) != 0x3707) continue;
                    switch (PROP_TYPE(values[i].ulPropTag)) {
                    case PT_UNICODE:
                        if (values[i].Value.lpszW) names += values[i].Value.lpszW;
                        break;
                    case PT_STRING8:
                        names += FromThreadAnsi(values[i].Value.lpszA);
                        break;
                    default:
                        break;
                    }
                    names += OLESTR("\r\n");
                    break;
                }
            }
        }
    }
    if (!names.empty()) names.resize(names.size() - 2);

    SPropValue entry{};
    entry.ulPropTag = TAG_ATTACHMENTS;
    entry.Value.lpszW = names.data();
    m_tags.Add(entry);
}

}  // namespace msgplugin
