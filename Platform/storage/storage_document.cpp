// Reading a compound file: the allocation tables, the directory and stream contents (its sources
// are in storage_source.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

#include "base/fault.h"
#include "storage/storage_internal.h"

namespace platform::storage {

namespace {

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

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
          bytes_(source.Bytes()),
          sourceSize_(source.Size()) {
        // Table sectors are copied only from a file; in memory they are read where they lie.
        if (!bytes_) sectors_.resize(fatCount);
        locations_.reserve(std::min(fatCount, kHeaderDifatEntries));
        for (uint32_t i = 0; i < std::min(fatCount, kHeaderDifatEntries); ++i)
            locations_.push_back(Load32(headerDifat + 4 * i));
    }

    uint64_t SectorCount() const { return sectorCount_; }
    uint64_t SectorOffset(uint32_t sector) const { return (uint64_t(sector) + 1) * sectorSize_; }

    // The sector after `sector` in its chain (the raw table entry).
    HRESULT Next(uint32_t sector, uint32_t* next) {
        uint32_t index = sector / perSector_;
        if (index >= fatCount_) return STG_E_DOCFILECORRUPT;
        if (bytes_) {
            // The source is in memory: the entry is read where it lies.
            uint32_t location;
            HRESULT hr = Location(index, &location);
            if (FAILED(hr)) return hr;
            const uint64_t offset = SectorOffset(location);
            if (offset > sourceSize_ || sectorSize_ > sourceSize_ - offset) return STG_E_DOCFILECORRUPT;
            *next = Load32(bytes_ + offset + 4 * (sector % perSector_));
            return S_OK;
        }
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
    const BYTE* bytes_;
    uint64_t sourceSize_;
};

namespace {

struct SectorRun {
    uint32_t first;
    uint32_t count;
};

// Walks a chain of regular sectors. With `needed` set, exactly that many sectors are taken (a
// chain that ends sooner is damaged); otherwise the chain runs to its end mark. Every sector
// must lie in the file, and no sector may appear twice (a cycle or a chain crossing itself).
using SectorRuns = InlineVector<SectorRun, 16>;

HRESULT WalkChain(AllocationTable& fat, uint32_t start, bool untilEnd, uint64_t needed, SectorRuns* runs) {
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
    if (runs->size() < 2) return S_OK;  // one run of consecutive sectors cannot cross itself
    SectorRuns sorted(*runs);
    std::sort(sorted.begin(), sorted.end(),
              [](const SectorRun& a, const SectorRun& b) { return a.first < b.first; });
    for (size_t i = 1; i < sorted.size(); ++i)
        if (uint64_t(sorted[i - 1].first) + sorted[i - 1].count > sorted[i].first)
            return STG_E_DOCFILECORRUPT;
    return S_OK;
}

// Cuts a chain's runs (in chain order) before the first sector that appears a second time.
void CutAtFirstRepeat(SectorRuns* runs) {
    if (runs->size() < 2) return;  // one run of consecutive sectors cannot cross itself
    {
        // The usual case, a chain that never crosses itself, costs one sort.
        SectorRuns sorted(*runs);
        std::sort(sorted.begin(), sorted.end(),
                  [](const SectorRun& a, const SectorRun& b) { return a.first < b.first; });
        bool crossed = false;
        for (size_t i = 1; i < sorted.size() && !crossed; ++i)
            crossed = uint64_t(sorted[i - 1].first) + sorted[i - 1].count > sorted[i].first;
        if (!crossed) return;
    }
    // The sectors seen so far, as disjoint runs: first sector -> one past the last.
    std::map<uint32_t, uint64_t> seen;
    SectorRuns kept;
    for (const SectorRun& run : *runs) {
        const uint64_t end = uint64_t(run.first) + run.count;
        uint64_t repeat = UINT64_MAX;  // the run's first sector seen before
        auto after = seen.upper_bound(run.first);
        if (after != seen.begin() && std::prev(after)->second > run.first) repeat = run.first;
        else if (after != seen.end() && after->first < end) repeat = after->first;
        if (repeat != UINT64_MAX) {
            if (repeat > run.first) kept.push_back({run.first, uint32_t(repeat - run.first)});
            break;
        }
        seen.emplace(run.first, end);
        kept.push_back(run);
    }
    *runs = std::move(kept);
}

// Walks the chain of a stream of `needed` sectors as far as it is sound: up to the first sector
// that is out of range, unreadable in the table or already part of the chain. A damaged chain
// gives fewer runs, not an error (reads fail where it breaks); errors are I/O failures only.
HRESULT WalkStreamChain(AllocationTable& fat, uint32_t start, uint64_t needed, SectorRuns* runs) {
    runs->clear();
    const uint64_t limit = fat.SectorCount();
    // A chain longer than the file has sectors repeats itself by then.
    const uint64_t bound = std::min(needed, limit);
    uint32_t sector = start;
    for (uint64_t taken = 0; taken < bound;) {
        if (sector > kMaxRegularSector || sector >= limit) break;
        if (!runs->empty() && runs->back().first + runs->back().count == sector)
            ++runs->back().count;
        else
            runs->push_back({sector, 1});
        if (++taken == bound) break;
        HRESULT hr = fat.Next(sector, &sector);
        if (hr == STG_E_DOCFILECORRUPT) break;
        if (FAILED(hr)) return hr;
    }
    CutAtFirstRepeat(runs);
    return S_OK;
}

// Converts sector runs to byte extents holding `length` bytes (all of them when length is the
// runs' full size), checking that those bytes exist in the source. With `soundPart`, runs that
// hold fewer bytes, or lie partly past the source's end, give the extents of what they hold.
template <class Extents>
HRESULT RunsToExtents(const AllocationTable& fat, uint32_t sectorSize, const SectorRuns& runs, uint64_t length,
                      uint64_t sourceSize, Extents* extents, bool soundPart = false) {
    extents->clear();
    uint64_t logical = 0;
    for (const SectorRun& run : runs) {
        if (logical >= length) break;
        uint64_t bytes = std::min<uint64_t>(uint64_t(run.count) * sectorSize, length - logical);
        uint64_t offset = fat.SectorOffset(run.first);
        if (offset > sourceSize || bytes > sourceSize - offset) {
            if (!soundPart) return STG_E_DOCFILECORRUPT;
            if (offset < sourceSize) extents->push_back({logical, offset, sourceSize - offset});
            return S_OK;
        }
        extents->push_back({logical, offset, bytes});
        logical += bytes;
    }
    return logical == length || soundPart ? S_OK : STG_E_DOCFILECORRUPT;
}

// Reads [logical, logical+size) of bytes laid out in `extents`, each piece with
// read(offset, out, bytes).
template <class Extents, class ReadPiece>
HRESULT ReadThroughExtents(const Extents& extents, uint64_t logical, BYTE* out, size_t size, ReadPiece read) {
    auto it = std::upper_bound(extents.begin(), extents.end(), logical,
                               [](uint64_t value, const Extent& e) { return value < e.logical; });
    if (it == extents.begin()) return STG_E_DOCFILECORRUPT;
    --it;
    while (size > 0) {
        if (it == extents.end() || logical < it->logical || logical >= it->logical + it->length)
            return STG_E_DOCFILECORRUPT;
        uint64_t within = logical - it->logical;
        size_t chunk = size_t(std::min<uint64_t>(size, it->length - within));
        HRESULT hr = read(it->offset + within, out, chunk);
        if (FAILED(hr)) return hr;
        out += chunk;
        logical += chunk;
        size -= chunk;
        ++it;
    }
    return S_OK;
}

// Reads [logical, logical+size) of bytes laid out in `extents`: a structure's, or with
// `streamData` a stream's own.
template <class Extents>
HRESULT ReadExtents(const Source& source, const Extents& extents, uint64_t logical,
                    BYTE* out, size_t size, bool streamData = false) {
    return ReadThroughExtents(extents, logical, out, size, [&](uint64_t offset, BYTE* into, size_t bytes) {
        return streamData ? source.ReadStreamData(offset, into, bytes) : source.ReadAt(offset, into, bytes);
    });
}

// Reads a structure's bytes, all of `extents`, into `out`. From an image they are copied as
// they lie; from a file, scattered pieces (a directory written in many places) are read in one
// go over the span they cover when that span is not much larger than the pieces.
HRESULT ReadStructure(const Source& source, const StructureExtents& extents, uint64_t bytes, std::vector<BYTE>* out) {
    out->clear();
    if (const BYTE* image = source.Bytes()) {
        // The extents were checked against the source's size.
        out->reserve(size_t(bytes));
        for (const Extent& extent : extents) out->insert(out->end(), image + extent.offset, image + extent.offset + extent.length);
        return S_OK;
    }
    uint64_t first = UINT64_MAX, last = 0;
    for (const Extent& extent : extents) {
        first = std::min(first, extent.offset);
        last = std::max(last, extent.offset + extent.length);
    }
    const uint64_t span = extents.empty() ? 0 : last - first;
    if (extents.size() < 2 || span > 4 * bytes + (64 << 10) || span > (16u << 20)) {
        out->resize(size_t(bytes));
        return ReadExtents(source, extents, 0, out->data(), out->size());
    }
    // Filled by the read, so not cleared first.
    auto window = std::make_unique_for_overwrite<BYTE[]>(size_t(span));
    HRESULT hr = source.ReadAt(first, window.get(), size_t(span));
    if (FAILED(hr)) return hr;
    out->reserve(size_t(bytes));
    for (const Extent& extent : extents) {
        const BYTE* from = window.get() + (extent.offset - first);
        out->insert(out->end(), from, from + extent.length);
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
    directory.InitEmpty();
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

    // The mini stream's allocation table: its chain is checked now, its entries are read when
    // chains need them.
    miniFat_.clear();
    miniFatHeld_ = true;
    if (firstMiniFatSector_ != kEndOfChain) {
        SectorRuns runs;
        hr = WalkChain(*fat_, firstMiniFatSector_, true, 0, &runs);
        if (FAILED(hr)) return hr;
        uint64_t bytes = 0;
        for (const SectorRun& run : runs) bytes += uint64_t(run.count) * sectorSize;
        hr = RunsToExtents(*fat_, sectorSize, runs, bytes, fileSize, &miniFatExtents_);
        if (FAILED(hr)) return hr;
        miniFatEntries_ = bytes / 4;
        miniFatHeld_ = false;
        miniFatSectors_.clear();
        miniFatInPlace_ = nullptr;
        if (!source_->Bytes()) miniFatSectors_.resize(size_t(bytes / sectorSize));
        else if (miniFatExtents_.size() == 1) miniFatInPlace_ = source_->Bytes() + miniFatExtents_[0].offset;
    }
    return LoadDirectory();
}

HRESULT Document::LoadDirectory() {
    SectorRuns runs;
    HRESULT hr = WalkChain(*fat_, firstDirectorySector_, true, 0, &runs);
    if (FAILED(hr)) return hr;
    if (runs.empty()) return STG_E_DOCFILECORRUPT;
    uint64_t bytes = 0;
    for (const SectorRun& run : runs) bytes += uint64_t(run.count) * sectorSize;
    StructureExtents extents;
    hr = RunsToExtents(*fat_, sectorSize, runs, bytes, source_->Size(), &extents);
    if (FAILED(hr)) return hr;
    std::vector<BYTE> raw;
    hr = ReadStructure(*source_, extents, bytes, &raw);
    if (FAILED(hr)) return hr;
    hr = directory.Load(std::move(raw), majorVersion != 3, source_->Size());
    if (FAILED(hr)) return hr;
    containerStart_ = directory.StoredStart(0);
    containerSize_ = directory.StoredSize(0);
    return S_OK;
}

void Document::SetUpContent(uint32_t id, StreamContent& content) {
    if (directory.Type(id) == kTypeStream) {
        content.size = content.originLength = directory.StoredSize(id);
        content.originStart = directory.StoredStart(id);
        content.originInMini = content.size < kMiniStreamCutoff;
    }
    content.extentsResolved = content.size == 0;
}

HRESULT Document::ResolveMiniContainer() {
    if (containerResolved_) return S_OK;
    // As far as its chain is sound: mini streams that lie before a break read as ever.
    SectorRuns runs;
    HRESULT hr = WalkStreamChain(*fat_, containerStart_, CeilDiv(containerSize_, sectorSize), &runs);
    if (FAILED(hr)) return hr;
    hr = RunsToExtents(*fat_, sectorSize, runs, containerSize_, source_->Size(), &container_, true);
    if (FAILED(hr)) return hr;
    containerResolved_ = true;
    return S_OK;
}

HRESULT Document::ResolveExtents(uint32_t id) {
    StreamContent& content = Content(id);
    if (content.extentsResolved) return S_OK;
    const uint64_t length = content.originLength;
    HRESULT hr;
    // The extents cover the stream as far as its chain is sound; a read past them fails
    // (STG_E_DOCFILECORRUPT), one before them reads as ever.
    if (!content.originInMini) {
        SectorRuns runs;
        hr = WalkStreamChain(*fat_, content.originStart, CeilDiv(length, sectorSize), &runs);
        if (FAILED(hr)) return hr;
        hr = RunsToExtents(*fat_, sectorSize, runs, length, source_->Size(), &content.extents, true);
        if (FAILED(hr)) return hr;
    } else {
        hr = ResolveMiniContainer();
        if (FAILED(hr)) return hr;
        const uint64_t needed = CeilDiv(length, kMiniSectorSize);
        const uint64_t miniCount = containerSize_ / kMiniSectorSize;
        // The chain as far as it is sound: up to a sector outside the mini stream, an entry the
        // table cannot give, or a sector already taken (a cycle, or a chain crossing itself).
        // A mini stream is shorter than the cut-off, so it has at most 64 sectors, and chains
        // mostly run on from sector to sector: the sectors taken are kept as runs, which a new
        // sector is checked against.
        struct Run {
            uint32_t first;
            uint32_t count;
        };
        Run runsInline[kMiniStreamCutoff / kMiniSectorSize];
        std::vector<Run> runsMore;
        Run* runs = runsInline;
        if (needed > std::size(runsInline)) {
            runsMore.resize(size_t(needed));
            runs = runsMore.data();
        }
        size_t runCount = 0;
        uint32_t sector = content.originStart;
        uint64_t taken = 0;
        hr = S_OK;
        while (taken < needed) {
            const uint64_t bytes = std::min<uint64_t>(kMiniSectorSize, length - taken * kMiniSectorSize);
            if (sector >= miniCount || uint64_t(sector) * kMiniSectorSize + bytes > containerSize_) break;
            bool takenBefore = false;
            for (size_t r = 0; r < runCount && !takenBefore; ++r) takenBefore = sector - runs[r].first < runs[r].count;
            if (takenBefore) break;
            if (runCount && runs[runCount - 1].first + runs[runCount - 1].count == sector)
                ++runs[runCount - 1].count;
            else
                runs[runCount++] = Run{sector, 1};
            if (++taken == needed) break;
            if (!miniFatHeld_ && miniFatInPlace_ && sector < miniFatEntries_) {  // MiniNext's commonest road
                sector = Load32(miniFatInPlace_ + 4 * size_t(sector));
                continue;
            }
            hr = MiniNext(sector, &sector);
            if (FAILED(hr)) break;
        }
        if (FAILED(hr) && hr != STG_E_DOCFILECORRUPT) return hr;
        // Mini streams' extents are offsets in the mini stream, read through its cache.
        ExtentList& extents = content.extents;  // trusted only once extentsResolved is set
        extents.clear();
        uint64_t logical = 0;
        for (size_t r = 0; r < runCount; ++r) {
            const uint64_t bytes = std::min<uint64_t>(uint64_t(runs[r].count) * kMiniSectorSize, length - logical);
            extents.push_back({logical, uint64_t(runs[r].first) * kMiniSectorSize, bytes});
            logical += bytes;
        }
    }
    content.extentsResolved = true;
    return S_OK;
}

HRESULT Document::MiniNext(uint32_t sector, uint32_t* next) {
    if (miniFatHeld_) {
        if (sector >= miniFat_.size()) return STG_E_DOCFILECORRUPT;
        *next = miniFat_[sector];
        return S_OK;
    }
    if (sector >= miniFatEntries_) return STG_E_DOCFILECORRUPT;
    if (miniFatInPlace_) {
        *next = Load32(miniFatInPlace_ + 4 * size_t(sector));
        return S_OK;
    }
    const uint64_t logical = uint64_t(sector) * 4;
    if (const BYTE* image = source_->Bytes()) {
        // The extents were checked against the image's size.
        for (const Extent& extent : miniFatExtents_)
            if (logical >= extent.logical && logical < extent.logical + extent.length) {
                *next = Load32(image + extent.offset + (logical - extent.logical));
                return S_OK;
            }
        return STG_E_DOCFILECORRUPT;
    }
    const size_t index = size_t(logical / sectorSize);
    if (!miniFatSectors_[index]) {
        std::vector<BYTE> raw(sectorSize);
        HRESULT hr = ReadExtents(*source_, miniFatExtents_, uint64_t(index) * sectorSize, raw.data(), raw.size());
        if (FAILED(hr)) return hr;
        auto entries = std::make_unique<uint32_t[]>(sectorSize / 4);
        for (uint32_t i = 0; i < sectorSize / 4; ++i) entries[i] = Load32(raw.data() + 4 * i);
        miniFatSectors_[index] = std::move(entries);
    }
    *next = miniFatSectors_[index][logical % sectorSize / 4];
    return S_OK;
}

// ---- The mini stream, cached one sector at a time -------------------------------------------

HRESULT Document::ReadContainer(uint64_t offset, BYTE* out, size_t size) {
    HRESULT hr = ResolveMiniContainer();
    if (FAILED(hr)) return hr;
    if (offset > containerSize_ || size > containerSize_ - offset) return STG_E_DOCFILECORRUPT;
    // The container's chain may break before its end: what lies past the break fails to read.
    const uint64_t sound = container_.empty() ? 0 : container_.back().logical + container_.back().length;
    if (offset > sound || size > sound - offset) return STG_E_DOCFILECORRUPT;
    // A source in memory needs no cache of its own.
    if (source_->Bytes()) return ReadExtents(*source_, container_, offset, out, size);
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

HRESULT Document::ReadMiniExtents(const ExtentList& extents, uint64_t logical, BYTE* out, size_t size) {
    return ReadThroughExtents(extents, logical, out, size, [this](uint64_t offset, BYTE* into, size_t bytes) {
        return ReadContainer(offset, into, bytes);
    });
}

// ---- Stream contents -----------------------------------------------------------------------

HRESULT Document::ReadOrigin(uint32_t id, uint64_t offset, BYTE* buffer, size_t size) {
    // Bytes past the original length read as zeros.
    StreamContent& content = Content(id);
    size_t fromOrigin = offset >= content.originLength
                            ? 0
                            : size_t(std::min<uint64_t>(size, content.originLength - offset));
    if (fromOrigin) {
        HRESULT hr = ResolveExtents(id);
        if (FAILED(hr)) return hr;
        if (content.originInMini) {
            hr = ReadMiniExtents(content.extents, offset, buffer, fromOrigin);
        } else {
            hr = ReadExtents(*source_, content.extents, offset, buffer, fromOrigin, true);
        }
        if (FAILED(hr)) return hr;
    }
    if (size > fromOrigin) std::memset(buffer + fromOrigin, 0, size - fromOrigin);
    return S_OK;
}

HRESULT Document::ReadStream(uint32_t id, uint64_t offset, void* buffer, size_t size, size_t* read) {
    StreamContent& content = Content(id);
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
            HRESULT hr = ReadOrigin(id, at, out, chunk);
            if (FAILED(hr)) return hr;
            out += chunk;
            at += chunk;
        }
    }
    *read = size;
    return S_OK;
}

HRESULT Document::WriteStream(uint32_t id, uint64_t offset, const void* buffer, size_t size) {
    StreamContent& content = Content(id);
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
                    HRESULT hr = ReadOrigin(id, pageStart + old, page.data() + old, fill);
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

HRESULT Document::ResizeStream(uint32_t id, uint64_t size) {
    StreamContent& content = Content(id);
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

}  // namespace platform::storage

namespace platform::storage {

void Document::InstallTable(uint64_t sectorCount, uint32_t fatCount, const BYTE* headerDifat, uint32_t firstDifat,
                            uint32_t difatCount) {
    fat_ = std::make_unique<AllocationTable>(*source_, sectorSize, sectorCount, fatCount, headerDifat, firstDifat,
                                             difatCount);
}

}  // namespace platform::storage
