// Reading a compound file into the element tree, stream contents, and saving the whole image.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/fault.h"
#include "storage/storage_internal.h"

namespace platform::storage {

// ---- Names ---------------------------------------------------------------------------------

char16_t UpperCase(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c == 0xB5) return 0x39C;
    if (c >= 0x100 && c <= 0x17F) {
        if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
            return (c & 1) ? char16_t(c - 1) : c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
            return (c & 1) ? c : char16_t(c - 1);
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return char16_t(c - 0x20);
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x430 && c <= 0x44F) return char16_t(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return char16_t(c - 0x20);
    return c;
}

int CompareNames(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = UpperCase(a[i]), y = UpperCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

std::u16string NameKey(const std::u16string& name) {
    std::u16string key(name);
    for (char16_t& c : key) c = UpperCase(c);
    return key;
}

std::vector<NodePtr>::iterator Node::Find(const std::u16string& childName) {
    const std::u16string wanted = NameKey(childName);
    auto it = std::lower_bound(children.begin(), children.end(), wanted,
                               [](const NodePtr& n, const std::u16string& k) { return KeyLess(n->key, k); });
    if (it != children.end() && (*it)->key == wanted) return it;
    return children.end();
}

void Node::Insert(NodePtr child) {
    child->parent = this;
    auto it = std::lower_bound(children.begin(), children.end(), child->key,
                               [](const NodePtr& n, const std::u16string& k) { return KeyLess(n->key, k); });
    children.insert(it, std::move(child));
}

// ---- Sources -------------------------------------------------------------------------------

namespace {

class FileSource final : public Source {
public:
    FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    ~FileSource() override { ::close(fd_); }
    uint64_t Size() const override { return size_; }
    int Descriptor() const override { return fd_; }
    HRESULT ReadAt(uint64_t offset, void* buffer, size_t size) const override {
        if (offset > size_ || size > size_ - offset) return STG_E_DOCFILECORRUPT;
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

private:
    int fd_;
    uint64_t size_;
};

class MemorySource final : public Source {
public:
    MemorySource(const void* data, size_t size)
        : bytes_(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size) {}
    uint64_t Size() const override { return bytes_.size(); }
    HRESULT ReadAt(uint64_t offset, void* buffer, size_t size) const override {
        if (offset > bytes_.size() || size > bytes_.size() - offset) return STG_E_DOCFILECORRUPT;
        if (size) std::memcpy(buffer, bytes_.data() + offset, size);
        return S_OK;
    }

private:
    std::vector<BYTE> bytes_;
};

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

std::unique_ptr<Source> MakeFileSource(int fd, uint64_t size) {
    return std::make_unique<FileSource>(fd, size);
}
std::unique_ptr<Source> MakeMemorySource(const void* data, size_t size) {
    return std::make_unique<MemorySource>(data, size);
}

// ---- The allocation table, loaded one table sector at a time -------------------------------

class AllocationTable {
public:
    AllocationTable(const Source& source, uint32_t sectorSize, uint64_t sectorCount,
                    uint32_t fatCount, const BYTE* headerDifat, uint32_t firstDifat,
                    uint32_t difatCount)
        : source_(source),
          sectorSize_(sectorSize),
          perSector_(sectorSize / 4),
          sectorCount_(sectorCount),
          fatCount_(fatCount),
          nextDifat_(firstDifat),
          difatRemaining_(difatCount),
          sectors_(fatCount) {
        for (uint32_t i = 0; i < std::min(fatCount, kHeaderDifatEntries); ++i)
            locations_.push_back(Load32(headerDifat + 4 * i));
    }

    uint64_t SectorCount() const { return sectorCount_; }
    uint64_t SectorOffset(uint32_t sector) const { return (uint64_t(sector) + 1) * sectorSize_; }

    // The sector after `sector` in its chain (the raw table entry).
    HRESULT Next(uint32_t sector, uint32_t* next) {
        uint32_t index = sector / perSector_;
        if (index >= fatCount_) return STG_E_DOCFILECORRUPT;
        if (!sectors_[index]) {
            HRESULT hr = LoadSector(index);
            if (FAILED(hr)) return hr;
        }
        *next = sectors_[index][sector % perSector_];
        return S_OK;
    }

private:
    HRESULT Location(uint32_t index, uint32_t* location) {
        while (locations_.size() <= index) {
            // Walk one more sector of the DIFAT chain; the header's count bounds the walk.
            if (difatRemaining_ == 0 || nextDifat_ > kMaxRegularSector || nextDifat_ >= sectorCount_)
                return STG_E_DOCFILECORRUPT;
            std::vector<BYTE> raw(sectorSize_);
            HRESULT hr = source_.ReadAt(SectorOffset(nextDifat_), raw.data(), raw.size());
            if (FAILED(hr)) return hr;
            --difatRemaining_;
            for (uint32_t i = 0; i + 1 < perSector_ && locations_.size() < fatCount_; ++i)
                locations_.push_back(Load32(raw.data() + 4 * i));
            nextDifat_ = Load32(raw.data() + 4 * (perSector_ - 1));
        }
        *location = locations_[index];
        if (*location > kMaxRegularSector || *location >= sectorCount_) return STG_E_DOCFILECORRUPT;
        return S_OK;
    }

    HRESULT LoadSector(uint32_t index) {
        uint32_t first;
        HRESULT hr = Location(index, &first);
        if (FAILED(hr)) return hr;
        // Table sectors usually lie side by side: read a run of them at once.
        uint32_t run = 1;
        while (run < 64 && index + run < fatCount_ && !sectors_[index + run]) {
            uint32_t location;
            if (FAILED(Location(index + run, &location)) || location != first + run) break;
            ++run;
        }
        std::vector<BYTE> raw(size_t(run) * sectorSize_);
        hr = source_.ReadAt(SectorOffset(first), raw.data(), raw.size());
        if (FAILED(hr)) return hr;
        for (uint32_t r = 0; r < run; ++r) {
            auto entries = std::make_unique<uint32_t[]>(perSector_);
            for (uint32_t i = 0; i < perSector_; ++i)
                entries[i] = Load32(raw.data() + size_t(r) * sectorSize_ + 4 * i);
            sectors_[index + r] = std::move(entries);
        }
        return S_OK;
    }

    const Source& source_;
    uint32_t sectorSize_;
    uint32_t perSector_;
    uint64_t sectorCount_;
    uint32_t fatCount_;
    uint32_t nextDifat_;
    uint32_t difatRemaining_;
    std::vector<uint32_t> locations_;
    std::vector<std::unique_ptr<uint32_t[]>> sectors_;
};

namespace {

struct SectorRun {
    uint32_t first;
    uint32_t count;
};

// Walks a chain of regular sectors. With `needed` set, exactly that many sectors are taken (a
// chain that ends sooner is damaged); otherwise the chain runs to its end mark. Every sector
// must lie in the file, and no sector may appear twice (a cycle or a chain crossing itself).
HRESULT WalkChain(AllocationTable& fat, uint32_t start, bool untilEnd, uint64_t needed,
                  std::vector<SectorRun>* runs) {
    runs->clear();
    uint64_t limit = fat.SectorCount();
    if (!untilEnd && needed > limit) return STG_E_DOCFILECORRUPT;
    uint32_t sector = start;
    uint64_t taken = 0;
    while (untilEnd ? sector != kEndOfChain : taken < needed) {
        if (sector > kMaxRegularSector || sector >= limit || taken >= limit) return STG_E_DOCFILECORRUPT;
        if (!runs->empty() && runs->back().first + runs->back().count == sector)
            ++runs->back().count;
        else
            runs->push_back({sector, 1});
        ++taken;
        if (!untilEnd && taken == needed) break;
        HRESULT hr = fat.Next(sector, &sector);
        if (FAILED(hr)) return hr;
    }
    std::vector<SectorRun> sorted(*runs);
    std::sort(sorted.begin(), sorted.end(),
              [](const SectorRun& a, const SectorRun& b) { return a.first < b.first; });
    for (size_t i = 1; i < sorted.size(); ++i)
        if (uint64_t(sorted[i - 1].first) + sorted[i - 1].count > sorted[i].first)
            return STG_E_DOCFILECORRUPT;
    return S_OK;
}

// Converts sector runs to byte extents holding `length` bytes (all of them when length is the
// runs' full size), checking that those bytes exist in the source.
HRESULT RunsToExtents(const AllocationTable& fat, uint32_t sectorSize, const std::vector<SectorRun>& runs,
                      uint64_t length, uint64_t sourceSize, std::vector<Extent>* extents) {
    extents->clear();
    uint64_t logical = 0;
    for (const SectorRun& run : runs) {
        if (logical >= length) break;
        uint64_t bytes = std::min<uint64_t>(uint64_t(run.count) * sectorSize, length - logical);
        uint64_t offset = fat.SectorOffset(run.first);
        if (offset > sourceSize || bytes > sourceSize - offset) return STG_E_DOCFILECORRUPT;
        extents->push_back({logical, offset, bytes});
        logical += bytes;
    }
    return logical == length ? S_OK : STG_E_DOCFILECORRUPT;
}

// Reads [logical, logical+size) of bytes laid out in `extents`.
HRESULT ReadExtents(const Source& source, const std::vector<Extent>& extents, uint64_t logical,
                    BYTE* out, size_t size) {
    auto it = std::upper_bound(extents.begin(), extents.end(), logical,
                               [](uint64_t value, const Extent& e) { return value < e.logical; });
    if (it == extents.begin()) return STG_E_DOCFILECORRUPT;
    --it;
    while (size > 0) {
        if (it == extents.end() || logical < it->logical || logical >= it->logical + it->length)
            return STG_E_DOCFILECORRUPT;
        uint64_t within = logical - it->logical;
        size_t chunk = size_t(std::min<uint64_t>(size, it->length - within));
        HRESULT hr = source.ReadAt(it->offset + within, out, chunk);
        if (FAILED(hr)) return hr;
        out += chunk;
        logical += chunk;
        size -= chunk;
        ++it;
    }
    return S_OK;
}

}  // namespace

// ---- Loading -------------------------------------------------------------------------------

Document::Document() = default;
Document::~Document() = default;

void Document::Release() {
    if (--refs_ != 0) return;
    {
        std::lock_guard lock(mutex);
        // Nobody is left to hear of a failure here; Commit is where a caller learns of one.
        if (writable && dirty) Save();
        if (deleteOnRelease && !path.empty()) ::unlink(path.c_str());
    }
    delete this;
}

void Document::InitEmpty(uint32_t newSectorSize, std::unique_ptr<Source> held) {
    source_ = std::move(held);
    sectorSize = newSectorSize;
    majorVersion = newSectorSize == 4096 ? 4 : 3;
    root = std::make_shared<Node>();
    root->type = kTypeRoot;
    root->SetName(u"Root Entry");
    root->content.extentsResolved = true;
    containerResolved_ = true;
}

HRESULT Document::Load(std::unique_ptr<Source> source) {
    source_ = std::move(source);
    uint64_t fileSize = source_->Size();
    BYTE header[512];
    if (fileSize < sizeof(kSignature)) return STG_E_FILEALREADYEXISTS;
    HRESULT hr = source_->ReadAt(0, header, std::min<uint64_t>(fileSize, sizeof header));
    if (FAILED(hr)) return hr;
    if (std::memcmp(header, kSignature, sizeof kSignature) != 0) return STG_E_FILEALREADYEXISTS;
    if (fileSize < sizeof header) return STG_E_INVALIDHEADER;

    std::memcpy(headerClsid, header + 8, 16);
    minorVersion = Load16(header + 24);
    majorVersion = Load16(header + 26);
    uint16_t byteOrder = Load16(header + 28);
    uint16_t sectorShift = Load16(header + 30);
    uint16_t miniShift = Load16(header + 32);
    uint32_t fatCount = Load32(header + 44);
    firstDirectorySector_ = Load32(header + 48);
    uint32_t cutoff = Load32(header + 56);
    firstMiniFatSector_ = Load32(header + 60);
    uint32_t firstDifat = Load32(header + 68);
    uint32_t difatCount = Load32(header + 72);

    if (byteOrder != 0xFFFE || miniShift != 6 || cutoff != kMiniStreamCutoff) return STG_E_INVALIDHEADER;
    if (!((majorVersion == 3 && sectorShift == 9) || (majorVersion == 4 && sectorShift == 12)))
        return STG_E_INVALIDHEADER;
    sectorSize = 1u << sectorShift;
    if (fileSize < sectorSize) return STG_E_INVALIDHEADER;
    uint64_t sectorCount = CeilDiv(fileSize - sectorSize, sectorSize);
    if (fatCount == 0 || fatCount > sectorCount || difatCount > sectorCount) return STG_E_INVALIDHEADER;
    uint64_t perDifat = sectorSize / 4 - 1;
    if (fatCount > kHeaderDifatEntries &&
        uint64_t(difatCount) * perDifat < fatCount - kHeaderDifatEntries)
        return STG_E_INVALIDHEADER;

    fat_ = std::make_unique<AllocationTable>(*source_, sectorSize, sectorCount, fatCount, header + 76,
                                             firstDifat, difatCount);

    // The mini stream's allocation table.
    miniFat_.clear();
    if (firstMiniFatSector_ != kEndOfChain) {
        std::vector<SectorRun> runs;
        hr = WalkChain(*fat_, firstMiniFatSector_, true, 0, &runs);
        if (FAILED(hr)) return hr;
        uint64_t bytes = 0;
        for (const SectorRun& run : runs) bytes += uint64_t(run.count) * sectorSize;
        std::vector<Extent> extents;
        hr = RunsToExtents(*fat_, sectorSize, runs, bytes, fileSize, &extents);
        if (FAILED(hr)) return hr;
        std::vector<BYTE> raw(bytes);
        hr = ReadExtents(*source_, extents, 0, raw.data(), raw.size());
        if (FAILED(hr)) return hr;
        miniFat_.resize(bytes / 4);
        for (size_t i = 0; i < miniFat_.size(); ++i) miniFat_[i] = Load32(raw.data() + 4 * i);
    }
    return LoadDirectory();
}

HRESULT Document::LoadDirectory() {
    std::vector<SectorRun> runs;
    HRESULT hr = WalkChain(*fat_, firstDirectorySector_, true, 0, &runs);
    if (FAILED(hr)) return hr;
    if (runs.empty()) return STG_E_DOCFILECORRUPT;
    uint64_t bytes = 0;
    for (const SectorRun& run : runs) bytes += uint64_t(run.count) * sectorSize;
    std::vector<Extent> extents;
    hr = RunsToExtents(*fat_, sectorSize, runs, bytes, source_->Size(), &extents);
    if (FAILED(hr)) return hr;
    std::vector<BYTE> raw(bytes);
    hr = ReadExtents(*source_, extents, 0, raw.data(), raw.size());
    if (FAILED(hr)) return hr;
    const uint32_t entryCount = uint32_t(bytes / kDirectoryEntrySize);
    auto entry = [&](uint32_t id) { return raw.data() + size_t(id) * kDirectoryEntrySize; };
    const uint64_t sourceSize = source_->Size();

    auto makeNode = [&](uint32_t id, NodePtr* out) -> HRESULT {
        const BYTE* e = entry(id);
        auto node = std::make_shared<Node>();
        uint16_t nameLength = Load16(e + 64);
        if (id == 0) {
            nameLength = std::min<uint16_t>(nameLength & ~1u, 64);  // nobody looks the root up by name
        } else if (nameLength < 2 || nameLength > 64 || (nameLength & 1)) {
            return STG_E_DOCFILECORRUPT;
        }
        // Names end at their first null character, as callers pass them.
        std::u16string name;
        for (uint16_t i = 0; i + 1 < nameLength / 2; ++i) {
            char16_t c = char16_t(Load16(e + 2 * i));
            if (c == 0) break;
            name.push_back(c);
        }
        node->SetName(std::move(name));
        std::memcpy(node->rawName, e, 64);
        node->rawNameLength = nameLength;
        node->rawNameValid = true;
        node->type = e[66];
        if (node->name.empty() && node->type != kTypeRoot) return STG_E_DOCFILECORRUPT;
        std::memcpy(&node->clsid, e + 80, 16);
        node->stateBits = Load32(e + 96);
        node->ctime = {Load32(e + 100), Load32(e + 104)};
        node->mtime = {Load32(e + 108), Load32(e + 112)};
        uint32_t start = Load32(e + 116);
        uint64_t size = majorVersion == 3 ? Load32(e + 120) : Load64(e + 120);
        if (node->type == kTypeStream || node->type == kTypeRoot) {
            if (size > sourceSize) return STG_E_DOCFILECORRUPT;
            node->content.size = size;
            node->content.originLength = size;
            node->content.originStart = start;
            node->content.originInMini = node->type == kTypeStream && size < kMiniStreamCutoff;
            node->content.extentsResolved = size == 0;
        } else if (node->type != kTypeStorage) {
            return STG_E_DOCFILECORRUPT;
        }
        *out = std::move(node);
        return S_OK;
    };

    if (entry(0)[66] != kTypeRoot) return STG_E_DOCFILECORRUPT;
    hr = makeNode(0, &root);
    if (FAILED(hr)) return hr;
    containerStart_ = root->content.originStart;
    containerSize_ = root->content.size;
    root->content = StreamContent{};
    root->content.extentsResolved = true;

    // Each storage's children form a binary tree through the left and right sibling fields.
    // Every entry may be reached once: a second visit is a cycle or an entry shared by two
    // places, either of which would make the walk endless or the tree ambiguous.
    std::vector<bool> visited(entryCount, false);
    visited[0] = true;
    std::vector<std::pair<Node*, uint32_t>> storages{{root.get(), Load32(entry(0) + 76)}};
    std::vector<uint32_t> pending;
    while (!storages.empty()) {
        auto [storage, top] = storages.back();
        storages.pop_back();
        pending.clear();
        if (top != kNoStream) pending.push_back(top);
        while (!pending.empty()) {
            uint32_t id = pending.back();
            pending.pop_back();
            if (id >= entryCount || visited[id]) return STG_E_DOCFILECORRUPT;
            visited[id] = true;
            NodePtr child;
            hr = makeNode(id, &child);
            if (FAILED(hr)) return hr;
            uint32_t left = Load32(entry(id) + 68), right = Load32(entry(id) + 72);
            if (left != kNoStream) pending.push_back(left);
            if (right != kNoStream) pending.push_back(right);
            if (child->type == kTypeStorage) storages.push_back({child.get(), Load32(entry(id) + 76)});
            child->parent = storage;
            storage->children.push_back(std::move(child));
        }
        std::sort(storage->children.begin(), storage->children.end(),
                  [](const NodePtr& a, const NodePtr& b) { return KeyLess(a->key, b->key); });
        for (size_t i = 1; i < storage->children.size(); ++i)
            if (storage->children[i - 1]->key == storage->children[i]->key)
                return STG_E_DOCFILECORRUPT;
    }
    return S_OK;
}

HRESULT Document::ResolveMiniContainer() {
    if (containerResolved_) return S_OK;
    std::vector<SectorRun> runs;
    HRESULT hr = WalkChain(*fat_, containerStart_, false, CeilDiv(containerSize_, sectorSize), &runs);
    if (FAILED(hr)) return hr;
    hr = RunsToExtents(*fat_, sectorSize, runs, containerSize_, source_->Size(), &container_);
    if (FAILED(hr)) return hr;
    containerResolved_ = true;
    return S_OK;
}

HRESULT Document::ResolveExtents(Node& node) {
    StreamContent& content = node.content;
    if (content.extentsResolved) return S_OK;
    const uint64_t length = content.originLength;
    HRESULT hr;
    if (!content.originInMini) {
        std::vector<SectorRun> runs;
        hr = WalkChain(*fat_, content.originStart, false, CeilDiv(length, sectorSize), &runs);
        if (FAILED(hr)) return hr;
        hr = RunsToExtents(*fat_, sectorSize, runs, length, source_->Size(), &content.extents);
        if (FAILED(hr)) return hr;
    } else {
        hr = ResolveMiniContainer();
        if (FAILED(hr)) return hr;
        const uint64_t needed = CeilDiv(length, kMiniSectorSize);
        const uint64_t miniCount = containerSize_ / kMiniSectorSize;
        std::vector<uint32_t> seen;
        std::vector<Extent> extents;
        uint32_t sector = content.originStart;
        uint64_t logical = 0;
        for (uint64_t i = 0; i < needed; ++i) {
            if (sector >= miniCount) return STG_E_DOCFILECORRUPT;
            seen.push_back(sector);
            uint64_t bytes = std::min<uint64_t>(kMiniSectorSize, length - logical);
            // Mini streams' extents are offsets in the mini stream, read through its cache.
            uint64_t offset = uint64_t(sector) * kMiniSectorSize;
            if (offset + bytes > containerSize_) return STG_E_DOCFILECORRUPT;
            if (!extents.empty() && extents.back().offset + extents.back().length == offset)
                extents.back().length += bytes;
            else
                extents.push_back({logical, offset, bytes});
            logical += bytes;
            if (i + 1 < needed) {
                if (sector >= miniFat_.size()) return STG_E_DOCFILECORRUPT;
                sector = miniFat_[sector];
            }
        }
        std::sort(seen.begin(), seen.end());
        if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) return STG_E_DOCFILECORRUPT;
        content.extents = std::move(extents);
    }
    content.extentsResolved = true;
    return S_OK;
}

// ---- The mini stream, cached one sector at a time -------------------------------------------

HRESULT Document::ReadContainer(uint64_t offset, BYTE* out, size_t size) {
    HRESULT hr = ResolveMiniContainer();
    if (FAILED(hr)) return hr;
    if (offset > containerSize_ || size > containerSize_ - offset) return STG_E_DOCFILECORRUPT;
    if (containerCache_.empty()) containerCache_.resize(size_t(CeilDiv(containerSize_, sectorSize)));
    while (size > 0) {
        size_t index = size_t(offset / sectorSize);
        if (!containerCache_[index]) {
            // Load a run of sectors that lie side by side in the file.
            uint64_t logical = uint64_t(index) * sectorSize;
            auto it = std::upper_bound(container_.begin(), container_.end(), logical,
                                       [](uint64_t value, const Extent& e) { return value < e.logical; });
            if (it == container_.begin()) return STG_E_DOCFILECORRUPT;
            --it;
            uint64_t within = logical - it->logical;
            uint64_t bytes = std::min<uint64_t>(it->length - within, uint64_t(64) * sectorSize);
            // Filled by the read, so neither buffer is zeroed first (only a last partial sector's tail).
            const size_t rawSize = static_cast<size_t>(bytes);
            auto raw = std::make_unique_for_overwrite<BYTE[]>(rawSize);
            hr = source_->ReadAt(it->offset + within, raw.get(), rawSize);
            if (FAILED(hr)) return hr;
            for (size_t k = 0; k * sectorSize < rawSize && index + k < containerCache_.size(); ++k) {
                if (containerCache_[index + k]) continue;
                auto sector = std::make_unique_for_overwrite<BYTE[]>(sectorSize);
                const size_t copied = std::min<size_t>(sectorSize, rawSize - k * sectorSize);
                std::memcpy(sector.get(), raw.get() + k * sectorSize, copied);
                std::memset(sector.get() + copied, 0, sectorSize - copied);
                containerCache_[index + k] = std::move(sector);
            }
        }
        size_t within = size_t(offset % sectorSize);
        size_t chunk = std::min<size_t>(size, sectorSize - within);
        std::memcpy(out, containerCache_[index].get() + within, chunk);
        out += chunk;
        offset += chunk;
        size -= chunk;
    }
    return S_OK;
}

HRESULT Document::ReadMiniExtents(const std::vector<Extent>& extents, uint64_t logical, BYTE* out, size_t size) {
    auto it = std::upper_bound(extents.begin(), extents.end(), logical,
                               [](uint64_t value, const Extent& e) { return value < e.logical; });
    if (it == extents.begin()) return STG_E_DOCFILECORRUPT;
    --it;
    while (size > 0) {
        if (it == extents.end() || logical < it->logical || logical >= it->logical + it->length)
            return STG_E_DOCFILECORRUPT;
        uint64_t within = logical - it->logical;
        size_t chunk = size_t(std::min<uint64_t>(size, it->length - within));
        HRESULT hr = ReadContainer(it->offset + within, out, chunk);
        if (FAILED(hr)) return hr;
        out += chunk;
        logical += chunk;
        size -= chunk;
        ++it;
    }
    return S_OK;
}

// ---- Stream contents -----------------------------------------------------------------------

HRESULT Document::ReadOrigin(Node& node, uint64_t offset, BYTE* buffer, size_t size) {
    // Bytes past the original length read as zeros.
    StreamContent& content = node.content;
    size_t fromOrigin = offset >= content.originLength
                            ? 0
                            : size_t(std::min<uint64_t>(size, content.originLength - offset));
    if (fromOrigin) {
        HRESULT hr = ResolveExtents(node);
        if (FAILED(hr)) return hr;
        if (content.originInMini) {
            hr = ReadMiniExtents(content.extents, offset, buffer, fromOrigin);
        } else {
            hr = ReadExtents(*source_, content.extents, offset, buffer, fromOrigin);
        }
        if (FAILED(hr)) return hr;
    }
    if (size > fromOrigin) std::memset(buffer + fromOrigin, 0, size - fromOrigin);
    return S_OK;
}

HRESULT Document::ReadStream(Node& node, uint64_t offset, void* buffer, size_t size, size_t* read) {
    StreamContent& content = node.content;
    *read = 0;
    if (offset >= content.size) return S_OK;
    size = size_t(std::min<uint64_t>(size, content.size - offset));
    BYTE* out = static_cast<BYTE*>(buffer);
    const uint64_t end = offset + size;
    uint64_t at = offset;
    while (at < end) {
        uint64_t index = at / StreamContent::kPageSize;
        uint64_t pageStart = index * StreamContent::kPageSize;
        uint64_t pageEnd = std::min(end, pageStart + StreamContent::kPageSize);
        auto page = content.pages.find(index);
        uint64_t written = page == content.pages.end() ? pageStart : pageStart + page->second.size();
        if (at < written) {
            size_t chunk = size_t(std::min(pageEnd, written) - at);
            std::memcpy(out, page->second.data() + (at - pageStart), chunk);
            out += chunk;
            at += chunk;
        }
        if (at < pageEnd) {
            size_t chunk = size_t(pageEnd - at);
            HRESULT hr = ReadOrigin(node, at, out, chunk);
            if (FAILED(hr)) return hr;
            out += chunk;
            at += chunk;
        }
    }
    *read = size;
    return S_OK;
}

HRESULT Document::WriteStream(Node& node, uint64_t offset, const void* buffer, size_t size) {
    StreamContent& content = node.content;
    const uint64_t limit = majorVersion == 3 ? 0x7FFFFFFFull : (1ull << 44);
    if (offset > limit || size > limit - offset) return STG_E_MEDIUMFULL;
    const BYTE* in = static_cast<const BYTE*>(buffer);
    const uint64_t end = offset + size;
    uint64_t at = offset;
    try {
        while (at < end) {
            uint64_t index = at / StreamContent::kPageSize;
            uint64_t pageStart = index * StreamContent::kPageSize;
            uint64_t pageEnd = std::min(end, pageStart + StreamContent::kPageSize);
            std::vector<BYTE>& page = content.pages[index];
            size_t startInPage = size_t(at - pageStart), endInPage = size_t(pageEnd - pageStart);
            if (page.size() < startInPage) {
                // Fill the gap before the write with what the stream held there.
                size_t old = page.size();
                page.resize(startInPage);
                if (pageStart + old < content.size) {
                    size_t fill = size_t(std::min<uint64_t>(startInPage, content.size - pageStart) - old);
                    HRESULT hr = ReadOrigin(node, pageStart + old, page.data() + old, fill);
                    if (FAILED(hr)) {
                        page.resize(old);
                        if (page.empty()) content.pages.erase(index);
                        return hr;
                    }
                }
            }
            if (page.size() < endInPage) page.resize(endInPage);
            std::memcpy(page.data() + startInPage, in, endInPage - startInPage);
            in += endInPage - startInPage;
            at = pageEnd;
            content.size = std::max(content.size, at);
        }
    } catch (const std::bad_alloc&) {
        return STG_E_INSUFFICIENTMEMORY;
    }
    dirty = true;
    return S_OK;
}

HRESULT Document::ResizeStream(Node& node, uint64_t size) {
    StreamContent& content = node.content;
    const uint64_t limit = majorVersion == 3 ? 0x7FFFFFFFull : (1ull << 44);
    if (size > limit) return STG_E_MEDIUMFULL;
    if (size < content.size) {
        content.originLength = std::min(content.originLength, size);
        uint64_t firstGone = (size + StreamContent::kPageSize - 1) / StreamContent::kPageSize;
        content.pages.erase(content.pages.lower_bound(firstGone), content.pages.end());
        uint64_t lastIndex = size / StreamContent::kPageSize;
        auto last = content.pages.find(lastIndex);
        if (last != content.pages.end()) {
            size_t keep = size_t(size - lastIndex * StreamContent::kPageSize);
            if (last->second.size() > keep) last->second.resize(keep);
        }
    }
    if (size != content.size) dirty = true;
    content.size = size;
    return S_OK;
}

void Document::ClearStream(Node& node) {
    node.content = StreamContent{};
    node.content.extentsResolved = true;
}

}  // namespace platform::storage

namespace platform::storage {

void Document::InstallTable(uint64_t sectorCount, uint32_t fatCount, const BYTE* headerDifat, uint32_t firstDifat,
                            uint32_t difatCount) {
    fat_ = std::make_unique<AllocationTable>(*source_, sectorSize, sectorCount, fatCount, headerDifat, firstDifat,
                                             difatCount);
}

}  // namespace platform::storage
