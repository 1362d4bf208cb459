// The in-memory IMAPITable of attachments and recipients, and the memory IStream that
// OpenProperty hands out for values not read straight from the storage.
#include <atomic>
#include <cstring>
#include <new>

#include "base/comobject.h"
#include "base/fault.h"
#include "mapi/mapi_internal.h"

namespace platform::mapi {

namespace {

// ---- Table ---------------------------------------------------------------------------------

class Table final : public ComObject<Serves<IMAPITable, IID_IMAPITable>> {
public:
    Table(std::vector<ULONG> columns, std::vector<TableRow>&& rows)
        : ComObject(1), columns_(std::move(columns)), rows_(std::move(rows)) {}
    ~Table() {
        for (auto& row : rows_) MAPIFreeBuffer(row.props);
    }


    STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR* lppMAPIError) override {
        if (lppMAPIError) *lppMAPIError = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    STDMETHODIMP Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP GetStatus(ULONG* lpulTableStatus, ULONG* lpulTableType) override {
        if (!lpulTableStatus || !lpulTableType) return MAPI_E_INVALID_PARAMETER;
        *lpulTableStatus = TBLSTAT_COMPLETE;
        *lpulTableType = TBLTYPE_SNAPSHOT;
        return S_OK;
    }
    STDMETHODIMP SetColumns(LPSPropTagArray lpPropTagArray, ULONG) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMAPITable::SetColumns", hr)) return hr;
        if (!lpPropTagArray) return MAPI_E_INVALID_PARAMETER;
        columns_.assign(lpPropTagArray->aulPropTag, lpPropTagArray->aulPropTag + lpPropTagArray->cValues);
        return S_OK;
    }
    STDMETHODIMP QueryColumns(ULONG, LPSPropTagArray* lpPropTagArray) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMAPITable::QueryColumns", hr)) return hr;
        if (!lpPropTagArray) return MAPI_E_INVALID_PARAMETER;
        *lpPropTagArray = nullptr;
        void* p = nullptr;
        hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(columns_.size())), &p);
        if (FAILED(hr)) return hr;
        auto* tags = static_cast<LPSPropTagArray>(p);
        tags->cValues = static_cast<ULONG>(columns_.size());
        for (size_t i = 0; i < columns_.size(); ++i) tags->aulPropTag[i] = columns_[i];
        *lpPropTagArray = tags;
        return S_OK;
    }
    STDMETHODIMP GetRowCount(ULONG, ULONG* lpulCount) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMAPITable::GetRowCount", hr)) return hr;
        if (!lpulCount) return MAPI_E_INVALID_PARAMETER;
        *lpulCount = static_cast<ULONG>(rows_.size());
        return S_OK;
    }
    STDMETHODIMP SeekRow(BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMAPITable::SeekRow", hr)) return hr;
        long long origin;
        switch (bkOrigin) {
            case BOOKMARK_BEGINNING: origin = 0; break;
            case BOOKMARK_CURRENT: origin = static_cast<long long>(cursor_); break;
            case BOOKMARK_END: origin = static_cast<long long>(rows_.size()); break;
            default: return MAPI_E_INVALID_BOOKMARK;
        }
        long long target = origin + lRowCount;
        if (target < 0) target = 0;
        if (target > static_cast<long long>(rows_.size())) target = static_cast<long long>(rows_.size());
        if (lplRowsSought) *lplRowsSought = static_cast<LONG>(target - origin);
        cursor_ = static_cast<size_t>(target);
        return S_OK;
    }
    STDMETHODIMP SeekRowApprox(ULONG ulNumerator, ULONG ulDenominator) override {
        if (ulDenominator == 0) return MAPI_E_INVALID_PARAMETER;
        cursor_ = static_cast<size_t>(static_cast<unsigned long long>(rows_.size()) * ulNumerator / ulDenominator);
        if (cursor_ > rows_.size()) cursor_ = rows_.size();
        return S_OK;
    }
    STDMETHODIMP QueryPosition(ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator) override {
        if (!lpulRow || !lpulNumerator || !lpulDenominator) return MAPI_E_INVALID_PARAMETER;
        *lpulRow = static_cast<ULONG>(cursor_);
        *lpulNumerator = static_cast<ULONG>(cursor_);
        *lpulDenominator = static_cast<ULONG>(rows_.empty() ? 1 : rows_.size());
        return S_OK;
    }
    STDMETHODIMP FindRow(LPSRestriction, BOOKMARK, ULONG) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP Restrict(LPSRestriction, ULONG) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP CreateBookmark(BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP FreeBookmark(BOOKMARK) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SortTable(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP QuerySortOrder(LPSSortOrderSet*) override { return MAPI_E_NO_SUPPORT; }

    STDMETHODIMP QueryRows(LONG lRowCount, ULONG, LPSRowSet* lppRows) override {
        if (!lppRows) return MAPI_E_INVALID_PARAMETER;
        *lppRows = nullptr;
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IMAPITable::QueryRows", hr)) return hr;
        if (lRowCount < 0) return MAPI_E_NO_SUPPORT;
        size_t count = rows_.size() - cursor_;
        if (static_cast<size_t>(lRowCount) < count) count = static_cast<size_t>(lRowCount);
        void* p = nullptr;
        hr = MAPIAllocateBuffer(static_cast<ULONG>(CbNewSRowSet(count)), &p);
        if (FAILED(hr)) return hr;
        auto* set = static_cast<LPSRowSet>(p);
        set->cRows = 0;
        const Allocators alloc = DefaultAllocators();
        for (size_t i = 0; i < count; ++i) {
            const TableRow& row = rows_[cursor_ + i];
            SRow& out = set->aRow[i];
            out.ulAdrEntryPad = 0;
            out.cValues = static_cast<ULONG>(columns_.size());
            out.lpProps = nullptr;
            void* values = nullptr;
            hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (columns_.empty() ? 1 : columns_.size())),
                                    &values);
            if (FAILED(hr)) {
                FreeProws(set);
                return hr;
            }
            out.lpProps = static_cast<LPSPropValue>(values);
            set->cRows = static_cast<ULONG>(i + 1);
            for (size_t c = 0; c < columns_.size(); ++c) {
                SPropValue& dst = out.lpProps[c];
                const ULONG column = columns_[c];
                LPSPropValue found = PpropFindProp(row.props, row.count, column);
                if (!found && PROP_TYPE(column) != PT_UNSPECIFIED)
                    found = PpropFindProp(row.props, row.count, PROP_TAG(PT_ERROR, PROP_ID(column)));
                if (!found) {
                    dst.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(column));
                    dst.dwAlignPad = 0;
                    std::memset(&dst.Value, 0, sizeof(dst.Value));
                    dst.Value.err = MAPI_E_NOT_FOUND;
                    continue;
                }
                hr = CopyProp(*found, alloc, values, dst);
                if (FAILED(hr)) {
                    FreeProws(set);
                    return hr;
                }
            }
        }
        cursor_ += count;
        *lppRows = set;
        return S_OK;
    }
    STDMETHODIMP Abort() override { return S_OK; }
    STDMETHODIMP ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP WaitForCompletion(ULONG, ULONG, ULONG* lpulTableStatus) override {
        if (lpulTableStatus) *lpulTableStatus = TBLSTAT_COMPLETE;
        return S_OK;
    }
    STDMETHODIMP GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override { return MAPI_E_NO_SUPPORT; }
    STDMETHODIMP SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }

private:
    std::vector<ULONG> columns_;
    std::vector<TableRow> rows_;
    size_t cursor_ = 0;
};

// ---- Memory stream -------------------------------------------------------------------------

class MemoryStream final : public ComObject<Serves<IStream, IID_IStream, IID_ISequentialStream>> {
public:
    MemoryStream(std::vector<BYTE> contents, bool writable, std::function<HRESULT(const std::vector<BYTE>&)> commit)
        : ComObject(1), data_(std::move(contents)), writable_(writable), commit_(std::move(commit)) {}
    ~MemoryStream() {
        if (dirty_ && commit_) commit_(data_);
    }


    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Read", hr)) return hr;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        size_t available = position_ < data_.size() ? data_.size() - position_ : 0;
        size_t n = cb < available ? cb : available;
        if (n) std::memcpy(pv, data_.data() + position_, n);
        position_ += n;
        if (pcbRead) *pcbRead = static_cast<ULONG>(n);
        return S_OK;
    }
    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pcbWritten) *pcbWritten = 0;
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Write", hr)) return hr;
        if (!writable_) return STG_E_ACCESSDENIED;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        if (position_ + cb > data_.size()) data_.resize(position_ + cb);
        if (cb) std::memcpy(data_.data() + position_, pv, cb);
        position_ += cb;
        dirty_ = true;
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }
    STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Seek", hr)) return hr;
        long long base;
        switch (dwOrigin) {
            case STREAM_SEEK_SET: base = 0; break;
            case STREAM_SEEK_CUR: base = static_cast<long long>(position_); break;
            case STREAM_SEEK_END: base = static_cast<long long>(data_.size()); break;
            default: return STG_E_INVALIDFUNCTION;
        }
        long long target = base + dlibMove.QuadPart;
        if (target < 0) return STG_E_INVALIDFUNCTION;
        position_ = static_cast<size_t>(target);
        if (plibNewPosition) plibNewPosition->QuadPart = position_;
        return S_OK;
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override {
        if (!writable_) return STG_E_ACCESSDENIED;
        if (libNewSize.QuadPart > (1ULL << 31)) return STG_E_INSUFFICIENTMEMORY;
        data_.resize(static_cast<size_t>(libNewSize.QuadPart));
        dirty_ = true;
        return S_OK;
    }
    STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
        if (!pstm) return STG_E_INVALIDPOINTER;
        size_t available = position_ < data_.size() ? data_.size() - position_ : 0;
        size_t n = cb.QuadPart < available ? static_cast<size_t>(cb.QuadPart) : available;
        ULONG written = 0;
        HRESULT hr = n ? pstm->Write(data_.data() + position_, static_cast<ULONG>(n), &written) : S_OK;
        position_ += n;
        if (pcbRead) pcbRead->QuadPart = n;
        if (pcbWritten) pcbWritten->QuadPart = written;
        return hr;
    }
    STDMETHODIMP Commit(DWORD) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Commit", hr)) return hr;
        if (!writable_ || !commit_) return S_OK;
        hr = commit_(data_);
        if (SUCCEEDED(hr)) dirty_ = false;
        return hr;
    }
    STDMETHODIMP Revert() override { return S_OK; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Stat", hr)) return hr;
        if (!pstatstg) return STG_E_INVALIDPOINTER;
        std::memset(pstatstg, 0, sizeof(*pstatstg));
        pstatstg->type = STGTY_STREAM;
        pstatstg->cbSize.QuadPart = data_.size();
        pstatstg->grfMode = writable_ ? STGM_READWRITE : STGM_READ;
        return S_OK;
    }
    STDMETHODIMP Clone(IStream** ppstm) override {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        auto* copy = new (std::nothrow) MemoryStream(data_, false, nullptr);
        if (!copy) return STG_E_INSUFFICIENTMEMORY;
        copy->position_ = position_;
        *ppstm = copy;
        return S_OK;
    }

private:
    std::vector<BYTE> data_;
    size_t position_ = 0;
    bool writable_;
    bool dirty_ = false;
    std::function<HRESULT(const std::vector<BYTE>&)> commit_;
};

}  // namespace

IMAPITable* NewTable(std::vector<ULONG> columns, std::vector<TableRow>& rows) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("NewTable", hr)) return nullptr;
    // Taken only by a table that was made: otherwise the rows stay with the caller, to free.
    return new (std::nothrow) Table(std::move(columns), std::move(rows));
}

IStream* NewMemoryStream(std::vector<BYTE> contents, bool writable,
                         std::function<HRESULT(const std::vector<BYTE>&)> commit) {
    return new (std::nothrow) MemoryStream(std::move(contents), writable, std::move(commit));
}

}  // namespace platform::mapi
