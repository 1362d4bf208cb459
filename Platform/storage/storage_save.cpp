// Saving: the whole image goes to a temporary file beside the original (one name per file, so
// that a killed save's leftover is found by that name alone), is flushed to disk and renamed
// over the original, so a crash at any moment leaves the old file or the new one.
//
// Layout of the image we write: header, allocation table, DIFAT, directory, mini-stream table,
// the mini stream, then each large stream in one contiguous run. Everything an open needs sits
// at the front, so opening a large file costs no more than opening a small one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/fault.h"
#include "storage/storage_internal.h"

namespace platform::storage {


namespace {

std::mutex g_lastTemporaryMutex;
std::string g_lastTemporary;

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

HRESULT WriteErrorFromErrno(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return STG_E_MEDIUMFULL;
        case EACCES:
        case EPERM:
        case EROFS:
            return STG_E_ACCESSDENIED;
        case ENOENT:
        case ENOTDIR:
            return STG_E_PATHNOTFOUND;
        case ENOMEM:
            return STG_E_INSUFFICIENTMEMORY;
        case EMFILE:
        case ENFILE:
            return STG_E_TOOMANYOPENFILES;
        default:
            return STG_E_WRITEFAULT;
    }
}

namespace {

HRESULT WriteAll(int fd, const void* data, size_t size, uint64_t offset) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("storage.write", hr)) return hr;
    const BYTE* in = static_cast<const BYTE*>(data);
    while (size > 0) {
        ssize_t done = ::pwrite(fd, in, size, off_t(offset));
        if (done < 0) {
            if (errno == EINTR) continue;
            return WriteErrorFromErrno(errno);
        }
        in += done;
        offset += uint64_t(done);
        size -= size_t(done);
    }
    return S_OK;
}

// Copies `length` bytes from `from` of the source's descriptor to `to` of fd, in the kernel
// where it can.
HRESULT CopyRange(int sourceFd, uint64_t from, int fd, uint64_t to, uint64_t length) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("storage.write", hr)) return hr;
    while (length > 0) {
        loff_t in = loff_t(from), out = loff_t(to);
        ssize_t done = ::copy_file_range(sourceFd, &in, fd, &out, size_t(std::min<uint64_t>(length, 1u << 30)), 0);
        if (done < 0) {
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) break;
            return WriteErrorFromErrno(errno);
        }
        if (done == 0) return STG_E_READFAULT;  // the source ended early
        from += uint64_t(done);
        to += uint64_t(done);
        length -= uint64_t(done);
    }
    std::vector<BYTE> buffer;
    while (length > 0) {
        if (buffer.empty()) buffer.resize(1 << 20);
        size_t chunk = size_t(std::min<uint64_t>(length, buffer.size()));
        ssize_t got = ::pread(sourceFd, buffer.data(), chunk, off_t(from));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return STG_E_READFAULT;
        hr = WriteAll(fd, buffer.data(), size_t(got), to);
        if (FAILED(hr)) return hr;
        from += uint64_t(got);
        to += uint64_t(got);
        length -= uint64_t(got);
    }
    return S_OK;
}

void SetLastTemporary(const std::string& path) {
    std::lock_guard lock(g_lastTemporaryMutex);
    g_lastTemporary = path;
}

}  // namespace

struct Document::Layout {
    uint32_t fatCount = 0;
    uint32_t difatCount = 0;
    uint32_t firstDifat = kEndOfChain;
    uint32_t firstDirectory = 0;
    uint32_t firstMiniFat = kEndOfChain;
    BYTE headerDifat[kHeaderDifatEntries * 4]{};
    uint64_t sectorCount = 0;
    uint64_t imageSize = 0;
    uint32_t containerStart = kEndOfChain;
    uint64_t containerSize = 0;
    std::vector<uint32_t> miniFat;
    struct Placed {
        uint32_t id;
        uint32_t start;
        bool mini;
        uint64_t fileOffset;
    };
    std::vector<Placed> placed;
};

HRESULT Document::WriteStreamBytes(int fd, uint32_t id, uint64_t fileOffset) {
    StreamContent& content = Content(id);
    uint64_t at = 0;
    while (at < content.size) {
        uint64_t index = at / StreamContent::kPageSize;
        uint64_t pageStart = index * StreamContent::kPageSize;
        auto page = content.pages.find(index);
        if (page != content.pages.end() && at < pageStart + page->second.size()) {
            uint64_t end = std::min(content.size, pageStart + page->second.size());
            HRESULT hr = WriteAll(fd, page->second.data() + (at - pageStart), size_t(end - at), fileOffset + at);
            if (FAILED(hr)) return hr;
            at = end;
            continue;
        }
        // Unwritten bytes up to the next written page: original bytes, then zeros (left as a
        // hole, which reads as zeros).
        auto next = content.pages.upper_bound(index);
        uint64_t end = next == content.pages.end() ? content.size
                                                   : std::min(content.size, next->first * StreamContent::kPageSize);
        uint64_t originEnd = std::min(end, content.originLength);
        if (at < originEnd && content.originInMini) {
            // A stream that grew out of the mini stream: its original bytes lie in the mini
            // stream (under the cut-off, so they fit in one small buffer), not at file offsets.
            std::vector<BYTE> buffer(size_t(originEnd - at));
            HRESULT hr = ReadOrigin(id, at, buffer.data(), buffer.size());
            if (SUCCEEDED(hr)) hr = WriteAll(fd, buffer.data(), buffer.size(), fileOffset + at);
            if (FAILED(hr)) return hr;
            at = originEnd;
        }
        if (at < originEnd) {
            HRESULT hr = ResolveExtents(id);
            if (FAILED(hr)) return hr;
            auto it = std::upper_bound(content.extents.begin(), content.extents.end(), at,
                                       [](uint64_t value, const Extent& e) { return value < e.logical; });
            if (it == content.extents.begin()) return STG_E_DOCFILECORRUPT;
            --it;
            while (at < originEnd) {
                if (it == content.extents.end()) return STG_E_DOCFILECORRUPT;
                uint64_t within = at - it->logical;
                uint64_t chunk = std::min(originEnd - at, it->length - within);
                if (source_->Descriptor() >= 0) {
                    hr = CopyRange(source_->Descriptor(), it->offset + within, fd, fileOffset + at, chunk);
                } else {
                    std::vector<BYTE> buffer(size_t(std::min<uint64_t>(chunk, 1 << 20)));
                    for (uint64_t done = 0; done < chunk && SUCCEEDED(hr);) {
                        size_t piece = size_t(std::min<uint64_t>(chunk - done, buffer.size()));
                        hr = source_->ReadAt(it->offset + within + done, buffer.data(), piece);
                        if (SUCCEEDED(hr)) hr = WriteAll(fd, buffer.data(), piece, fileOffset + at + done);
                        done += piece;
                    }
                }
                if (FAILED(hr)) return hr;
                at += chunk;
                ++it;
            }
        }
        at = std::max(at, end);
    }
    return S_OK;
}

HRESULT Document::WriteImage(int fd, Layout* layout) {
    const uint32_t ss = sectorSize;
    const uint32_t perSector = ss / 4;

    // Directory order: breadth first from the root.
    std::vector<uint32_t> order{0};
    for (size_t i = 0; i < order.size(); ++i)
        if (directory.IsStorage(order[i])) {
            const std::vector<uint32_t>& children = directory.Children(order[i]);
            order.insert(order.end(), children.begin(), children.end());
        }
    if (order.size() >= kMaxRegularSector) return STG_E_DOCFILETOOLARGE;

    uint64_t miniSectors = 0, regularSectors = 0;
    for (uint32_t element : order) {
        if (directory.Type(element) != kTypeStream) continue;
        const uint64_t size = Content(element).size;
        if (size == 0) continue;
        if (size < kMiniStreamCutoff)
            miniSectors += CeilDiv(size, kMiniSectorSize);
        else
            regularSectors += CeilDiv(size, ss);
    }
    const uint64_t containerBytes = miniSectors * kMiniSectorSize;
    const uint64_t containerSectors = CeilDiv(containerBytes, ss);
    const uint64_t miniFatSectors = CeilDiv(miniSectors * 4, ss);
    const uint64_t directorySectors = CeilDiv(order.size() * kDirectoryEntrySize, ss);
    const uint64_t base = directorySectors + miniFatSectors + containerSectors + regularSectors;
    uint64_t fatCount = 0, difatCount = 0;
    for (;;) {
        uint64_t total = fatCount + difatCount + base;
        uint64_t f = CeilDiv(total, perSector);
        uint64_t d = f > kHeaderDifatEntries ? CeilDiv(f - kHeaderDifatEntries, perSector - 1) : 0;
        if (f == fatCount && d == difatCount) break;
        fatCount = f;
        difatCount = d;
    }
    const uint64_t total = fatCount + difatCount + base;
    if (total >= kMaxRegularSector) return STG_E_DOCFILETOOLARGE;

    const uint32_t difatStart = uint32_t(fatCount);
    const uint32_t directoryStart = uint32_t(difatStart + difatCount);
    const uint32_t miniFatStart = uint32_t(directoryStart + directorySectors);
    const uint32_t containerStart = uint32_t(miniFatStart + miniFatSectors);
    uint32_t streamCursor = uint32_t(containerStart + containerSectors);

    std::vector<uint32_t> fat(size_t(fatCount) * perSector, kFreeSector);
    auto chain = [&](uint32_t start, uint64_t count) {
        for (uint64_t i = 0; i < count; ++i) fat[start + i] = i + 1 < count ? uint32_t(start + i + 1) : kEndOfChain;
    };
    for (uint32_t i = 0; i < fatCount; ++i) fat[i] = kFatSector;
    for (uint32_t i = 0; i < difatCount; ++i) fat[difatStart + i] = kDifatSector;
    chain(directoryStart, directorySectors);
    chain(miniFatStart, miniFatSectors);
    chain(containerStart, containerSectors);

    // Place the streams.
    layout->miniFat.assign(size_t(miniFatSectors) * perSector, kFreeSector);
    uint32_t miniCursor = 0;
    std::vector<uint32_t> startOf(order.size(), kEndOfChain);
    for (size_t id = 0; id < order.size(); ++id) {
        const uint32_t element = order[id];
        if (directory.Type(element) != kTypeStream || Content(element).size == 0) continue;
        const uint64_t size = Content(element).size;
        if (size < kMiniStreamCutoff) {
            uint64_t count = CeilDiv(size, kMiniSectorSize);
            for (uint64_t i = 0; i < count; ++i)
                layout->miniFat[miniCursor + i] = i + 1 < count ? uint32_t(miniCursor + i + 1) : kEndOfChain;
            startOf[id] = miniCursor;
            layout->placed.push_back({element, miniCursor, true,
                                      (uint64_t(containerStart) + 1) * ss + uint64_t(miniCursor) * kMiniSectorSize});
            miniCursor += uint32_t(count);
        } else {
            uint64_t count = CeilDiv(size, ss);
            chain(streamCursor, count);
            startOf[id] = streamCursor;
            layout->placed.push_back({element, streamCursor, false, (uint64_t(streamCursor) + 1) * ss});
            streamCursor += uint32_t(count);
        }
    }

    // Metadata block: allocation table, DIFAT, directory, mini-stream table.
    const uint64_t metaSectors = fatCount + difatCount + directorySectors + miniFatSectors;
    std::vector<BYTE> meta;
    try {
        meta.assign(size_t(metaSectors) * ss, 0);
    } catch (const std::bad_alloc&) {
        return STG_E_INSUFFICIENTMEMORY;
    }
    for (size_t i = 0; i < fat.size(); ++i) Store32(meta.data() + 4 * i, fat[i]);
    for (uint32_t j = 0; j < difatCount; ++j) {
        BYTE* sector = meta.data() + size_t(difatStart + j) * ss;
        for (uint32_t t = 0; t + 1 < perSector; ++t) {
            uint64_t k = kHeaderDifatEntries + uint64_t(j) * (perSector - 1) + t;
            Store32(sector + 4 * t, k < fatCount ? uint32_t(k) : kFreeSector);
        }
        Store32(sector + 4 * (perSector - 1), j + 1 < difatCount ? difatStart + j + 1 : kEndOfChain);
    }
    BYTE* entries = meta.data() + size_t(directoryStart) * ss;
    for (uint64_t i = 0; i < directorySectors * ss / kDirectoryEntrySize; ++i) {
        BYTE* e = entries + i * kDirectoryEntrySize;
        Store32(e + 68, kNoStream);
        Store32(e + 72, kNoStream);
        Store32(e + 76, kNoStream);
    }
    std::vector<uint32_t> left(order.size(), kNoStream), right(order.size(), kNoStream),
        child(order.size(), kNoStream);
    std::vector<BYTE> color(order.size(), 1);  // black
    {
        // Children of each storage as a balanced tree: all levels full but the last, whose
        // nodes are red, so every path has the same number of black nodes.
        size_t next = 1;
        for (size_t id = 0; id < order.size(); ++id) {
            const size_t count = directory.IsStorage(order[id]) ? directory.Children(order[id]).size() : 0;
            if (count == 0) continue;
            const uint32_t first = uint32_t(next);
            next += count;
            unsigned height = 0;
            while ((size_t(1) << height) - 1 < count) ++height;
            struct Builder {
                std::vector<uint32_t>& left;
                std::vector<uint32_t>& right;
                std::vector<BYTE>& color;
                uint32_t first;
                unsigned height;
                uint32_t Build(size_t lo, size_t hi, unsigned depth) {
                    if (lo >= hi) return kNoStream;
                    size_t mid = lo + (hi - lo) / 2;
                    uint32_t id = uint32_t(first + mid);
                    left[id] = Build(lo, mid, depth + 1);
                    right[id] = Build(mid + 1, hi, depth + 1);
                    color[id] = (height > 1 && depth == height - 1) ? 0 : 1;
                    return id;
                }
            } builder{left, right, color, first, height};
            child[id] = builder.Build(0, count, 0);
        }
    }
    for (size_t id = 0; id < order.size(); ++id) {
        const uint32_t element = order[id];
        const BYTE* stored = this->directory.Entry(element);
        const BYTE type = stored[66];
        BYTE* e = entries + id * kDirectoryEntrySize;
        // Name, kind, class, state bits and times as the entry holds them (names kept byte for
        // byte, what follows a name's terminator included).
        std::memcpy(e, stored, 64);
        Store16(e + 64, type == kTypeRoot ? uint16_t(std::min<unsigned>(Load16(stored + 64) & ~1u, 64))
                                          : Load16(stored + 64));
        e[66] = type;
        e[67] = color[id];
        Store32(e + 68, left[id]);
        Store32(e + 72, right[id]);
        Store32(e + 76, type == kTypeStorage || type == kTypeRoot ? child[id] : kNoStream);
        std::memcpy(e + 80, stored + 80, 36);
        if (type == kTypeRoot) {
            Store32(e + 116, containerSectors ? containerStart : kEndOfChain);
            Store64(e + 120, containerBytes);
        } else if (type == kTypeStream) {
            Store32(e + 116, startOf[id]);
            Store64(e + 120, Content(element).size);
        }
    }
    for (size_t i = 0; i < layout->miniFat.size(); ++i)
        Store32(meta.data() + size_t(miniFatStart) * ss + 4 * i, layout->miniFat[i]);

    // Header.
    std::vector<BYTE> header(ss, 0);
    std::memcpy(header.data(), kSignature, sizeof kSignature);
    std::memcpy(header.data() + 8, headerClsid, 16);
    Store16(header.data() + 24, minorVersion);
    Store16(header.data() + 26, majorVersion);
    Store16(header.data() + 28, 0xFFFE);
    Store16(header.data() + 30, ss == 4096 ? 12 : 9);
    Store16(header.data() + 32, 6);
    Store32(header.data() + 40, majorVersion == 4 ? uint32_t(directorySectors) : 0);
    Store32(header.data() + 44, uint32_t(fatCount));
    Store32(header.data() + 48, directoryStart);
    Store32(header.data() + 56, kMiniStreamCutoff);
    Store32(header.data() + 60, miniFatSectors ? miniFatStart : kEndOfChain);
    Store32(header.data() + 64, uint32_t(miniFatSectors));
    Store32(header.data() + 68, difatCount ? difatStart : kEndOfChain);
    Store32(header.data() + 72, uint32_t(difatCount));
    for (uint32_t i = 0; i < kHeaderDifatEntries; ++i)
        Store32(header.data() + 76 + 4 * i, i < fatCount ? i : kFreeSector);
    std::memcpy(layout->headerDifat, header.data() + 76, sizeof layout->headerDifat);

    HRESULT hr = WriteAll(fd, header.data(), header.size(), 0);
    if (SUCCEEDED(hr)) hr = WriteAll(fd, meta.data(), meta.size(), ss);
    if (FAILED(hr)) return hr;
    meta = {};

    // The mini stream, assembled in memory (it is small by construction).
    if (containerSectors) {
        std::vector<BYTE> container;
        try {
            container.assign(size_t(containerSectors) * ss, 0);
        } catch (const std::bad_alloc&) {
            return STG_E_INSUFFICIENTMEMORY;
        }
        for (const Layout::Placed& placed : layout->placed) {
            if (!placed.mini) continue;
            size_t read = 0;
            hr = ReadStream(placed.id, 0, container.data() + size_t(placed.start) * kMiniSectorSize,
                            size_t(Content(placed.id).size), &read);
            if (FAILED(hr)) return hr;
        }
        hr = WriteAll(fd, container.data(), container.size(), (uint64_t(containerStart) + 1) * ss);
        if (FAILED(hr)) return hr;
    }
    for (const Layout::Placed& placed : layout->placed) {
        if (placed.mini) continue;
        hr = WriteStreamBytes(fd, placed.id, placed.fileOffset);
        if (FAILED(hr)) return hr;
    }

    layout->fatCount = uint32_t(fatCount);
    layout->difatCount = uint32_t(difatCount);
    layout->firstDifat = difatCount ? difatStart : kEndOfChain;
    layout->firstDirectory = directoryStart;
    layout->firstMiniFat = miniFatSectors ? miniFatStart : kEndOfChain;
    layout->sectorCount = total;
    layout->imageSize = (total + 1) * ss;
    layout->containerStart = containerSectors ? containerStart : kEndOfChain;
    layout->containerSize = containerBytes;
    if (::ftruncate(fd, off_t(layout->imageSize)) != 0) return WriteErrorFromErrno(errno);
    return S_OK;
}

HRESULT Document::Save() {
    if (!writable || path.empty()) return STG_E_ACCESSDENIED;
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct stat folderStat;
    if (::stat(folder.c_str(), &folderStat) != 0) return WriteErrorFromErrno(errno);
    // A folder nobody may write to is read-only, also for a superuser.
    if ((folderStat.st_mode & 0222) == 0) return STG_E_ACCESSDENIED;

    // The new image goes to the file's own temporary name, marked as a save's image, so that
    // a leftover of this save, if it is killed, is known for one and removed.
    const std::string temporary = TemporaryImagePath(path);
    HRESULT created = S_OK;
    const int fd = CreateTemporaryImage(path, temporary, &created);
    if (fd < 0) return created;
    SetLastTemporary(temporary);
    auto fail = [&](HRESULT hr) {
        // Only this image goes: a name that now leads elsewhere is left alone.
        if (TemporaryNameLeadsTo(temporary, fd)) ::unlink(temporary.c_str());
        ::close(fd);
        return hr;
    };

    HRESULT hr = AnnounceShareLocks(fd, share);
    if (FAILED(hr)) return fail(hr);
    Layout layout;
    hr = WriteImage(fd, &layout);
    if (FAILED(hr)) return fail(hr);

    struct stat original;
    if (::stat(path.c_str(), &original) == 0) {
        if (::fchmod(fd, original.st_mode & 07777) != 0) return fail(WriteErrorFromErrno(errno));
        if (::geteuid() == 0 && ::fchown(fd, original.st_uid, original.st_gid) != 0) {
            // Keeping the owner is best effort; the content is what matters.
        }
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        if (::fchmod(fd, 0666 & ~mask) != 0) return fail(WriteErrorFromErrno(errno));
    }

    if (PLATFORM_FAULT("storage.fsync", hr)) return fail(hr);
    if (::fsync(fd) != 0) return fail(WriteErrorFromErrno(errno));
    if (PLATFORM_FAULT("storage.rename", hr)) return fail(hr);
    // Only this image may take the file's place: a name that now leads elsewhere is left alone.
    if (!TemporaryNameLeadsTo(temporary, fd)) return fail(STG_E_WRITEFAULT);
    if (::rename(temporary.c_str(), path.c_str()) != 0) return fail(WriteErrorFromErrno(errno));
    UnmarkImage(fd);  // the file itself is no leftover
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);  // the rename itself reaches the disk
        ::close(folderFd);
    }

    // From here on the new file is the document's source; closing the old one drops its locks.
    source_ = MakeFileSource(fd, layout.imageSize);
    InstallTable(layout.sectorCount, layout.fatCount, layout.headerDifat, layout.firstDifat, layout.difatCount);
    miniFat_ = std::move(layout.miniFat);
    miniFatHeld_ = true;
    miniFatExtents_.clear();
    miniFatSectors_.clear();
    miniFatInPlace_ = nullptr;
    firstMiniFatSector_ = layout.firstMiniFat;
    firstDirectorySector_ = layout.firstDirectory;
    containerStart_ = layout.containerStart;
    containerSize_ = layout.containerSize;
    container_.clear();
    if (containerSize_) container_.push_back({0, (uint64_t(containerStart_) + 1) * sectorSize, containerSize_});
    containerResolved_ = true;
    containerCache_.clear();
    for (const Layout::Placed& placed : layout.placed) {
        StreamContent& content = Content(placed.id);
        content.pages.clear();
        content.originLength = content.size;
        content.originStart = placed.start;
        content.originInMini = placed.mini;
        content.extents.clear();
        content.extents.push_back({0, placed.mini ? uint64_t(placed.start) * kMiniSectorSize : placed.fileOffset, content.size});
        content.extentsResolved = true;
    }
    dirty = false;
    return S_OK;
}

}  // namespace platform::storage

namespace platform::testing {

const char* LastSaveTemporaryPath() {
    std::lock_guard lock(storage::g_lastTemporaryMutex);
    return storage::g_lastTemporary.c_str();
}

}  // namespace platform::testing
