// The message-on-storage service: IMessage and IAttach over a compound file laid out as an
// Outlook message (the layout: property_set.h).
//
// Values are read from the storage when asked for, never all at once, so large bodies and
// attachment data cost nothing until someone opens them. Saving writes only what changed.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "base/comobject.h"
#include "base/comptr.h"
#include "base/fault.h"
#include "mapi/mapi_internal.h"
#include "mapi/property_set.h"

namespace platform::mapi {
namespace {

using platform::ComPtr;

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

class Message;

void FreeRows(std::vector<TableRow>& rows) {
    for (auto& row : rows) MAPIFreeBuffer(row.props);
    rows.clear();
}

// The rows as a new table for the caller; without memory for one, the rows are freed.
HRESULT HandOutTable(std::vector<ULONG> columns, std::vector<TableRow>& rows, LPMAPITABLE* table) {
    *table = NewTable(std::move(columns), rows);
    if (*table) return S_OK;
    FreeRows(rows);
    return MAPI_E_NOT_ENOUGH_MEMORY;
}

// What IMessage and IAttach share: the IMAPIProp methods over one property set.
// An object starts with the one reference its creator hands out.
template <class Interface, const IID& Iid>
class PropObject : public ComObject<Serves<Interface, Iid, IID_IMAPIProp>> {
public:

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
                tag = CHANGE_PROP_TYPE(tag, (PROP_TYPE(tag) == PT_STRING8 ? PT_UNICODE : PT_MV_UNICODE));
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
        PropertiesChanged();
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
        PropertiesChanged();
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
    PropObject(const FaultNames* names, const Allocators& alloc)
        : ComObject<Serves<Interface, Iid, IID_IMAPIProp>>(1), names_(names), alloc_(alloc) {}
    virtual UINT CodePage() const = 0;
    // Called after the object's values change.
    virtual void PropertiesChanged() {}
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
                SCODE sc = props_.OpenValueStream(tag, LoadLE32(entry->stored), TerminatorSize(PROP_TYPE(tag)), stream);
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
                HRESULT result = props_.SetRaw(tag, std::move(raw));
                PropertiesChanged();
                return result;
            };
        }
        IStream* stream = NewMemoryStream(std::move(contents), write, std::move(commit));
        if (!stream) return MAPI_E_NOT_ENOUGH_MEMORY;
        *lppUnk = stream;
        return S_OK;
    }

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

class Attach final : public PropObject<IAttach, IID_IAttachment> {
public:
    Attach(Message* parent, ULONG number, PropertySet working, bool writable);

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

class Message final : public PropObject<IMessage, IID_IMessage> {
public:
    Message(const Allocators& alloc, LPMALLOC malloc, IStorage* storage, bool embedded, ULONG flags,
            MSGCALLRELEASE* release, ULONG callerData)
        : PropObject(&kMessageFaults, alloc), malloc_(malloc), embedded_(embedded), flags_(flags),
          release_(release), callerData_(callerData) {
        if (malloc) malloc->AddRef();
        props_.SetStorage(storage);
        props_.headerSize = embedded ? kEmbeddedHeaderSize : kMessageHeaderSize;
    }
    ~Message() override {
        // The caller's release callback sees the message whole, before anything of it goes.
        if (release_) release_(callerData_, this);
        attachments_.clear();
        props_.SetStorage(nullptr);
        if (malloc_) malloc_->Release();
    }

    HRESULT Open(IUnknown* keepAlive) {
        keepAlive_ = ComPtr<IUnknown>(keepAlive);
        STATSTG stat{};
        HRESULT hr = props_.Storage()->Stat(&stat, STATFLAG_NONAME);
        props_.writable = SUCCEEDED(hr) ? (stat.grfMode & (STGM_WRITE | STGM_READWRITE)) != 0 : true;
        writable_ = props_.writable;
        if (FAILED(hr = props_.Load())) return hr;
        hr = props_.ForEachStorage([&](const WCHAR* name) {
            ULONG number = 0;
            if (ParseNumbered(name, kAttachPrefix, number)) attachments_[number] = AttachSlot{};
            else if (ParseNumbered(name, kRecipPrefix, number)) recipients_.push_back(number);
        });
        if (FAILED(hr)) return hr;
        std::sort(recipients_.begin(), recipients_.end());
        return S_OK;
    }


    STDMETHODIMP SaveChanges(ULONG ulFlags) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMessage::SaveChanges", hr)) return hr;
        if (ulFlags & ~(KEEP_OPEN_READONLY | KEEP_OPEN_READWRITE | FORCE_SAVE | MAPI_DEFERRED_ERRORS))
            return MAPI_E_UNKNOWN_FLAGS;
        if (!writable_) return MAPI_E_NO_ACCESS;
        IStorage* storage = props_.Storage();
        bool structureChanged = !props_.hadPropertyStream;
        for (ULONG number : deletedAttachments_) {
            hr = storage->DestroyElement(AttachStorageName(number).c_str());
            if (FAILED(hr) && hr != STG_E_FILENOTFOUND) return hr;
            structureChanged = true;
            attachmentsChanged_ = true;
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
                set.SetStorage(created.Get());
                set.writable = true;
                slot.isNew = false;
                set.dirty = true;
                structureChanged = true;
                attachmentsChanged_ = true;
            }
            if (!set.dirty) continue;
            if (FAILED(hr = set.Save(set.header))) return hr;
            if (FAILED(hr = set.Storage()->Commit(STGC_DEFAULT))) return hr;
        }
        if (!props_.hadPropertyStream && !embedded_) {
            if (FAILED(hr = CreateNamedPropertyStorage())) return hr;
            storage->SetClass(CLSID_MailMessage);  // cosmetic: readers do not depend on it
        }
        if (props_.dirty || structureChanged) {
            if (FAILED(hr = props_.Save(HeaderToSave()))) return hr;
            attachmentsChanged_ = false;
        }
        if (!(flags_ & IMSG_NO_ISTG_COMMIT) && FAILED(hr = storage->Commit(STGC_DEFAULT))) return hr;
        if (!(ulFlags & KEEP_OPEN_READWRITE)) writable_ = false;
        return S_OK;
    }

    // What GetAttachmentTable and GetRecipientTable check first: their fault, their out pointer
    // (emptied) and their flags; true when the call ends there, with *result.
    static bool EndsAtTableStart(const char* operation, ULONG ulFlags, LPMAPITABLE* lppTable, HRESULT* result) {
        if (PLATFORM_FAULT(operation, *result)) return true;
        if (!lppTable) {
            *result = MAPI_E_INVALID_PARAMETER;
            return true;
        }
        *lppTable = nullptr;
        *result = (ulFlags & ~(MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) ? MAPI_E_UNKNOWN_FLAGS : S_OK;
        return *result != S_OK;
    }

    STDMETHODIMP GetAttachmentTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
        HRESULT hr = S_OK;
        if (EndsAtTableStart("IMessage::GetAttachmentTable", ulFlags, lppTable, &hr)) return hr;
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
        auto freeRows = [&] { FreeRows(rows); };
        for (auto& [number, slot] : attachments_) {
            LoadAttachment(number, slot);
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
            StoreLE32(key, number);
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
                // The stored columns straight into the row; those the attachment lacks are left out.
                for (ULONG tag : kNamed) {
                    const Entry* entry = slot.props->Find(tag);
                    if (!entry) continue;
                    bool allocationFailed = false;
                    const ULONG wanted = PROP_TYPE(tag) == PT_UNSPECIFIED ? entry->tag : tag;
                    const SCODE sc = ValueInto(*slot.props, *entry, wanted, CodePage(), true, DefaultAllocators(), p,
                                               values[count], &allocationFailed);
                    if (allocationFailed) {
                        hr = sc;
                        break;
                    }
                    if (sc != MAPI_E_NOT_FOUND) ++count;
                }
            }
            rows.push_back(TableRow{values, count});
            if (FAILED(hr)) {
                freeRows();
                return hr;
            }
        }
        return HandOutTable(std::move(columns), rows, lppTable);
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
        if (!found->second.isNew) deletedAttachments_.insert(ulAttachmentNum);  // counted at the save
        retiredNumbers_.insert(ulAttachmentNum);
        attachments_.erase(found);
        reservedNumbers_.erase(ulAttachmentNum);  // an open IAttach of it can no longer save
        return S_OK;
    }

    STDMETHODIMP GetRecipientTable(ULONG ulFlags, LPMAPITABLE* lppTable) override {
        HRESULT hr = S_OK;
        if (EndsAtTableStart("IMessage::GetRecipientTable", ulFlags, lppTable, &hr)) return hr;
        std::vector<ULONG> columns = {PR_ROWID};
        std::set<ULONG> seenIds = {PROP_ID(PR_ROWID)};
        std::vector<TableRow> rows;
        auto freeRows = [&] { FreeRows(rows); };
        for (ULONG number : recipients_) {
            PropertySet recipient;
            recipient.headerSize = kSubObjectHeaderSize;
            HRESULT loaded = recipient.OpenStorage(props_.Storage(), RecipientStorageName(number).c_str(), false);
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
        return HandOutTable(std::move(columns), rows, lppTable);
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

    // Worked out once and kept until the message's values change.
    UINT CodePage() const override {
        if (!codePageKnown_) {
            codePage_ = CodePageOf(props_);
            codePageKnown_ = true;
        }
        return codePage_;
    }
    void ForgetReleaseCallback() { release_ = nullptr; }

private:
    friend class Attach;

    void PropertiesChanged() override { codePageKnown_ = false; }

    void LoadAttachment(ULONG number, AttachSlot& slot) {
        if (slot.props || FAILED(slot.loadResult)) return;
        auto set = std::make_shared<PropertySet>();
        set->headerSize = kSubObjectHeaderSize;
        HRESULT hr = set->OpenStorage(props_.Storage(), AttachStorageName(number).c_str(), props_.writable);
        if (SUCCEEDED(hr)) {
            STATSTG stat{};
            set->writable = SUCCEEDED(set->Storage()->Stat(&stat, STATFLAG_NONAME))
                                ? (stat.grfMode & (STGM_WRITE | STGM_READWRITE)) != 0
                                : props_.writable;
            hr = set->Load();
        }
        slot.loadResult = hr;
        if (SUCCEEDED(hr)) slot.props = std::move(set);
    }

    ULONG NextAttachmentNumber() {
        ULONG next = props_.header.size() >= 16 ? LoadLE32(props_.header.data() + 12) : 0;
        for (const auto& [number, slot] : attachments_) next = std::max(next, number + 1);
        for (ULONG number : deletedAttachments_) next = std::max(next, number + 1);
        for (ULONG number : reservedNumbers_) next = std::max(next, number + 1);
        // Nor is a deleted one's number given out again: an object still open on the deleted
        // attachment would save into the new one.
        for (ULONG number : retiredNumbers_) next = std::max(next, number + 1);
        return next;
    }

    // The property stream's header as it is to be saved: as stored, but for the counts of what
    // changed (everything, for a message saved for the first time). The header may disagree
    // with the storages; what this store did not change it keeps as it found it.
    std::vector<BYTE> HeaderToSave() {
        std::vector<BYTE> header = props_.header;
        header.resize(props_.headerSize, 0);
        const bool fresh = !props_.hadPropertyStream;
        if (fresh) {
            ULONG nextRecipient = LoadLE32(header.data() + 8);
            for (ULONG number : recipients_) nextRecipient = std::max(nextRecipient, number + 1);
            StoreLE32(header.data() + 8, nextRecipient);
            StoreLE32(header.data() + 16, static_cast<ULONG>(recipients_.size()));
        }
        if (fresh || attachmentsChanged_) {
            ULONG nextAttachment = LoadLE32(header.data() + 12);
            for (const auto& [number, slot] : attachments_) nextAttachment = std::max(nextAttachment, number + 1);
            StoreLE32(header.data() + 12, nextAttachment);
            StoreLE32(header.data() + 20, static_cast<ULONG>(attachments_.size()));
        }
        return header;
    }

    HRESULT CreateNamedPropertyStorage() {
        ComPtr<IStorage> nameId;
        HRESULT hr = props_.Storage()->OpenStorage(kNameIdStorage, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                                 nameId.Put());
        if (SUCCEEDED(hr)) return S_OK;  // present: left as it is
        hr = props_.Storage()->CreateStorage(kNameIdStorage, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                           nameId.Put());
        if (FAILED(hr)) return hr;
        // The GUID, entry and string streams of the named-property map, empty.
        for (const WCHAR* name : {OLESTR("__substg1.0_00020102"), OLESTR("__substg1.0_00030102"), OLESTR("__substg1.0_00040102")})
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
    bool attachmentsChanged_ = false;  // attachments added or removed since the header was saved
    std::set<ULONG> reservedNumbers_;
    std::set<ULONG> retiredNumbers_;  // attachments deleted while this object lived
    std::vector<ULONG> recipients_;
    mutable UINT codePage_ = 0;
    mutable bool codePageKnown_ = false;
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
    if (!entry || entry->tag != tag || !props_.Storage()) return MAPI_E_NOT_FOUND;
    ComPtr<IStorage> child;
    HRESULT hr = OpenChildStorage(props_.Storage(), ValueStreamName(tag).c_str(), props_.writable && (flags & MAPI_MODIFY),
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
