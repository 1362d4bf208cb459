// Structured storage: compound files opened as IStorage and IStream (ole32's StgOpenStorage
// family), read and written in the compound file format.
//
// Storages are direct: what is written through a storage opened for writing reaches the file no
// later than the root's Commit or the release of the last reference to the open file. Each such
// flush replaces the file atomically (a new image in the same folder, flushed to disk, renamed
// over the old one), so the file on disk is always either the old or the new one, whole.
#pragma once

#include "base/wintypes.h"
#include "com/objbase.h"

// ---- Modes ---------------------------------------------------------------------------------
#define STGM_DIRECT 0x00000000L
#define STGM_TRANSACTED 0x00010000L
#define STGM_SIMPLE 0x08000000L
#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L
#define STGM_SHARE_DENY_NONE 0x00000040L
#define STGM_SHARE_DENY_READ 0x00000030L
#define STGM_SHARE_DENY_WRITE 0x00000020L
#define STGM_SHARE_EXCLUSIVE 0x00000010L
#define STGM_PRIORITY 0x00040000L
#define STGM_DELETEONRELEASE 0x04000000L
#define STGM_NOSCRATCH 0x00100000L
#define STGM_CREATE 0x00001000L
#define STGM_CONVERT 0x00020000L
#define STGM_FAILIFTHERE 0x00000000L
#define STGM_NOSNAPSHOT 0x00200000L
#define STGM_DIRECT_SWMR 0x00400000L

// Commit flags.
#define STGC_DEFAULT 0
#define STGC_OVERWRITE 1
#define STGC_ONLYIFCURRENT 2
#define STGC_DANGEROUSLYCOMMITMERELYTODISKCACHE 4
#define STGC_CONSOLIDATE 8

// Element kinds (STATSTG::type).
#define STGTY_STORAGE 1
#define STGTY_STREAM 2
#define STGTY_LOCKBYTES 3
#define STGTY_PROPERTY 4

// Seek origins.
#define STREAM_SEEK_SET 0
#define STREAM_SEEK_CUR 1
#define STREAM_SEEK_END 2

// Stat flags.
#define STATFLAG_DEFAULT 0
#define STATFLAG_NONAME 1
#define STATFLAG_NOOPEN 2

// MoveElementTo flags.
#define STGMOVE_MOVE 0
#define STGMOVE_COPY 1
#define STGMOVE_SHALLOWCOPY 2

// (Region lock kinds, LOCK_WRITE and friends, are left out: <fcntl.h> uses those names, and
// compound-file streams answer LockRegion with STG_E_INVALIDFUNCTION anyway.)

// ---- Result codes --------------------------------------------------------------------------
#define STG_E_INVALIDFUNCTION ((HRESULT)0x80030001L)
#define STG_E_FILENOTFOUND ((HRESULT)0x80030002L)
#define STG_E_PATHNOTFOUND ((HRESULT)0x80030003L)
#define STG_E_TOOMANYOPENFILES ((HRESULT)0x80030004L)
#define STG_E_ACCESSDENIED ((HRESULT)0x80030005L)
#define STG_E_INVALIDHANDLE ((HRESULT)0x80030006L)
#define STG_E_INSUFFICIENTMEMORY ((HRESULT)0x80030008L)
#define STG_E_INVALIDPOINTER ((HRESULT)0x80030009L)
#define STG_E_NOMOREFILES ((HRESULT)0x80030012L)
#define STG_E_DISKISWRITEPROTECTED ((HRESULT)0x80030013L)
#define STG_E_SEEKERROR ((HRESULT)0x80030019L)
#define STG_E_WRITEFAULT ((HRESULT)0x8003001DL)
#define STG_E_READFAULT ((HRESULT)0x8003001EL)
#define STG_E_SHAREVIOLATION ((HRESULT)0x80030020L)
#define STG_E_LOCKVIOLATION ((HRESULT)0x80030021L)
#define STG_E_FILEALREADYEXISTS ((HRESULT)0x80030050L)
#define STG_E_INVALIDPARAMETER ((HRESULT)0x80030057L)
#define STG_E_MEDIUMFULL ((HRESULT)0x80030070L)
#define STG_E_PROPSETMISMATCHED ((HRESULT)0x800300F0L)
#define STG_E_ABNORMALAPIEXIT ((HRESULT)0x800300FAL)
#define STG_E_INVALIDHEADER ((HRESULT)0x800300FBL)
#define STG_E_INVALIDNAME ((HRESULT)0x800300FCL)
#define STG_E_UNKNOWN ((HRESULT)0x800300FDL)
#define STG_E_UNIMPLEMENTEDFUNCTION ((HRESULT)0x800300FEL)
#define STG_E_INVALIDFLAG ((HRESULT)0x800300FFL)
#define STG_E_INUSE ((HRESULT)0x80030100L)
#define STG_E_NOTCURRENT ((HRESULT)0x80030101L)
#define STG_E_REVERTED ((HRESULT)0x80030102L)
#define STG_E_CANTSAVE ((HRESULT)0x80030103L)
#define STG_E_OLDFORMAT ((HRESULT)0x80030104L)
#define STG_E_OLDDLL ((HRESULT)0x80030105L)
#define STG_E_SHAREREQUIRED ((HRESULT)0x80030106L)
#define STG_E_NOTFILEBASEDSTORAGE ((HRESULT)0x80030107L)
#define STG_E_EXTANTMARSHALLINGS ((HRESULT)0x80030108L)
#define STG_E_DOCFILECORRUPT ((HRESULT)0x80030109L)
#define STG_E_BADBASEADDRESS ((HRESULT)0x80030110L)
#define STG_E_DOCFILETOOLARGE ((HRESULT)0x80030111L)
#define STG_E_NOTSIMPLEFORMAT ((HRESULT)0x80030112L)
#define STG_E_INCOMPLETE ((HRESULT)0x80030201L)
#define STG_E_TERMINATED ((HRESULT)0x80030202L)
#define STG_S_CONVERTED ((HRESULT)0x00030200L)
#define STG_S_BLOCK ((HRESULT)0x00030201L)
#define STG_S_RETRYNOW ((HRESULT)0x00030202L)
#define STG_S_MONITORING ((HRESULT)0x00030203L)

// ---- Types ---------------------------------------------------------------------------------
typedef OLECHAR** SNB;

struct STATSTG {
    LPOLESTR pwcsName;
    DWORD type;
    ULARGE_INTEGER cbSize;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode;
    DWORD grfLocksSupported;
    CLSID clsid;
    DWORD grfStateBits;
    DWORD reserved;
};
static_assert(sizeof(STATSTG) == 80 && offsetof(STATSTG, cbSize) == 16 &&
              offsetof(STATSTG, grfMode) == 48 && offsetof(STATSTG, clsid) == 56 &&
              offsetof(STATSTG, grfStateBits) == 72);

DEFINE_GUID(IID_ISequentialStream, 0x0C733A30, 0x2A1C, 0x11CE, 0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D);
DEFINE_GUID(IID_IStream, 0x0000000C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IStorage, 0x0000000B, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IEnumSTATSTG, 0x0000000D, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// ---- Interfaces (method order is the vtable order callers rely on) -------------------------
struct ISequentialStream : IUnknown {
    STDMETHOD(Read)(void* pv, ULONG cb, ULONG* pcbRead) PURE;
    STDMETHOD(Write)(const void* pv, ULONG cb, ULONG* pcbWritten) PURE;
};
typedef ISequentialStream* LPSEQUENTIALSTREAM;

struct IStream : ISequentialStream {
    STDMETHOD(Seek)(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) PURE;
    STDMETHOD(SetSize)(ULARGE_INTEGER libNewSize) PURE;
    STDMETHOD(CopyTo)(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                      ULARGE_INTEGER* pcbWritten) PURE;
    STDMETHOD(Commit)(DWORD grfCommitFlags) PURE;
    STDMETHOD(Revert)() PURE;
    STDMETHOD(LockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) PURE;
    STDMETHOD(UnlockRegion)(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) PURE;
    STDMETHOD(Stat)(STATSTG* pstatstg, DWORD grfStatFlag) PURE;
    STDMETHOD(Clone)(IStream** ppstm) PURE;
};
typedef IStream* LPSTREAM;

struct IEnumSTATSTG : IUnknown {
    STDMETHOD(Next)(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) PURE;
    STDMETHOD(Skip)(ULONG celt) PURE;
    STDMETHOD(Reset)() PURE;
    STDMETHOD(Clone)(IEnumSTATSTG** ppenum) PURE;
};
typedef IEnumSTATSTG* LPENUMSTATSTG;

struct IStorage : IUnknown {
    STDMETHOD(CreateStream)(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1,
                            DWORD reserved2, IStream** ppstm) PURE;
    STDMETHOD(OpenStream)(const OLECHAR* pwcsName, void* reserved1, DWORD grfMode,
                          DWORD reserved2, IStream** ppstm) PURE;
    STDMETHOD(CreateStorage)(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1,
                             DWORD reserved2, IStorage** ppstg) PURE;
    STDMETHOD(OpenStorage)(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode,
                           SNB snbExclude, DWORD reserved, IStorage** ppstg) PURE;
    STDMETHOD(CopyTo)(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude,
                      IStorage* pstgDest) PURE;
    STDMETHOD(MoveElementTo)(const OLECHAR* pwcsName, IStorage* pstgDest,
                             const OLECHAR* pwcsNewName, DWORD grfFlags) PURE;
    STDMETHOD(Commit)(DWORD grfCommitFlags) PURE;
    STDMETHOD(Revert)() PURE;
    STDMETHOD(EnumElements)(DWORD reserved1, void* reserved2, DWORD reserved3,
                            IEnumSTATSTG** ppenum) PURE;
    STDMETHOD(DestroyElement)(const OLECHAR* pwcsName) PURE;
    STDMETHOD(RenameElement)(const OLECHAR* pwcsOldName, const OLECHAR* pwcsNewName) PURE;
    STDMETHOD(SetElementTimes)(const OLECHAR* pwcsName, const FILETIME* pctime,
                               const FILETIME* patime, const FILETIME* pmtime) PURE;
    STDMETHOD(SetClass)(REFCLSID clsid) PURE;
    STDMETHOD(SetStateBits)(DWORD grfStateBits, DWORD grfMask) PURE;
    STDMETHOD(Stat)(STATSTG* pstatstg, DWORD grfStatFlag) PURE;
};
typedef IStorage* LPSTORAGE;

// ---- Functions -----------------------------------------------------------------------------
// Opens the compound file at pwcsName. Modes: STGM_READWRITE | STGM_SHARE_EXCLUSIVE (direct
// writing), STGM_READ with any share mode, STGM_TRANSACTED for reading. pstgPriority and
// snbExclude must be null, reserved 0.
WINOLEAPI StgOpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode,
                         SNB snbExclude, DWORD reserved, IStorage** ppstgOpen);

// Creates a new, empty compound file (STGM_CREATE replaces an existing file; without it an
// existing file gives STG_E_FILEALREADYEXISTS). A null name creates a temporary file that is
// deleted on release.
WINOLEAPI StgCreateDocfile(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved,
                           IStorage** ppstgOpen);

// S_OK when the file is a compound file, S_FALSE when it is not.
WINOLEAPI StgIsStorageFile(const WCHAR* pwcsName);
