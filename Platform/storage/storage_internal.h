// The storage service's own model of an open compound file: the source it reads from, the
// allocation tables, the directory, and stream contents as original bytes plus written pages.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "base/guarded.h"
#include "storage/storage.h"

namespace platform::storage {

// ---- Format constants ----------------------------------------------------------------------
inline constexpr uint32_t kMaxRegularSector = 0xFFFFFFFA;
inline constexpr uint32_t kDifatSector = 0xFFFFFFFC;
inline constexpr uint32_t kFatSector = 0xFFFFFFFD;
inline constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr uint32_t kFreeSector = 0xFFFFFFFF;
inline constexpr uint32_t kNoStream = 0xFFFFFFFF;
inline constexpr uint32_t kMiniSectorSize = 64;
inline constexpr uint32_t kMiniStreamCutoff = 4096;
inline constexpr uint32_t kDirectoryEntrySize = 128;
inline constexpr uint32_t kHeaderDifatEntries = 109;
inline constexpr size_t kMaxNameChars = 31;
inline constexpr BYTE kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

inline constexpr BYTE kTypeUnused = 0;
inline constexpr BYTE kTypeStorage = 1;
inline constexpr BYTE kTypeStream = 2;
inline constexpr BYTE kTypeRoot = 5;

inline uint16_t Load16(const BYTE* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Load32(const BYTE* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t Load64(const BYTE* p) { return uint64_t(Load32(p)) | (uint64_t(Load32(p + 4)) << 32); }
inline void Store16(BYTE* p, uint16_t v) {
    p[0] = BYTE(v);
    p[1] = BYTE(v >> 8);
}
inline void Store32(BYTE* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = BYTE(v >> (8 * i));
}
inline void Store64(BYTE* p, uint64_t v) {
    Store32(p, uint32_t(v));
    Store32(p + 4, uint32_t(v >> 32));
}

// Element names order as the directory's sibling trees require: the shorter name first, names
// of equal length by their upper-cased UTF-16 code units.
int CompareNames(const std::u16string& a, const std::u16string& b);
char16_t UpperCaseBeyondAscii(char16_t c);
inline char16_t UpperCase(char16_t c) {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c;
    return UpperCaseBeyondAscii(c);
}

// ---- Where bytes come from -----------------------------------------------------------------
class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly `size` bytes at `offset`: S_OK, or STG_E_DOCFILECORRUPT past the end,
    // STG_E_READFAULT on an I/O error. For the file's structures (header, allocation tables,
    // directory, mini stream), which may come from an image read when the file was opened.
    virtual HRESULT ReadAt(uint64_t offset, void* buffer, size_t size) const = 0;
    // The same for the bytes of a stream outside the mini stream: always what the file holds
    // when they are asked for.
    virtual HRESULT ReadStreamData(uint64_t offset, void* buffer, size_t size) const {
        return ReadAt(offset, buffer, size);
    }
    // The file descriptor behind the source, or -1 for a memory image.
    virtual int Descriptor() const { return -1; }
    // All of the source's bytes when they are held in memory (for its structures), else null.
    virtual const BYTE* Bytes() const { return nullptr; }
};

// Takes the descriptor. The structures of a small file are read in one go when it opens: one
// read costs less than the several they would take one by one.
std::unique_ptr<Source> MakeFileSource(int fd, uint64_t size);
std::unique_ptr<Source> MakeMemorySource(const void* data, size_t size);

// A run of a stream's bytes (from `logical` on) in the source, or, for a stream kept in the
// mini stream, in the mini stream.
struct Extent {
    uint64_t logical;
    uint64_t offset;
    uint64_t length;
};

// A list that keeps its first N elements in place, so short lists cost no allocation.
template <class T, size_t N>
class InlineVector {
public:
    InlineVector() = default;
    InlineVector(const InlineVector& other) { *this = other; }
    InlineVector& operator=(const InlineVector& other) {
        if (this == &other) return *this;
        clear();
        for (const T& value : other) push_back(value);
        return *this;
    }
    InlineVector(InlineVector&& other) noexcept { *this = std::move(other); }
    InlineVector& operator=(InlineVector&& other) noexcept {
        if (this == &other) return *this;
        std::copy(other.inline_, other.inline_ + std::min(other.size_, N), inline_);
        heap_ = std::move(other.heap_);
        size_ = other.size_;
        other.heap_.clear();
        other.size_ = 0;
        return *this;
    }

    void clear() {
        size_ = 0;
        heap_.clear();
    }
    void push_back(const T& value) {
        if (size_ < N) {
            inline_[size_] = value;
        } else {
            if (size_ == N) heap_.assign(inline_, inline_ + N);
            heap_.push_back(value);
        }
        ++size_;
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* begin() { return size_ > N ? heap_.data() : inline_; }
    T* end() { return begin() + size_; }
    const T* begin() const { return size_ > N ? heap_.data() : inline_; }
    const T* end() const { return begin() + size_; }
    T& back() { return begin()[size_ - 1]; }
    const T& operator[](size_t i) const { return begin()[i]; }

private:
    T inline_[N]{};
    std::vector<T> heap_;  // all elements once there are more than N
    size_t size_ = 0;
};

// A stream's extents in order: most small streams lie in one run.
using ExtentList = InlineVector<Extent, 1>;
// The extents of a structure (directory, mini stream, its allocation table).
using StructureExtents = InlineVector<Extent, 8>;

// A stream's bytes: the original bytes in the source (through `extents`, resolved on first
// use) for [0, originLength), overlaid by pages written since the last save. Past the pages
// and past originLength a stream reads zeros up to `size`.
struct StreamContent {
    static constexpr uint64_t kPageSize = 64 * 1024;
    uint64_t size = 0;
    uint64_t originLength = 0;
    bool originInMini = false;
    uint32_t originStart = kEndOfChain;
    bool extentsResolved = false;
    ExtentList extents;
    // Page index -> bytes from the page's start; shorter than a page where nothing was written
    // past its end.
    std::map<uint64_t, std::vector<BYTE>> pages;
};

// Elements that keep their place while more are added: chunks of 32, made as needed.
template <class T>
class StableStore {
public:
    size_t size() const { return size_; }
    void clear() {
        chunks_.clear();
        size_ = 0;
    }
    // Appends a default element; returns its index.
    uint32_t Add() {
        if (size_ % kChunk == 0) chunks_.push_back(std::make_unique<T[]>(kChunk));
        return uint32_t(size_++);
    }
    T& operator[](uint32_t i) { return chunks_[i / kChunk][i % kChunk]; }
    const T& operator[](uint32_t i) const { return chunks_[i / kChunk][i % kChunk]; }

private:
    static constexpr size_t kChunk = 32;
    std::vector<std::unique_ptr<T[]>> chunks_;
    size_t size_ = 0;
};

// ---- The directory -------------------------------------------------------------------------
// What an open file keeps beside each stored directory entry. Elements are named by their
// index, which stays the same while the file is open (new elements are appended). Lists of
// children and stream contents are kept aside, made for the elements that need them.
struct Element {
    uint32_t parent = kNoStream;
    uint32_t childCount = 0;      // storages: children in the stored tree
    uint32_t list = kNoStream;    // storages: their children listed in name order (Directory::List)
    uint32_t content = kNoStream;  // streams: their contents (Directory::ContentAt)
    unsigned openCount = 0;       // IStream/IStorage objects opened on it (clones excluded)
    uint8_t nameLength = 0;       // characters of the name, up to its first null
    bool destroyed = false;       // destroyed or replaced: objects on it are reverted
    bool treeUsable = false;      // storages: the stored sibling tree is sound for look-ups
};

// The directory of an open compound file. The entries are kept as the file stores them, 128
// bytes each in one array; a name is looked up by descending the stored sibling tree of its
// storage, and names, sorted child lists and stream contents are only built when something
// asks for them. A storage whose children change keeps a sorted list of them from then on.
class Directory {
public:
    // Takes the directory's bytes and checks everything reachable from the root: every entry
    // reached once (no cycles, nothing shared), ids in range, sound names, kinds and sizes,
    // and no two children of a storage with the same name. STG_E_DOCFILECORRUPT otherwise.
    HRESULT Load(std::vector<BYTE> bytes, bool sizesAre64Bit, uint64_t sourceSize);
    // A directory holding only the root.
    void InitEmpty();

    uint32_t Count() const { return uint32_t(elements_.size()); }
    Element& At(uint32_t id) { return elements_[id]; }
    const Element& At(uint32_t id) const { return elements_[id]; }
    const BYTE* Entry(uint32_t id) const { return bytes_.data() + size_t(id) * kDirectoryEntrySize; }
    BYTE* Entry(uint32_t id) { return bytes_.data() + size_t(id) * kDirectoryEntrySize; }
    BYTE Type(uint32_t id) const { return Entry(id)[66]; }
    bool IsStorage(uint32_t id) const { return Type(id) == kTypeStorage || Type(id) == kTypeRoot; }
    std::u16string Name(uint32_t id) const;
    // The order of `name` against element `id`'s name (negative: name sorts first).
    int Compare(const char16_t* name, size_t length, uint32_t id) const;
    // Where an element's stream starts and how long it is, as its entry says.
    uint32_t StoredStart(uint32_t id) const { return Load32(Entry(id) + 116); }
    uint64_t StoredSize(uint32_t id) const;

    // The child of `storage` called `name`, or kNoStream.
    uint32_t Find(uint32_t storage, const char16_t* name, size_t length) const;
    // The live children of `storage` in name order (kept until its children change).
    const std::vector<uint32_t>& Children(uint32_t storage);
    // A new element under `storage` (whose children must not already hold `name`).
    uint32_t Add(uint32_t storage, const std::u16string& name, BYTE type);
    // Takes `id` out of its storage's children and marks it and everything below it destroyed.
    void Remove(uint32_t id);
    // Gives `id` a new name (not held by a sibling).
    void Rename(uint32_t id, const std::u16string& name);

    // The contents of element `id`, made empty on first use (`*made` then tells so). Stable
    // while the directory lives.
    StreamContent& ContentAt(uint32_t id, bool* made) {
        *made = elements_[id].content == kNoStream;
        if (*made) elements_[id].content = contents_.Add();
        return contents_[elements_[id].content];
    }

private:
    std::vector<uint32_t> InOrder(uint32_t storage) const;
    std::vector<uint32_t>& List(uint32_t storage);
    uint32_t Link(const BYTE* entry, size_t offset) const { return Load32(entry + offset); }

    std::vector<BYTE> bytes_;
    std::vector<Element> elements_;
    StableStore<std::vector<uint32_t>> lists_;
    StableStore<StreamContent> contents_;
    bool sizesAre64Bit_ = false;
};

// ---- Share locks ---------------------------------------------------------------------------
// What an opener asks for: access it wants, access it denies others.
struct ShareRequest {
    bool read = true;
    bool write = false;
    bool denyRead = false;
    bool denyWrite = false;
};
ShareRequest ShareRequestFromMode(DWORD mode);
// Checks the requested sharing against every other open of the file (in any process, this
// one included) and records this open's own. S_OK, STG_E_SHAREVIOLATION or STG_E_LOCKVIOLATION.
// `fd` must be open for writing when the request is to write.
HRESULT AcquireShareLocks(int fd, const ShareRequest& request);
// Records the same share locks on a new file (nothing else can have it open yet).
HRESULT AnnounceShareLocks(int fd, const ShareRequest& request);
// True when some open of the file behind `fd` (other than `fd`'s own) holds share locks.
bool ShareLocksHeld(int fd);

// ---- The open document ---------------------------------------------------------------------
class AllocationTable;

class Document {
public:
    Document();
    ~Document();

    // Reads header, allocation tables and directory of `source`. STG_E_INVALIDHEADER,
    // STG_E_DOCFILECORRUPT, STG_E_FILEALREADYEXISTS (no signature) or S_OK.
    HRESULT Load(std::unique_ptr<Source> source);
    // Makes an empty document (format version by sector size); `held` is the file it will
    // replace, kept open and locked until the first save.
    void InitEmpty(uint32_t sectorSize, std::unique_ptr<Source> held);

    // A stream element's contents, set up from its entry on first use.
    StreamContent& Content(uint32_t id) {
        bool made = false;
        StreamContent& content = directory.ContentAt(id, &made);
        if (made) SetUpContent(id, content);
        return content;
    }
    // Resolves the stream's original bytes into extents of the source, as far as its chain is
    // sound (reads past the extents fail); fails only when its table cannot be read.
    HRESULT ResolveExtents(uint32_t id);
    // Reads stream bytes [offset, offset+size) clipped to the stream's size.
    HRESULT ReadStream(uint32_t id, uint64_t offset, void* buffer, size_t size, size_t* read);
    HRESULT WriteStream(uint32_t id, uint64_t offset, const void* buffer, size_t size);
    HRESULT ResizeStream(uint32_t id, uint64_t size);

    // Writes the whole image to this file's temporary image beside it and renames it over the
    // file.
    HRESULT Save();

    // References of the COM objects on this document.
    void AddRef() { ++refs_; }
    void Release();

    // The file's path as the file system resolves it (symbolic links followed), for Stat.
    std::string ResolvedPath() const;

    std::recursive_mutex mutex;
    Directory directory;
    std::string path;        // the file (absolute, not itself a symbolic link); empty for memory images
    ShareRequest share;      // this open's own share locks
    bool writable = false;
    bool dirty = false;
    bool deleteOnRelease = false;
    DWORD mode = 0;
    uint32_t sectorSize = 512;
    uint16_t majorVersion = 3;
    uint16_t minorVersion = 0x003E;
    BYTE headerClsid[16]{};

private:
    void SetUpContent(uint32_t id, StreamContent& content);
    HRESULT LoadDirectory();
    HRESULT ResolveMiniContainer();
    HRESULT ReadOrigin(uint32_t id, uint64_t offset, BYTE* buffer, size_t size);
    HRESULT ReadContainer(uint64_t offset, BYTE* out, size_t size);
    HRESULT ReadMiniExtents(const ExtentList& extents, uint64_t logical, BYTE* out, size_t size);
    struct Layout;
    HRESULT WriteImage(int fd, Layout* layout);
    HRESULT WriteStreamBytes(int fd, uint32_t id, uint64_t fileOffset);
    void InstallTable(uint64_t sectorCount, uint32_t fatCount, const BYTE* headerDifat, uint32_t firstDifat,
                      uint32_t difatCount);

    std::atomic<ULONG> refs_{0};
    std::unique_ptr<Source> source_;
    std::unique_ptr<AllocationTable> fat_;
    // The mini stream's allocation table: held whole after a save; otherwise read from the
    // source one table sector at a time, as chains need them.
    HRESULT MiniNext(uint32_t sector, uint32_t* next);
    std::vector<uint32_t> miniFat_;  // the held table
    bool miniFatHeld_ = true;
    StructureExtents miniFatExtents_;  // where the table lies in the source
    uint64_t miniFatEntries_ = 0;
    std::vector<std::unique_ptr<uint32_t[]>> miniFatSectors_;  // its sectors read so far (file sources)
    const BYTE* miniFatInPlace_ = nullptr;  // the table in the source's image, when it lies in one run
    uint32_t firstMiniFatSector_ = kEndOfChain;
    uint32_t firstDirectorySector_ = kEndOfChain;
    bool containerResolved_ = false;
    StructureExtents container_;  // the mini stream's bytes in the source
    std::vector<std::unique_ptr<BYTE[]>> containerCache_;  // its sectors read so far (file sources)
    uint64_t containerSize_ = 0;
    uint32_t containerStart_ = kEndOfChain;
};

// ---- The temporary image of a save (storage_temporary.cpp) ---------------------------------
// The name of the temporary image that saves of the file at `path` write (beside it), so that
// a leftover of a killed save is found by its name. Distinct files have distinct names.
std::string TemporaryImagePath(const std::string& path);
// What lies at a temporary image's name.
enum class LeftoverState {
    kNone,     // nothing (any leftover of a save of the file has been removed)
    kHeld,     // the image of a save that is still running (its share locks are held)
    kForeign,  // a file that no save of this file provably wrote: left as it is
};
// Removes what lies at `temporary` when it is provably the image of a killed save of `path`.
LeftoverState ClearLeftoverImage(const std::string& path, const std::string& temporary);
// The same at the temporary name of `path`. Called with the file open for writing and
// share-exclusive.
void RemoveLeftoverImage(const std::string& path);
// Creates the temporary image of a save of `path`, marked as such, at `temporary`: its
// descriptor, or -1 and the failure (STG_E_SHAREVIOLATION when a running save holds the name,
// STG_E_ACCESSDENIED when another file does).
int CreateTemporaryImage(const std::string& path, const std::string& temporary, HRESULT* result);
// True while `temporary` still names the image behind fd.
bool TemporaryNameLeadsTo(const std::string& temporary, int fd);
// Takes the mark off the image behind fd, once it has become the file.
void UnmarkImage(int fd);
// A failed write's errno as a result code (STG_E_MEDIUMFULL for a full disk).
HRESULT WriteErrorFromErrno(int error);

// Objects on a document (defined in storage_object.cpp).
HRESULT CreateStorageObject(Document* document, uint32_t id, DWORD mode, bool counted, IStorage** storage);

// The Linux name of a UTF-16 path (base/native_name.h); false when it maps to none.
bool PathFromWide(const WCHAR* wide, std::string* path);

// Runs an operation's body so that no exception leaves it: allocation failures become
// STG_E_INSUFFICIENTMEMORY.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
    return RunGuarded<HRESULT>(STG_E_INSUFFICIENTMEMORY, E_UNEXPECTED, body);
}

}  // namespace platform::storage
