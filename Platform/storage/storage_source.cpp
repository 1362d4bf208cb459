// Where a compound file's bytes come from: a file descriptor (small files read whole when opened,
// and then served from memory, structures and streams alike) or a block of memory.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/fault.h"
#include "storage/storage_internal.h"

namespace platform::storage {

namespace {

// Files up to this size are read whole when they are opened, for their structures.
constexpr uint64_t kWholeFileBytes = 64 * 1024;

class FileSource final : public Source {
public:
    FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {
        if (size_ == 0 || size_ > kWholeFileBytes) return;
        auto whole = std::make_unique_for_overwrite<BYTE[]>(size_t(size_));
        if (SUCCEEDED(ReadFromFile(0, whole.get(), size_t(size_)))) whole_ = std::move(whole);
    }
    ~FileSource() override { ::close(fd_); }
    uint64_t Size() const override { return size_; }
    int Descriptor() const override { return fd_; }
    const BYTE* Bytes() const override { return whole_.get(); }
    HRESULT ReadAt(uint64_t offset, void* buffer, size_t size) const override {
        if (offset > size_ || size > size_ - offset) return STG_E_DOCFILECORRUPT;
        if (whole_) {
            if (size) std::memcpy(buffer, whole_.get() + offset, size);
            return S_OK;
        }
        return ReadFromFile(offset, buffer, size);
    }
    HRESULT ReadStreamData(uint64_t offset, void* buffer, size_t size) const override {
        if (offset > size_ || size > size_ - offset) return STG_E_DOCFILECORRUPT;
        // A small file is held whole since its opening: its streams are read from there too.
        if (whole_) return ReadAt(offset, buffer, size);
        if (size >= kStreamWindowBytes) return ReadFromFile(offset, buffer, size);
        // Small reads (a stream read in pieces) are served from a window read at the first of
        // them; the bytes are the file's as of that read. A read that goes on past the window
        // doubles it; any other starts a window just large enough.
        if (offset < windowStart_ || offset + size > windowStart_ + windowLength_) {
            if (!window_) window_ = std::make_unique_for_overwrite<BYTE[]>(kStreamWindowBytes);
            const bool onward = windowLength_ && offset >= windowStart_ && offset <= windowStart_ + windowLength_;
            size_t wanted = onward ? std::min(2 * windowLength_, kStreamWindowBytes) : std::max<size_t>(size, 4096);
            wanted = std::max(wanted, size);
            windowLength_ = 0;
            const size_t length = size_t(std::min<uint64_t>(wanted, size_ - offset));
            HRESULT hr = ReadFromFile(offset, window_.get(), length);
            if (FAILED(hr)) return hr;
            windowStart_ = offset;
            windowLength_ = length;
        }
        if (size) std::memcpy(buffer, window_.get() + (offset - windowStart_), size);
        return S_OK;
    }

private:
    HRESULT ReadFromFile(uint64_t offset, void* buffer, size_t size) const {
        BYTE* out = static_cast<BYTE*>(buffer);
        while (size > 0) {
            ssize_t got = ::pread(fd_, out, size, off_t(offset));
            if (got < 0) {
                if (errno == EINTR) continue;
                return STG_E_READFAULT;
            }
            if (got == 0) return STG_E_DOCFILECORRUPT;  // the file shrank under us
            out += got;
            offset += uint64_t(got);
            size -= size_t(got);
        }
        return S_OK;
    }

    static constexpr size_t kStreamWindowBytes = 64 * 1024;

    int fd_;
    uint64_t size_;
    std::unique_ptr<BYTE[]> whole_;
    mutable std::unique_ptr<BYTE[]> window_;
    mutable uint64_t windowStart_ = 0;
    mutable size_t windowLength_ = 0;
};

class MemorySource final : public Source {
public:
    MemorySource(const void* data, size_t size)
        : bytes_(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size) {}
    uint64_t Size() const override { return bytes_.size(); }
    const BYTE* Bytes() const override { return bytes_.data(); }
    HRESULT ReadAt(uint64_t offset, void* buffer, size_t size) const override {
        if (offset > bytes_.size() || size > bytes_.size() - offset) return STG_E_DOCFILECORRUPT;
        if (size) std::memcpy(buffer, bytes_.data() + offset, size);
        return S_OK;
    }

private:
    std::vector<BYTE> bytes_;
};

}  // namespace

std::unique_ptr<Source> MakeFileSource(int fd, uint64_t size) {
    return std::make_unique<FileSource>(fd, size);
}
std::unique_ptr<Source> MakeMemorySource(const void* data, size_t size) {
    return std::make_unique<MemorySource>(data, size);
}

}  // namespace platform::storage
