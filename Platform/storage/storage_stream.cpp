// IStream on a stream of an open compound file, by its directory index.
#include <new>

#include "base/comobject.h"
#include "base/fault.h"
#include "storage/storage_objects.h"

namespace platform::storage {
namespace {

class StreamObject final : public ElementObject<Serves<IStream, IID_IStream, IID_ISequentialStream>> {
public:
    StreamObject(Document* document, uint32_t id, DWORD mode, bool counted, uint64_t position)
        : ElementObject(document, id, mode, counted), position_(position) {}


    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        HRESULT hr = S_OK;
        if (EndsAtTransferStart("IStream::Read", pv, cb, pcbRead, &hr)) return hr;
        return WhileLive([&]() -> HRESULT {
            if (!CanRead(mode_)) return STG_E_ACCESSDENIED;
            size_t read = 0;
            HRESULT result = document_->ReadStream(id_, position_, pv, cb, &read);
            if (FAILED(result)) return result;
            position_ += read;
            if (pcbRead) *pcbRead = ULONG(read);
            return S_OK;
        });
    }

    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        HRESULT hr = S_OK;
        if (EndsAtTransferStart("IStream::Write", pv, cb, pcbWritten, &hr)) return hr;
        return WhileLive([&]() -> HRESULT {
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            if (cb == 0) return S_OK;
            HRESULT result = document_->WriteStream(id_, position_, pv, cb);
            if (FAILED(result)) return result;
            position_ += cb;
            if (pcbWritten) *pcbWritten = cb;
            return S_OK;
        });
    }

    STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Seek", hr)) return hr;
        std::lock_guard lock(document_->mutex);
        if (Self().destroyed) return STG_E_REVERTED;
        int64_t base;
        switch (dwOrigin) {
            case STREAM_SEEK_SET:
                base = 0;
                break;
            case STREAM_SEEK_CUR:
                base = int64_t(position_);
                break;
            case STREAM_SEEK_END:
                base = int64_t(document_->Content(id_).size);
                break;
            default:
                return STG_E_INVALIDFUNCTION;
        }
        int64_t target;
        if (__builtin_add_overflow(base, dlibMove.QuadPart, &target) || target < 0) return STG_E_INVALIDFUNCTION;
        position_ = uint64_t(target);
        if (plibNewPosition) plibNewPosition->QuadPart = position_;
        return S_OK;
    }

    STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::SetSize", hr)) return hr;
        return WhileLive([&]() -> HRESULT {
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            return document_->ResizeStream(id_, libNewSize.QuadPart);
        });
    }

    STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                        ULARGE_INTEGER* pcbWritten) override {
        if (pcbRead) pcbRead->QuadPart = 0;
        if (pcbWritten) pcbWritten->QuadPart = 0;
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::CopyTo", hr)) return hr;
        if (!pstm) return STG_E_INVALIDPOINTER;
        return Guarded([&]() -> HRESULT {
            std::vector<BYTE> buffer(64 * 1024);
            uint64_t left = cb.QuadPart, read = 0, written = 0;
            HRESULT result = S_OK;
            while (left > 0) {
                ULONG got = 0;
                result = Read(buffer.data(), ULONG(std::min<uint64_t>(left, buffer.size())), &got);
                if (FAILED(result) || got == 0) break;
                read += got;
                ULONG put = 0;
                result = pstm->Write(buffer.data(), got, &put);
                written += put;
                if (FAILED(result)) break;
                left -= got;
            }
            if (pcbRead) pcbRead->QuadPart = read;
            if (pcbWritten) pcbWritten->QuadPart = written;
            return FAILED(result) ? result : S_OK;
        });
    }

    STDMETHODIMP Commit(DWORD) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Commit", hr)) return hr;
        std::lock_guard lock(document_->mutex);
        // Direct mode: written bytes already belong to the file's next image.
        return Self().destroyed ? STG_E_REVERTED : S_OK;
    }
    STDMETHODIMP Revert() override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Revert", hr)) return hr;
        return S_OK;
    }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::LockRegion", hr)) return hr;
        return STG_E_INVALIDFUNCTION;  // compound-file streams have no region locks
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::UnlockRegion", hr)) return hr;
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Stat", hr)) return hr;
        return StatElement(pstatstg, grfStatFlag);
    }
    STDMETHODIMP Clone(IStream** ppstm) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Clone", hr)) return hr;
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        return WhileLive([&]() -> HRESULT {
            *ppstm = new StreamObject(document_, id_, mode_, false, position_);
            return S_OK;
        });
    }

private:
    uint64_t position_;
};

}  // namespace

IStream* NewStreamObject(Document* document, uint32_t id, DWORD mode, bool counted, uint64_t position) {
    return new StreamObject(document, id, mode, counted, position);
}

}  // namespace platform::storage
