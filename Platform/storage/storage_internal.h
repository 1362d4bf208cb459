// The storage service's own model of an open compound file: the source it reads from, the
// allocation tables, the element tree, and stream contents as original bytes plus written pages.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
char16_t UpperCase(char16_t c);
// The upper-cased name: keys of equal length compare as plain code-unit strings.
std::u16string NameKey(const std::u16string& name);
inline bool KeyLess(const std::u16string& a, const std::u16string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// ---- Where bytes come from -----------------------------------------------------------------
class Source {
public:
    virtual ~Source() = default;
    virtual uint64_t Size() const = 0;
    // Reads exactly `size` bytes at `offset`: S_OK, or STG_E_DOCFILECORRUPT past the end,
    // STG_E_READFAULT on an I/O error.
    virtual HRESULT ReadAt(uint64_t offset, void* buffer, size_t size) const = 0;
    // The file descriptor behind the source, or -1 for a memory image.
    virtual int Descriptor() const { return -1; }
};

std::unique_ptr<Source> MakeFileSource(int fd, uint64_t size);  // takes the descriptor
std::unique_ptr<Source> MakeMemorySource(const void* data, size_t size);

// A run of a stream's bytes (from `logical` on) in the source, or, for a stream kept in the
// mini stream, in the mini stream.
struct Extent {
    uint64_t logical;
    uint64_t offset;
    uint64_t length;
};

// ---- The element tree ----------------------------------------------------------------------
struct Node;
using NodePtr = std::shared_ptr<Node>;

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
    std::vector<Extent> extents;
    // Page index -> bytes from the page's start; shorter than a page where nothing was written
    // past its end.
    std::map<uint64_t, std::vector<BYTE>> pages;
};

struct Node {
    std::u16string name;
    std::u16string key;  // NameKey(name), kept with it (SetName)
    BYTE type = kTypeStream;
    CLSID clsid{};
    DWORD stateBits = 0;
    FILETIME ctime{};
    FILETIME mtime{};
    // The name field as the file held it (kept byte for byte while the name is unchanged).
    BYTE rawName[64]{};
    uint16_t rawNameLength = 0;
    bool rawNameValid = false;

    Node* parent = nullptr;
    std::vector<NodePtr> children;  // storages: sorted by CompareNames
    StreamContent content;           // streams

    unsigned openCount = 0;  // IStream/IStorage objects opened on it (clones excluded)
    bool destroyed = false;  // destroyed or replaced: objects on it are reverted

    bool IsStorage() const { return type == kTypeStorage || type == kTypeRoot; }
    void SetName(std::u16string newName) {
        key = NameKey(newName);
        name = std::move(newName);
    }
    // The child with this name, or children.end().
    std::vector<NodePtr>::iterator Find(const std::u16string& childName);
    void Insert(NodePtr child);
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
HRESULT AcquireShareLocks(int fd, const ShareRequest& request);
// Records the same share locks on a new file (nothing else can have it open yet).
HRESULT AnnounceShareLocks(int fd, const ShareRequest& request);

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

    // Resolves the stream's original bytes into extents of the source (chain walk, checked).
    HRESULT ResolveExtents(Node& node);
    // Reads stream bytes [offset, offset+size) clipped to the stream's size.
    HRESULT ReadStream(Node& node, uint64_t offset, void* buffer, size_t size, size_t* read);
    HRESULT WriteStream(Node& node, uint64_t offset, const void* buffer, size_t size);
    HRESULT ResizeStream(Node& node, uint64_t size);
    // Drops a stream's contents (a replaced or destroyed stream).
    static void ClearStream(Node& node);

    // Writes the whole image to a temporary file beside `path_` and renames it over the file.
    HRESULT Save();

    // References of the COM objects on this document.
    void AddRef() { ++refs_; }
    void Release();

    std::recursive_mutex mutex;
    NodePtr root;
    std::string path;        // the file (symbolic links resolved); empty for memory images
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
    HRESULT LoadDirectory();
    HRESULT ResolveMiniContainer();
    HRESULT ReadOrigin(Node& node, uint64_t offset, BYTE* buffer, size_t size);
    HRESULT ReadContainer(uint64_t offset, BYTE* out, size_t size);
    HRESULT ReadMiniExtents(const std::vector<Extent>& extents, uint64_t logical, BYTE* out, size_t size);
    struct Layout;
    HRESULT WriteImage(int fd, Layout* layout);
    HRESULT WriteStreamBytes(int fd, Node& node, uint64_t fileOffset);
    void InstallTable(uint64_t sectorCount, uint32_t fatCount, const BYTE* headerDifat, uint32_t firstDifat,
                      uint32_t difatCount);

    std::atomic<ULONG> refs_{0};
    std::unique_ptr<Source> source_;
    std::unique_ptr<AllocationTable> fat_;
    std::vector<uint32_t> miniFat_;
    uint32_t firstMiniFatSector_ = kEndOfChain;
    uint32_t firstDirectorySector_ = kEndOfChain;
    bool containerResolved_ = false;
    std::vector<Extent> container_;  // the mini stream's bytes in the source
    std::vector<std::unique_ptr<BYTE[]>> containerCache_;  // its sectors read so far
    uint64_t containerSize_ = 0;
    uint32_t containerStart_ = kEndOfChain;
};

// Objects on a document (defined in storage_objects.cpp).
HRESULT CreateStorageObject(Document* document, NodePtr node, DWORD mode, bool counted,
                            IStorage** storage);

// UTF-16 path to the file system's UTF-8.
bool PathFromWide(const WCHAR* wide, std::string* path);

}  // namespace platform::storage
