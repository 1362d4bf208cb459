// MAPI: property values, tables, the message-on-storage service (OpenIMsgOnIStg) and the MAPI
// allocators, with the Windows SDK's names, layouts and values (mapidefs.h, mapix.h,
// mapiutil.h, imessage.h, mapicode.h, mapitags.h).
#pragma once

#include "base/wintypes.h"
#include "com/objbase.h"
#include "storage/storage.h"

typedef const IID* LPCIID;

// ---- Property tags ---------------------------------------------------------------------------
#define PROP_TYPE_MASK ((ULONG)0x0000FFFF)
#define PROP_TYPE(ulPropTag) (((ULONG)(ulPropTag)) & PROP_TYPE_MASK)
#define PROP_ID(ulPropTag) (((ULONG)(ulPropTag)) >> 16)
#define PROP_TAG(ulPropType, ulPropID) ((((ULONG)(ulPropID)) << 16) | ((ULONG)(ulPropType)))
#define CHANGE_PROP_TYPE(ulPropTag, ulPropType) \
    (((ULONG)0xFFFF0000 & (ULONG)(ulPropTag)) | (ULONG)(ulPropType))
#define PROP_ID_NULL 0
#define PROP_ID_INVALID 0xFFFF
#define PR_NULL PROP_TAG(PT_NULL, PROP_ID_NULL)

#define PT_UNSPECIFIED ((ULONG)0)
#define PT_NULL ((ULONG)1)
#define PT_I2 ((ULONG)2)
#define PT_LONG ((ULONG)3)
#define PT_R4 ((ULONG)4)
#define PT_DOUBLE ((ULONG)5)
#define PT_CURRENCY ((ULONG)6)
#define PT_APPTIME ((ULONG)7)
#define PT_ERROR ((ULONG)10)
#define PT_BOOLEAN ((ULONG)11)
#define PT_OBJECT ((ULONG)13)
#define PT_I8 ((ULONG)20)
#define PT_STRING8 ((ULONG)30)
#define PT_UNICODE ((ULONG)31)
#define PT_SYSTIME ((ULONG)64)
#define PT_CLSID ((ULONG)72)
#define PT_SVREID ((ULONG)0xFB)
#define PT_SRESTRICTION ((ULONG)0xFD)
#define PT_ACTIONS ((ULONG)0xFE)
#define PT_BINARY ((ULONG)258)
#define PT_SHORT PT_I2
#define PT_I4 PT_LONG
#define PT_FLOAT PT_R4
#define PT_R8 PT_DOUBLE
#define PT_LONGLONG PT_I8
#define PT_TSTRING PT_UNICODE

#define MV_FLAG ((ULONG)0x1000)
#define MV_INSTANCE ((ULONG)0x2000)
#define PT_MV_I2 (MV_FLAG | PT_I2)
#define PT_MV_LONG (MV_FLAG | PT_LONG)
#define PT_MV_R4 (MV_FLAG | PT_R4)
#define PT_MV_DOUBLE (MV_FLAG | PT_DOUBLE)
#define PT_MV_CURRENCY (MV_FLAG | PT_CURRENCY)
#define PT_MV_APPTIME (MV_FLAG | PT_APPTIME)
#define PT_MV_SYSTIME (MV_FLAG | PT_SYSTIME)
#define PT_MV_STRING8 (MV_FLAG | PT_STRING8)
#define PT_MV_BINARY (MV_FLAG | PT_BINARY)
#define PT_MV_UNICODE (MV_FLAG | PT_UNICODE)
#define PT_MV_CLSID (MV_FLAG | PT_CLSID)
#define PT_MV_I8 (MV_FLAG | PT_I8)

// ---- Result codes ----------------------------------------------------------------------------
#define MAKE_MAPI_E(err) (MAKE_SCODE(SEVERITY_ERROR, FACILITY_ITF, err))
#define MAKE_MAPI_S(warn) (MAKE_SCODE(SEVERITY_SUCCESS, FACILITY_ITF, warn))
#define SUCCESS_SUCCESS 0L

#define MAPI_E_CALL_FAILED E_FAIL
#define MAPI_E_NOT_ENOUGH_MEMORY E_OUTOFMEMORY
#define MAPI_E_INVALID_PARAMETER E_INVALIDARG
#define MAPI_E_INTERFACE_NOT_SUPPORTED E_NOINTERFACE
#define MAPI_E_NO_ACCESS E_ACCESSDENIED
#define MAPI_E_NO_SUPPORT MAKE_MAPI_E(0x102)
#define MAPI_E_BAD_CHARWIDTH MAKE_MAPI_E(0x103)
#define MAPI_E_STRING_TOO_LONG MAKE_MAPI_E(0x105)
#define MAPI_E_UNKNOWN_FLAGS MAKE_MAPI_E(0x106)
#define MAPI_E_INVALID_ENTRYID MAKE_MAPI_E(0x107)
#define MAPI_E_INVALID_OBJECT MAKE_MAPI_E(0x108)
#define MAPI_E_OBJECT_CHANGED MAKE_MAPI_E(0x109)
#define MAPI_E_OBJECT_DELETED MAKE_MAPI_E(0x10A)
#define MAPI_E_BUSY MAKE_MAPI_E(0x10B)
#define MAPI_E_NOT_ENOUGH_DISK MAKE_MAPI_E(0x10D)
#define MAPI_E_NOT_ENOUGH_RESOURCES MAKE_MAPI_E(0x10E)
#define MAPI_E_NOT_FOUND MAKE_MAPI_E(0x10F)
#define MAPI_E_VERSION MAKE_MAPI_E(0x110)
#define MAPI_E_BAD_COLUMN MAKE_MAPI_E(0x118)
#define MAPI_E_CORRUPT_DATA MAKE_MAPI_E(0x11B)
#define MAPI_E_UNKNOWN_CPID MAKE_MAPI_E(0x11E)
#define MAPI_E_BAD_VALUE MAKE_MAPI_E(0x301)
#define MAPI_E_INVALID_TYPE MAKE_MAPI_E(0x302)
#define MAPI_E_TYPE_NO_SUPPORT MAKE_MAPI_E(0x303)
#define MAPI_E_UNEXPECTED_TYPE MAKE_MAPI_E(0x304)
#define MAPI_E_TOO_BIG MAKE_MAPI_E(0x305)
#define MAPI_E_UNEXPECTED_ID MAKE_MAPI_E(0x307)
#define MAPI_E_TABLE_EMPTY MAKE_MAPI_E(0x402)
#define MAPI_E_TABLE_TOO_BIG MAKE_MAPI_E(0x403)
#define MAPI_E_INVALID_BOOKMARK MAKE_MAPI_E(0x405)
#define MAPI_E_NOT_INITIALIZED MAKE_MAPI_E(0x605)
#define MAPI_W_ERRORS_RETURNED MAKE_MAPI_S(0x380)
#define MAPI_W_POSITION_CHANGED MAKE_MAPI_S(0x481)
#define MAPI_W_APPROX_COUNT MAKE_MAPI_S(0x482)
#define MAPI_W_PARTIAL_COMPLETION MAKE_MAPI_S(0x680)

// ---- Flags -----------------------------------------------------------------------------------
#define MAPI_MODIFY ((ULONG)0x00000001)
#define MAPI_CREATE ((ULONG)0x00000002)
#define MAPI_DEFERRED_ERRORS ((ULONG)0x00000008)
#define MAPI_UNICODE ((ULONG)0x80000000)
#define STREAM_APPEND ((ULONG)0x00000004)
#define KEEP_OPEN_READONLY ((ULONG)0x00000001)
#define KEEP_OPEN_READWRITE ((ULONG)0x00000002)
#define FORCE_SAVE ((ULONG)0x00000004)
#define MAPI_INIT_VERSION 0
#define MAPI_MULTITHREAD_NOTIFICATIONS ((ULONG)0x00000001)
#define MAPI_NO_COINIT ((ULONG)0x00000008)
#define MAPI_NT_SERVICE ((ULONG)0x00010000)
#define IMSG_NO_ISTG_COMMIT ((ULONG)0x00000001)
#define TBL_ASYNC ((ULONG)0x00000001)
#define TBL_BATCH ((ULONG)0x00000002)
#define TBL_NOWAIT ((ULONG)0x00000001)
#define BOOKMARK_BEGINNING ((ULONG)0)
#define BOOKMARK_CURRENT ((ULONG)1)
#define BOOKMARK_END ((ULONG)2)
#define TBLSTAT_COMPLETE ((ULONG)0)
#define TBLTYPE_SNAPSHOT ((ULONG)0)
#define TBLTYPE_STATIC ((ULONG)2)
#define MAPI_DIALOG ((ULONG)0x00000008)
#define ATTACH_DIALOG MAPI_DIALOG

// ---- Values ----------------------------------------------------------------------------------
// Currency as MAPI stores it: a 64-bit integer scaled by 10,000 (the automation CY layout).
union MAPICURRENCY {
    struct {
        ULONG Lo;
        LONG Hi;
    };
    LONGLONG int64;
};
static_assert(sizeof(MAPICURRENCY) == 8);

struct SBinary {
    ULONG cb;
    LPBYTE lpb;
};
typedef SBinary* LPSBinary;

struct SShortArray { ULONG cValues; short int* lpi; };
struct SLongArray { ULONG cValues; LONG* lpl; };
struct SRealArray { ULONG cValues; float* lpflt; };
struct SDoubleArray { ULONG cValues; double* lpdbl; };
struct SCurrencyArray { ULONG cValues; MAPICURRENCY* lpcur; };
struct SAppTimeArray { ULONG cValues; double* lpat; };
struct SDateTimeArray { ULONG cValues; FILETIME* lpft; };
struct SBinaryArray { ULONG cValues; SBinary* lpbin; };
struct SLPSTRArray { ULONG cValues; LPSTR* lppszA; };
struct SWStringArray { ULONG cValues; LPWSTR* lppszW; };
struct SGuidArray { ULONG cValues; GUID* lpguid; };
struct SLargeIntegerArray { ULONG cValues; LARGE_INTEGER* lpli; };

union _PV {
    short int i;
    LONG l;
    ULONG ul;
    float flt;
    double dbl;
    unsigned short int b;
    MAPICURRENCY cur;
    double at;
    FILETIME ft;
    LPSTR lpszA;
    SBinary bin;
    LPWSTR lpszW;
    LPGUID lpguid;
    LARGE_INTEGER li;
    SShortArray MVi;
    SLongArray MVl;
    SRealArray MVflt;
    SDoubleArray MVdbl;
    SCurrencyArray MVcur;
    SAppTimeArray MVat;
    SDateTimeArray MVft;
    SBinaryArray MVbin;
    SLPSTRArray MVszA;
    SWStringArray MVszW;
    SGuidArray MVguid;
    SLargeIntegerArray MVli;
    SCODE err;
    LONG x;
};

struct SPropValue {
    ULONG ulPropTag;
    ULONG dwAlignPad;
    union _PV Value;
};
typedef SPropValue* LPSPropValue;
static_assert(sizeof(_PV) == 16 && sizeof(SPropValue) == 24);
static_assert(offsetof(SPropValue, Value) == 8);

struct SPropTagArray {
    ULONG cValues;
    ULONG aulPropTag[1];
};
typedef SPropTagArray* LPSPropTagArray;
#define CbNewSPropTagArray(_ctag) (offsetof(SPropTagArray, aulPropTag) + (_ctag) * sizeof(ULONG))
#define CbSPropTagArray(_lparray) (offsetof(SPropTagArray, aulPropTag) + (UINT)((_lparray)->cValues) * sizeof(ULONG))
#define SizedSPropTagArray(_ctag, _name) \
    struct _SPropTagArray_##_name {      \
        ULONG cValues;                   \
        ULONG aulPropTag[_ctag];         \
    } _name
#define PROP_COUNT(ptagarray) ((ptagarray)->cValues)

struct SPropProblem {
    ULONG ulIndex;
    ULONG ulPropTag;
    SCODE scode;
};
struct SPropProblemArray {
    ULONG cProblem;
    SPropProblem aProblem[1];
};
typedef SPropProblemArray* LPSPropProblemArray;

struct SRow {
    ULONG ulAdrEntryPad;
    ULONG cValues;
    LPSPropValue lpProps;
};
typedef SRow* LPSRow;
struct SRowSet {
    ULONG cRows;
    SRow aRow[1];
};
typedef SRowSet* LPSRowSet;
#define CbNewSRowSet(_crow) (offsetof(SRowSet, aRow) + (_crow) * sizeof(SRow))
static_assert(sizeof(SRow) == 16 && offsetof(SRowSet, aRow) == 8);

// An address list has the row layout (ADRENTRY is SRow with its pad as ulReserved1).
struct ADRENTRY {
    ULONG ulReserved1;
    ULONG cValues;
    LPSPropValue rgPropVals;
};
struct ADRLIST {
    ULONG cEntries;
    ADRENTRY aEntries[1];
};
typedef ADRLIST* LPADRLIST;

struct SSortOrder {
    ULONG ulPropTag;
    ULONG ulOrder;
};
struct SSortOrderSet {
    ULONG cSorts;
    ULONG cCategories;
    ULONG cExpanded;
    SSortOrder aSort[1];
};
typedef SSortOrderSet* LPSSortOrderSet;

struct SRestriction;
typedef SRestriction* LPSRestriction;
struct MAPINAMEID;
typedef MAPINAMEID* LPMAPINAMEID;
struct MAPIERROR;
typedef MAPIERROR* LPMAPIERROR;
struct IMAPIAdviseSink;
typedef IMAPIAdviseSink* LPMAPIADVISESINK;
struct MAPIUID;
typedef ULONG BOOKMARK;
typedef BYTE* LPNOTIFKEY;
typedef void* LPMAPIPROGRESS;

// ---- Allocators ------------------------------------------------------------------------------
typedef SCODE(STDMETHODCALLTYPE ALLOCATEBUFFER)(ULONG cbSize, LPVOID* lppBuffer);
typedef SCODE(STDMETHODCALLTYPE ALLOCATEMORE)(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
typedef ULONG(STDAPICALLTYPE FREEBUFFER)(LPVOID lpBuffer);
typedef ALLOCATEBUFFER* LPALLOCATEBUFFER;
typedef ALLOCATEMORE* LPALLOCATEMORE;
typedef FREEBUFFER* LPFREEBUFFER;
typedef LPALLOCATEBUFFER LPMAPIALLOCATEBUFFER;
typedef LPALLOCATEMORE LPMAPIALLOCATEMORE;
typedef LPFREEBUFFER LPMAPIFREEBUFFER;

struct MAPIINIT_0 {
    ULONG ulVersion;
    ULONG ulFlags;
};
typedef MAPIINIT_0 MAPIINIT;
typedef MAPIINIT_0* LPMAPIINIT_0;
typedef MAPIINIT* LPMAPIINIT;

// ---- Interfaces ------------------------------------------------------------------------------
DEFINE_GUID(IID_IMAPIProp, 0x00020303, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IMAPITable, 0x00020301, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IMessage, 0x00020307, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
DEFINE_GUID(IID_IAttachment, 0x00020308, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
// The class identifier of a message's root storage (an Outlook message file).
DEFINE_GUID(CLSID_MailMessage, 0x00020D0B, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

struct IMAPIProp : IUnknown {
    STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) PURE;
    STDMETHOD(SaveChanges)(ULONG ulFlags) PURE;
    STDMETHOD(GetProps)(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues, LPSPropValue* lppPropArray) PURE;
    STDMETHOD(GetPropList)(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) PURE;
    STDMETHOD(OpenProperty)(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags, LPUNKNOWN* lppUnk) PURE;
    STDMETHOD(SetProps)(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) PURE;
    STDMETHOD(DeleteProps)(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) PURE;
    STDMETHOD(CopyTo)(ULONG ciidExclude, LPCIID rgiidExclude, LPSPropTagArray lpExcludeProps, ULONG ulUIParam,
                      LPMAPIPROGRESS lpProgress, LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags,
                      LPSPropProblemArray* lppProblems) PURE;
    STDMETHOD(CopyProps)(LPSPropTagArray lpIncludeProps, ULONG ulUIParam, LPMAPIPROGRESS lpProgress,
                         LPCIID lpInterface, LPVOID lpDestObj, ULONG ulFlags, LPSPropProblemArray* lppProblems) PURE;
    STDMETHOD(GetNamesFromIDs)(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags,
                               ULONG* lpcPropNames, LPMAPINAMEID** lpppPropNames) PURE;
    STDMETHOD(GetIDsFromNames)(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                               LPSPropTagArray* lppPropTags) PURE;
};
typedef IMAPIProp* LPMAPIPROP;

struct IMAPITable : IUnknown {
    STDMETHOD(GetLastError)(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) PURE;
    STDMETHOD(Advise)(ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) PURE;
    STDMETHOD(Unadvise)(ULONG ulConnection) PURE;
    STDMETHOD(GetStatus)(ULONG* lpulTableStatus, ULONG* lpulTableType) PURE;
    STDMETHOD(SetColumns)(LPSPropTagArray lpPropTagArray, ULONG ulFlags) PURE;
    STDMETHOD(QueryColumns)(ULONG ulFlags, LPSPropTagArray* lpPropTagArray) PURE;
    STDMETHOD(GetRowCount)(ULONG ulFlags, ULONG* lpulCount) PURE;
    STDMETHOD(SeekRow)(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) PURE;
    STDMETHOD(SeekRowApprox)(ULONG ulNumerator, ULONG ulDenominator) PURE;
    STDMETHOD(QueryPosition)(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) PURE;
    STDMETHOD(FindRow)(LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags) PURE;
    STDMETHOD(Restrict)(LPSRestriction lpRestriction, ULONG ulFlags) PURE;
    STDMETHOD(CreateBookmark)(BOOKMARK* lpbkPosition) PURE;
    STDMETHOD(FreeBookmark)(BOOKMARK bkPosition) PURE;
    STDMETHOD(SortTable)(LPSSortOrderSet lpSortCriteria, ULONG ulFlags) PURE;
    STDMETHOD(QuerySortOrder)(LPSSortOrderSet* lppSortCriteria) PURE;
    STDMETHOD(QueryRows)(LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows) PURE;
    STDMETHOD(Abort)() PURE;
    STDMETHOD(ExpandRow)(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulRowCount, ULONG ulFlags,
                         LPSRowSet* lppRows, ULONG* lpulMoreRows) PURE;
    STDMETHOD(CollapseRow)(ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulFlags, ULONG* lpulRowCount) PURE;
    STDMETHOD(WaitForCompletion)(ULONG ulFlags, ULONG ulTimeout, ULONG* lpulTableStatus) PURE;
    STDMETHOD(GetCollapseState)(ULONG ulFlags, ULONG cbInstanceKey, LPBYTE lpbInstanceKey, ULONG* lpcbCollapseState,
                                LPBYTE* lppbCollapseState) PURE;
    STDMETHOD(SetCollapseState)(ULONG ulFlags, ULONG cbCollapseState, LPBYTE pbCollapseState,
                                BOOKMARK* lpbkLocation) PURE;
};
typedef IMAPITable* LPMAPITABLE;

struct IAttach : IMAPIProp {};
typedef IAttach* LPATTACH;

struct IMessage : IMAPIProp {
    STDMETHOD(GetAttachmentTable)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
    STDMETHOD(OpenAttach)(ULONG ulAttachmentNum, LPCIID lpInterface, ULONG ulFlags, LPATTACH* lppAttach) PURE;
    STDMETHOD(CreateAttach)(LPCIID lpInterface, ULONG ulFlags, ULONG* lpulAttachmentNum, LPATTACH* lppAttach) PURE;
    STDMETHOD(DeleteAttach)(ULONG ulAttachmentNum, ULONG ulUIParam, LPMAPIPROGRESS lpProgress, ULONG ulFlags) PURE;
    STDMETHOD(GetRecipientTable)(ULONG ulFlags, LPMAPITABLE* lppTable) PURE;
    STDMETHOD(ModifyRecipients)(ULONG ulFlags, LPADRLIST lpMods) PURE;
    STDMETHOD(SubmitMessage)(ULONG ulFlags) PURE;
    STDMETHOD(SetReadFlag)(ULONG ulFlags) PURE;
};
typedef IMessage* LPMESSAGE;

// The session argument of OpenIMsgOnIStg; the layer needs none (pass null).
struct _MSGSESS;
typedef _MSGSESS* LPMSGSESS;
// Called once when the message opened by OpenIMsgOnIStg is finally released.
typedef void(STDAPICALLTYPE MSGCALLRELEASE)(ULONG ulCallerData, LPMESSAGE lpMessage);

// ---- Property tags used by the store and its callers ----------------------------------------
#define PR_MESSAGE_CLASS_A PROP_TAG(PT_STRING8, 0x001A)
#define PR_MESSAGE_CLASS_W PROP_TAG(PT_UNICODE, 0x001A)
#define PR_SUBJECT_A PROP_TAG(PT_STRING8, 0x0037)
#define PR_SUBJECT_W PROP_TAG(PT_UNICODE, 0x0037)
#define PR_CLIENT_SUBMIT_TIME PROP_TAG(PT_SYSTIME, 0x0039)
#define PR_SENDER_NAME_W PROP_TAG(PT_UNICODE, 0x0C1A)
#define PR_SENDER_EMAIL_ADDRESS_W PROP_TAG(PT_UNICODE, 0x0C1F)
#define PR_MESSAGE_FLAGS PROP_TAG(PT_LONG, 0x0E07)
#define PR_MESSAGE_SIZE PROP_TAG(PT_LONG, 0x0E08)
#define PR_DISPLAY_TO_W PROP_TAG(PT_UNICODE, 0x0E04)
#define PR_HASATTACH PROP_TAG(PT_BOOLEAN, 0x0E1B)
#define PR_ATTACH_SIZE PROP_TAG(PT_LONG, 0x0E20)
#define PR_ATTACH_NUM PROP_TAG(PT_LONG, 0x0E21)
#define PR_RECIPIENT_TYPE PROP_TAG(PT_LONG, 0x0C15)
#define PR_INSTANCE_KEY PROP_TAG(PT_BINARY, 0x0FF6)
#define PR_RECORD_KEY PROP_TAG(PT_BINARY, 0x0FF9)
#define PR_ROWID PROP_TAG(PT_LONG, 0x3000)
#define PR_DISPLAY_NAME_A PROP_TAG(PT_STRING8, 0x3001)
#define PR_DISPLAY_NAME_W PROP_TAG(PT_UNICODE, 0x3001)
#define PR_EMAIL_ADDRESS_W PROP_TAG(PT_UNICODE, 0x3003)
#define PR_CREATION_TIME PROP_TAG(PT_SYSTIME, 0x3007)
#define PR_LAST_MODIFICATION_TIME PROP_TAG(PT_SYSTIME, 0x3008)
#define PR_BODY_A PROP_TAG(PT_STRING8, 0x1000)
#define PR_BODY_W PROP_TAG(PT_UNICODE, 0x1000)
#define PR_RTF_COMPRESSED PROP_TAG(PT_BINARY, 0x1009)
#define PR_HTML PROP_TAG(PT_BINARY, 0x1013)
#define PR_ATTACH_DATA_BIN PROP_TAG(PT_BINARY, 0x3701)
#define PR_ATTACH_DATA_OBJ PROP_TAG(PT_OBJECT, 0x3701)
#define PR_ATTACH_EXTENSION_W PROP_TAG(PT_UNICODE, 0x3703)
#define PR_ATTACH_FILENAME_A PROP_TAG(PT_STRING8, 0x3704)
#define PR_ATTACH_FILENAME_W PROP_TAG(PT_UNICODE, 0x3704)
#define PR_ATTACH_METHOD PROP_TAG(PT_LONG, 0x3705)
#define PR_ATTACH_LONG_FILENAME_A PROP_TAG(PT_STRING8, 0x3707)
#define PR_ATTACH_LONG_FILENAME_W PROP_TAG(PT_UNICODE, 0x3707)
#define PR_RENDERING_POSITION PROP_TAG(PT_LONG, 0x370B)
#define PR_ATTACH_MIME_TAG_W PROP_TAG(PT_UNICODE, 0x370E)
#define PR_MESSAGE_CODEPAGE PROP_TAG(PT_LONG, 0x3FFD)
#define PR_INTERNET_CPID PROP_TAG(PT_LONG, 0x3FDE)
#define PR_STORE_SUPPORT_MASK PROP_TAG(PT_LONG, 0x340D)

#define NO_ATTACHMENT ((ULONG)0x00000000)
#define ATTACH_BY_VALUE ((ULONG)0x00000001)
#define ATTACH_BY_REFERENCE ((ULONG)0x00000002)
#define ATTACH_BY_REF_RESOLVE ((ULONG)0x00000003)
#define ATTACH_BY_REF_ONLY ((ULONG)0x00000004)
#define ATTACH_EMBEDDED_MSG ((ULONG)0x00000005)
#define ATTACH_OLE ((ULONG)0x00000006)

// ---- Functions -------------------------------------------------------------------------------
STDAPI MAPIInitialize(LPVOID lpMapiInit);
STDAPI_(void) MAPIUninitialize();

STDAPI_(SCODE) MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer);
STDAPI_(SCODE) MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
STDAPI_(ULONG) MAPIFreeBuffer(LPVOID lpBuffer);
STDAPI_(LPMALLOC) MAPIGetDefaultMalloc();

STDAPI_(SCODE) OpenIMsgOnIStg(LPMSGSESS lpMsgSess, LPALLOCATEBUFFER lpAllocateBuffer, LPALLOCATEMORE lpAllocateMore,
                              LPFREEBUFFER lpFreeBuffer, LPMALLOC lpMalloc, LPVOID lpMapiSup, LPSTORAGE lpStg,
                              MSGCALLRELEASE* lpfMsgCallRelease, ULONG ulCallerData, ULONG ulFlags,
                              LPMESSAGE* lppMsg);

STDAPI HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                      LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows);
STDAPI_(void) FreeProws(LPSRowSet lpRows);
STDAPI_(void) FreePadrlist(LPADRLIST lpAdrlist);
STDAPI HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp);
STDAPI HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp);
STDAPI_(LPSPropValue) PpropFindProp(LPSPropValue lpPropArray, ULONG cValues, ULONG ulPropTag);

// ---- Limits of this store ------------------------------------------------------------------
// Largest string or binary value (in stored bytes) that GetProps and tables return inline;
// larger values come back as PT_ERROR / MAPI_E_NOT_ENOUGH_MEMORY and are read with OpenProperty.
#define MAPI_MAX_INLINE_VALUE_BYTES ((ULONG)16384)
