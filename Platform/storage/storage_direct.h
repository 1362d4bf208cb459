// Reading the streams of a storage without opening a stream object for each: an internal
// interface of the platform's own compound-file storages, the only one the message store uses
// besides IStorage and IStream. The store asks a storage for it with QueryInterface; a storage
// of another implementation does not answer, and the store then reads through IStorage and
// IStream alone.
#pragma once

#include "storage/storage.h"

// {6E0C4B3A-2D71-4F5C-9A18-7B3E5D2C9F41}
DEFINE_GUID(IID_IStorageDirectRead, 0x6E0C4B3A, 0x2D71, 0x4F5C, 0x9A, 0x18, 0x7B, 0x3E, 0x5D, 0x2C, 0x9F, 0x41);

// One element of a storage.
struct STGELEMENT {
    ULONG id;               // names the element to ReadElement while the storage is open
    DWORD type;             // STGTY_STREAM or STGTY_STORAGE
    ULARGE_INTEGER cbSize;  // a stream's size
    OLECHAR name[32];       // NextElements only: the name, null-terminated
};

struct IStorageDirectRead : IUnknown {
    // The element of this storage called pwcsName: S_OK, STG_E_FILENOTFOUND, STG_E_REVERTED.
    STDMETHOD(FindElement)(const OLECHAR* pwcsName, STGELEMENT* pElement) PURE;
    // The elements in name order, up to `celt` per call (one lock for all): those from
    // *pPosition on whose kind is `type` (0: any kind), into rgelt, their count into
    // *pceltFetched. Start with *pPosition 0; S_OK when all `celt` came, S_FALSE when the listing
    // ended first.
    STDMETHOD(NextElements)(ULONG* pPosition, DWORD type, ULONG celt, STGELEMENT* rgelt, ULONG* pceltFetched) PURE;
    // Reads up to cb bytes at `offset` of a stream of this storage, as IStream::Read would;
    // STG_E_INVALIDPARAMETER when `id` names no stream of it.
    STDMETHOD(ReadElement)(ULONG id, ULARGE_INTEGER offset, void* pv, ULONG cb, ULONG* pcbRead) PURE;
};
