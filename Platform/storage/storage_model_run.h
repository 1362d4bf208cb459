// Tests and fuzzing only: random operations on a compound file, done on the platform's
// structured storage and on the plain model (storage_model.h) alike, with every result, read and
// listing compared, the saved file read back after each Commit, and the file reopened.
//
//   storage_model::SeededChoices choices(seed);
//   storage_model::Run run(choices, folder, 512);
//   if (!run.Go(40) || !run.Close()) report(run.Failure());
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/comptr.h"
#include "platform_testing.h"
#include "storage/storage_model.h"
#include "windows.h"

namespace storage_model {

inline uint32_t Crc32(const std::vector<BYTE>& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (BYTE b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

// A number from the environment (a test's or fuzzer's setting), or the fallback.
inline uint64_t Setting(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

// A model test's number of sequences: a fifth of the optimised build's under the sanitizers,
// which run each sequence several times slower.
constexpr uint64_t DefaultSequences(uint64_t optimised) {
#if defined(__SANITIZE_ADDRESS__)
    return optimised / 5;
#else
    return optimised;
#endif
}

inline std::string HexOf(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        const unsigned c = static_cast<const BYTE*>(data)[i];
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A printable form of a name for the operation log.
inline std::string Shown(const std::u16string& name) { return "\"" + Utf8(name) + "\""; }

inline std::vector<BYTE> FileBytes(const std::string& path) {
    std::vector<BYTE> out;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0) return out;
    if (::fstat(fd, &st) == 0) {
        out.resize(size_t(st.st_size));
        size_t done = 0;
        while (done < out.size()) {
            const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
            if (got <= 0) break;
            done += size_t(got);
        }
        out.resize(done);
    }
    ::close(fd);
    return out;
}

// Sizes on and around the boundaries where a stream's storage changes: mini sectors, sectors of
// both versions, the mini-stream cut-off, the 64 KB pages of written bytes.
inline uint64_t BoundarySize(Choices& choices) {
    static constexpr uint64_t kBoundaries[] = {0, 64, 512, 4096, 8192, 65536, 131072};
    const uint64_t boundary = kBoundaries[choices.Below(std::size(kBoundaries))];
    const int64_t delta = int64_t(choices.Below(7)) - 3;
    return uint64_t(std::max<int64_t>(0, int64_t(boundary) + delta));
}

// What a run did, to tell a run that tests something from one that does not.
struct Tally {
    uint64_t operations = 0, failedAsExpected = 0, bytesWritten = 0, bytesRead = 0, listings = 0, saves = 0,
             reopens = 0;
    void Add(const Tally& other) {
        operations += other.operations;
        failedAsExpected += other.failedAsExpected;
        bytesWritten += other.bytesWritten;
        bytesRead += other.bytesRead;
        listings += other.listings;
        saves += other.saves;
        reopens += other.reopens;
    }
};

class Run {
public:
    static constexpr uint64_t kMaxStreamSize = 200 * 1024;
    static constexpr size_t kMaxHandles = 3;

    // Makes the file `name` in `folder`: a new one of `sectorSize`-byte sectors, or a copy of
    // `base` (a compound file's bytes) when given.
    Run(Choices& choices, const std::string& folder, unsigned sectorSize, const std::vector<BYTE>& base = {})
        : choices_(choices), folder_(folder) {
        const std::u16string name = u"m\u00f6del \u20ac.msg";
        path_ = folder + "/" + Utf8(name);
        for (char c : folder) widePath_.push_back(char16_t(static_cast<unsigned char>(c)));  // an ASCII folder
        widePath_ += u"/" + name;
        model_ = std::make_shared<Node>();
        model_->storage = true;
        if (base.empty()) {
            platform::testing::SetNewDocfileSectorSize(sectorSize);
            const HRESULT hr = StgCreateDocfile(Wide(), STGM_CREATE | kWrite, 0, root_.Put());
            if (hr != S_OK) Fail("StgCreateDocfile gave " + Code(hr));
            Log("new file, sectors of " + std::to_string(sectorSize));
            return;
        }
        {
            std::ofstream out(path_, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(base.data()), std::streamsize(base.size()));
        }
        ::chmod(path_.c_str(), 0644);
        HRESULT hr = StgOpenStorage(Wide(), nullptr, kWrite, nullptr, 0, root_.Put());
        if (hr != S_OK) {
            Fail("opening the base file gave " + Code(hr));
            return;
        }
        Log("a copy of a file of " + std::to_string(base.size()) + " bytes");
        if (!Load(root_.Get(), *model_, 0)) Fail("the base file cannot be read whole");
    }

    const std::string& Path() const { return path_; }
    const Tally& Counts() const { return tally_; }
    bool Ok() const { return failure_.empty(); }
    // The first difference from the model, with the operations that led to it.
    std::string Failure() const {
        std::string out = failure_ + "\noperations:\n";
        for (const std::string& line : log_) out += "  " + line + "\n";
        return out;
    }

    // Runs up to `steps` operations (fewer when the choices run dry); false on a difference.
    bool Go(unsigned steps) {
        for (unsigned i = 0; i < steps && Ok() && !choices_.Exhausted(); ++i) Step();
        return Ok();
    }

    // Releases everything (the release saves), checks the file and reopens it for reading.
    bool Close() {
        if (!Ok()) return false;
        Reopen(false);
        return Ok();
    }

    // The model's tree in the form olefile_dump.py prints, without the two times: kind, path,
    // class, state bits, size, CRC-32.
    std::vector<std::string> ExpectedDump() const {
        std::vector<std::string> lines;
        lines.push_back(DumpLine("root", ".", *model_));
        DumpInto(*model_, "", lines);
        std::sort(lines.begin(), lines.end());
        return lines;
    }

private:
    static constexpr DWORD kWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    static constexpr DWORD kReadChild = STGM_READ | STGM_SHARE_EXCLUSIVE;

    struct Handle {
        std::shared_ptr<Node> node;
        platform::ComPtr<IStream> stream;
    };
    using StorageList = std::vector<std::pair<std::vector<std::u16string>, std::shared_ptr<Node>>>;

    const WCHAR* Wide() const { return reinterpret_cast<const WCHAR*>(widePath_.c_str()); }

    static std::string Code(HRESULT hr) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
        return text;
    }
    void Fail(const std::string& what) {
        if (failure_.empty()) failure_ = what;
    }
    void Log(const std::string& line) { log_.push_back(line); }
    bool Expect(HRESULT got, HRESULT expected, const std::string& what) {
        if (got == expected) {
            if (FAILED(got)) ++tally_.failedAsExpected;
            return true;
        }
        Fail(what + ": " + Code(got) + ", the model says " + Code(expected));
        return false;
    }

    // ---- Reading a tree into the model, and comparing trees with it ----

    bool Load(IStorage* storage, Node& node, int depth) {
        if (depth > 16) return false;
        platform::ComPtr<IEnumSTATSTG> elements;
        if (storage->EnumElements(0, nullptr, 0, elements.Put()) != S_OK) return false;
        STATSTG self{};
        if (storage->Stat(&self, STATFLAG_NONAME) != S_OK) return false;
        node.clsid = self.clsid;
        node.stateBits = self.grfStateBits;
        STATSTG stat;
        while (elements->Next(1, &stat, nullptr) == S_OK) {
            std::u16string name(reinterpret_cast<const char16_t*>(stat.pwcsName));
            CoTaskMemFree(stat.pwcsName);
            auto child = AddChild(node, name, stat.type == STGTY_STORAGE);
            if (child->storage) {
                platform::ComPtr<IStorage> sub;
                if (storage->OpenStorage(Wide(name), nullptr, kReadChild, nullptr, 0, sub.Put()) != S_OK) return false;
                if (!Load(sub.Get(), *child, depth + 1)) return false;
            } else {
                platform::ComPtr<IStream> stream;
                if (storage->OpenStream(Wide(name), nullptr, kReadChild, 0, stream.Put()) != S_OK) return false;
                child->data.resize(size_t(stat.cbSize.QuadPart));
                ULONG got = 0;
                if (stream->Read(child->data.data(), ULONG(child->data.size()), &got) != S_OK ||
                    got != child->data.size())
                    return false;
            }
        }
        return true;
    }

    static const WCHAR* Wide(const std::u16string& text) { return reinterpret_cast<const WCHAR*>(text.c_str()); }

    // The listing of `storage` against the model's children of `node`: names, kinds, sizes,
    // classes and state bits, in the directory's order.
    bool CompareListing(IStorage* storage, const Node& node, const std::string& where) {
        ++tally_.listings;
        platform::ComPtr<IEnumSTATSTG> elements;
        if (!Expect(storage->EnumElements(0, nullptr, 0, elements.Put()), S_OK, "EnumElements " + where)) return false;
        const auto expected = node.Sorted();
        size_t index = 0;
        STATSTG stat;
        HRESULT hr;
        while ((hr = elements->Next(1, &stat, nullptr)) == S_OK) {
            std::u16string name(reinterpret_cast<const char16_t*>(stat.pwcsName));
            CoTaskMemFree(stat.pwcsName);
            if (index >= expected.size()) {
                Fail("listing " + where + ": " + Shown(name) + " is not in the model");
                return false;
            }
            const Node& child = *expected[index++];
            const std::string at = "listing " + where + " at " + Shown(child.name) + ": ";
            if (name != child.name) {
                Fail(at + "found " + Shown(name));
                return false;
            }
            if ((stat.type == STGTY_STORAGE) != child.storage) {
                Fail(at + "the kind differs");
                return false;
            }
            if (!child.storage && stat.cbSize.QuadPart != child.data.size()) {
                Fail(at + "size " + std::to_string(stat.cbSize.QuadPart) + ", the model says " +
                     std::to_string(child.data.size()));
                return false;
            }
            if (child.storage && (std::memcmp(&stat.clsid, &child.clsid, sizeof(CLSID)) != 0 ||
                                  stat.grfStateBits != child.stateBits)) {
                Fail(at + "the class or state bits differ");
                return false;
            }
        }
        if (!Expect(hr, S_FALSE, "the end of listing " + where)) return false;
        if (index != expected.size()) {
            Fail("listing " + where + ": " + Shown(expected[index]->name) + " is missing");
            return false;
        }
        return true;
    }

    // The whole tree below `storage` (no stream of it open) against the model.
    bool CompareTree(IStorage* storage, const Node& node, const std::string& where) {
        STATSTG self{};
        if (!Expect(storage->Stat(&self, STATFLAG_NONAME), S_OK, "Stat " + where)) return false;
        if (std::memcmp(&self.clsid, &node.clsid, sizeof(CLSID)) != 0 || self.grfStateBits != node.stateBits) {
            Fail("the class or state bits of " + where + " differ");
            return false;
        }
        if (!CompareListing(storage, node, where)) return false;
        for (const auto& child : node.Sorted()) {
            const std::string at = where + "/" + Utf8(child->name);
            if (child->storage) {
                platform::ComPtr<IStorage> sub;
                if (!Expect(storage->OpenStorage(Wide(child->name), nullptr, kReadChild, nullptr, 0, sub.Put()), S_OK,
                            "OpenStorage " + at) ||
                    !CompareTree(sub.Get(), *child, at))
                    return false;
                continue;
            }
            platform::ComPtr<IStream> stream;
            if (!Expect(storage->OpenStream(Wide(child->name), nullptr, kReadChild, 0, stream.Put()), S_OK,
                        "OpenStream " + at))
                return false;
            std::vector<BYTE> data(child->data.size() + 1);
            ULONG got = 0;
            if (!Expect(stream->Read(data.data(), ULONG(data.size()), &got), S_OK, "reading " + at)) return false;
            data.resize(got);
            tally_.bytesRead += got;
            if (data != child->data) {
                Fail("the bytes of " + at + " differ (" + std::to_string(got) + " read, " +
                     std::to_string(child->data.size()) + " in the model)");
                return false;
            }
        }
        return true;
    }

    // The file as saved, opened from its bytes, against the model; and nothing else in the folder.
    bool CheckFile(const char* when) {
        ++tally_.saves;
        const std::vector<BYTE> bytes = FileBytes(path_);
        platform::ComPtr<IStorage> image;
        if (!Expect(platform::testing::OpenStorageOnMemory(bytes.data(), bytes.size(), image.Put()), S_OK,
                    std::string("opening the file saved ") + when))
            return false;
        if (!CompareTree(image.Get(), *model_, std::string("(the file saved ") + when + ")")) return false;
        const auto entries = std::distance(std::filesystem::directory_iterator(folder_), {});
        if (entries != 1) {
            Fail(std::string("the folder holds ") + std::to_string(entries) + " entries after the save " + when);
            return false;
        }
        return true;
    }

    // ---- Picking ----

    std::pair<std::vector<std::u16string>, std::shared_ptr<Node>> PickStorage() {
        StorageList storages;
        std::vector<std::u16string> path;
        Storages(model_, path, storages);
        return storages[choices_.Below(storages.size())];
    }

    // Opens the storages along `path` (names in any case) for writing; the last is the target.
    bool OpenPath(const std::vector<std::u16string>& path, std::vector<platform::ComPtr<IStorage>>& chain) {
        chain.clear();
        chain.push_back(root_);
        for (const std::u16string& name : path) {
            platform::ComPtr<IStorage> next;
            const std::u16string asked = CaseVariant(name, choices_);
            if (!Expect(chain.back()->OpenStorage(Wide(asked), nullptr, kWrite, nullptr, 0, next.Put()), S_OK,
                        "OpenStorage " + Shown(asked)))
                return false;
            chain.push_back(next);
        }
        return true;
    }

    // A child name of `node` to look for: one of its children's in any case, or another.
    std::u16string PickName(const Node& node) {
        if (!node.children.empty() && choices_.Percent(70)) {
            const auto& child = node.children[choices_.Below(node.children.size())];
            return choices_.Percent(60) ? CaseVariant(child->name, choices_) : child->name;
        }
        return RandomName(choices_);
    }

    std::string Where(const std::vector<std::u16string>& path) const {
        std::string out = "/";
        for (const auto& name : path) out += Utf8(name) + "/";
        return out;
    }

    void Keep(const std::shared_ptr<Node>& node, platform::ComPtr<IStream> stream) {
        if (handles_.size() >= kMaxHandles) {
            --handles_.front().node->openCount;
            handles_.erase(handles_.begin());
        }
        ++node->openCount;
        handles_.push_back({node, std::move(stream)});
    }

    // ---- Operations ----

    void Step() {
        ++tally_.operations;
        const uint64_t kind = choices_.Below(100);
        if (kind < 12) CreateElement(false);
        else if (kind < 17) CreateElement(true);
        else if (kind < 24) OpenStream();
        else if (kind < 27) CloseStream();
        else if (kind < 42) Write();
        else if (kind < 50) SetSize();
        else if (kind < 62) ReadPieces();
        else if (kind < 67) Destroy();
        else if (kind < 73) Rename();
        else if (kind < 78) List();
        else if (kind < 81) SetClassAndBits();
        else if (kind < 89) Commit();
        else if (kind < 94) Reopen(true);
        else StatStream();
    }

    void CreateElement(bool storage) {
        auto [path, node] = PickStorage();
        const std::u16string name = PickName(*node);
        const bool replace = choices_.Percent(50);
        const char* what = storage ? "CreateStorage" : "CreateStream";
        Log(std::string(what) + " " + Where(path) + Utf8(name) + (replace ? " (replacing)" : ""));
        std::vector<platform::ComPtr<IStorage>> chain;
        if (!OpenPath(path, chain)) return;
        HRESULT expected = S_OK;
        std::shared_ptr<Node> existing = node->Find(name);
        if (!ValidNewName(name)) expected = STG_E_INVALIDNAME;
        else if (existing && !replace) expected = STG_E_FILEALREADYEXISTS;
        else if (existing && existing->openCount) expected = STG_E_ACCESSDENIED;
        const DWORD mode = kWrite | (replace ? STGM_CREATE : 0);
        platform::ComPtr<IStream> stream;
        platform::ComPtr<IStorage> sub;
        const HRESULT hr = storage ? chain.back()->CreateStorage(Wide(name), mode, 0, 0, sub.Put())
                                   : chain.back()->CreateStream(Wide(name), mode, 0, 0, stream.Put());
        if (!Expect(hr, expected, what)) return;
        if (hr == S_OK) {
            if (existing) node->Remove(existing);
            auto created = AddChild(*node, name, storage);
            if (!storage && choices_.Percent(70)) Keep(created, stream);
        }
        CompareListing(chain.back().Get(), *node, Where(path));
    }

    void OpenStream() {
        auto [path, node] = PickStorage();
        const std::u16string name = PickName(*node);
        Log("OpenStream " + Where(path) + Utf8(name));
        std::vector<platform::ComPtr<IStorage>> chain;
        if (!OpenPath(path, chain)) return;
        std::shared_ptr<Node> found = node->Find(name);
        HRESULT expected = S_OK;
        if (name.size() > 31) expected = STG_E_INVALIDNAME;
        else if (!found || found->storage) expected = STG_E_FILENOTFOUND;
        else if (found->openCount) expected = STG_E_ACCESSDENIED;
        platform::ComPtr<IStream> stream;
        if (!Expect(chain.back()->OpenStream(Wide(name), nullptr, kWrite, 0, stream.Put()), expected, "OpenStream"))
            return;
        if (expected == S_OK) Keep(found, stream);
    }

    void CloseStream() {
        if (handles_.empty()) return;
        const size_t index = choices_.Below(handles_.size());
        Log("close stream " + Utf8(handles_[index].node->name));
        --handles_[index].node->openCount;
        handles_.erase(handles_.begin() + long(index));
    }

    Handle* PickHandle() { return handles_.empty() ? nullptr : &handles_[choices_.Below(handles_.size())]; }

    bool SeekTo(Handle& handle, uint64_t offset) {
        LARGE_INTEGER to;
        to.QuadPart = LONGLONG(offset);
        ULARGE_INTEGER at{};
        if (!Expect(handle.stream->Seek(to, STREAM_SEEK_SET, &at), handle.node->gone ? STG_E_REVERTED : S_OK, "Seek"))
            return false;
        if (!handle.node->gone && at.QuadPart != offset) {
            Fail("Seek gave position " + std::to_string(at.QuadPart));
            return false;
        }
        return true;
    }

    void Write() {
        Handle* handle = PickHandle();
        if (!handle) return;
        std::vector<BYTE>& data = handle->node->data;
        uint64_t offset;
        const uint64_t where = choices_.Below(100);
        if (where < 40) offset = choices_.Below(data.size() + 1);
        else if (where < 60) offset = data.size();
        else if (where < 80) offset = BoundarySize(choices_);
        else offset = choices_.Below(data.size() + 70000);
        const uint64_t sizeKind = choices_.Below(100);
        uint64_t size = sizeKind < 60 ? choices_.Below(101) : sizeKind < 85 ? choices_.Between(100, 5000)
                                                                            : choices_.Between(5000, 70000);
        offset = std::min(offset, kMaxStreamSize);
        size = std::min(size, kMaxStreamSize - offset);
        const std::vector<BYTE> bytes = Fill(choices_.Below(1u << 30), size_t(size));
        Log("write " + std::to_string(size) + " bytes at " + std::to_string(offset) + " of " +
            Utf8(handle->node->name) + (handle->node->gone ? " (reverted)" : ""));
        if (!SeekTo(*handle, offset)) return;
        ULONG written = 12345;
        const HRESULT hr = handle->stream->Write(bytes.data(), ULONG(size), &written);
        if (!Expect(hr, handle->node->gone ? STG_E_REVERTED : S_OK, "Write")) return;
        if (hr != S_OK) return;
        if (written != size) {
            Fail("Write wrote " + std::to_string(written));
            return;
        }
        if (size == 0) return;
        tally_.bytesWritten += size;
        if (data.size() < offset + size) data.resize(size_t(offset + size), 0);
        std::copy(bytes.begin(), bytes.end(), data.begin() + long(offset));
    }

    void SetSize() {
        Handle* handle = PickHandle();
        if (!handle) return;
        const uint64_t size = choices_.Percent(70) ? BoundarySize(choices_) : choices_.Below(kMaxStreamSize);
        Log("SetSize " + std::to_string(size) + " of " + Utf8(handle->node->name) +
            (handle->node->gone ? " (reverted)" : ""));
        ULARGE_INTEGER to;
        to.QuadPart = size;
        const HRESULT hr = handle->stream->SetSize(to);
        if (!Expect(hr, handle->node->gone ? STG_E_REVERTED : S_OK, "SetSize") || hr != S_OK) return;
        handle->node->data.resize(size_t(size), 0);
    }

    void StatStream() {
        Handle* handle = PickHandle();
        if (!handle) return;
        Log("Stat " + Utf8(handle->node->name));
        STATSTG stat{};
        const HRESULT hr = handle->stream->Stat(&stat, STATFLAG_DEFAULT);
        if (!Expect(hr, handle->node->gone ? STG_E_REVERTED : S_OK, "Stat") || hr != S_OK) return;
        const std::u16string name(reinterpret_cast<const char16_t*>(stat.pwcsName));
        CoTaskMemFree(stat.pwcsName);
        if (name != handle->node->name || stat.cbSize.QuadPart != handle->node->data.size() || stat.type != STGTY_STREAM)
            Fail("Stat of " + Utf8(handle->node->name) + " gave " + Shown(name) + ", " +
                 std::to_string(stat.cbSize.QuadPart) + " bytes");
    }

    // Reads from some place on, in pieces of every size (many of one byte, across the edges of
    // the windows a stream is read through), each checked.
    void ReadPieces() {
        Handle* handle = PickHandle();
        if (!handle) return;
        const std::vector<BYTE>& data = handle->node->data;
        uint64_t at;
        const uint64_t where = choices_.Below(100);
        if (where < 30) at = 0;
        else if (where < 60) at = BoundarySize(choices_);
        else at = choices_.Below(data.size() + 100);
        const bool bytewise = choices_.Percent(8);
        const unsigned pieces = bytewise ? 4200 : unsigned(choices_.Between(1, 30));
        Log("read " + std::to_string(pieces) + (bytewise ? " single bytes" : " pieces") + " from " +
            std::to_string(at) + " of " + Utf8(handle->node->name) + (handle->node->gone ? " (reverted)" : ""));
        if (!SeekTo(*handle, at)) return;
        std::vector<BYTE> buffer;
        for (unsigned i = 0; i < pieces; ++i) {
            uint64_t size = 1;
            if (!bytewise) {
                const uint64_t sizeKind = choices_.Below(100);
                size = sizeKind < 40 ? 1 : sizeKind < 70 ? choices_.Between(2, 100)
                                        : sizeKind < 90 ? choices_.Between(100, 4096)
                                                        : choices_.Between(4096, 70000);
            }
            buffer.assign(size_t(size), 0xCC);
            ULONG got = 12345;
            const HRESULT hr = handle->stream->Read(buffer.data(), ULONG(size), &got);
            if (!Expect(hr, handle->node->gone ? STG_E_REVERTED : S_OK, "Read at " + std::to_string(at)) || hr != S_OK)
                return;
            const uint64_t expected = at >= data.size() ? 0 : std::min<uint64_t>(size, data.size() - at);
            if (got != expected) {
                Fail("Read of " + std::to_string(size) + " at " + std::to_string(at) + " gave " + std::to_string(got) +
                     " bytes, the model " + std::to_string(expected));
                return;
            }
            if (got && !std::equal(buffer.begin(), buffer.begin() + long(got), data.begin() + long(at))) {
                Fail("Read of " + std::to_string(size) + " at " + std::to_string(at) + " gave other bytes");
                return;
            }
            at += got;
            tally_.bytesRead += got;
            if (got == 0 && choices_.Percent(50)) break;
        }
    }

    void Destroy() {
        auto [path, node] = PickStorage();
        const std::u16string name = PickName(*node);
        Log("DestroyElement " + Where(path) + Utf8(name));
        std::vector<platform::ComPtr<IStorage>> chain;
        if (!OpenPath(path, chain)) return;
        std::shared_ptr<Node> found = node->Find(name);
        HRESULT expected = name.size() > 31 ? STG_E_INVALIDNAME : found ? S_OK : STG_E_FILENOTFOUND;
        if (!Expect(chain.back()->DestroyElement(Wide(name)), expected, "DestroyElement")) return;
        if (expected == S_OK) node->Remove(found);
        CompareListing(chain.back().Get(), *node, Where(path));
    }

    void Rename() {
        auto [path, node] = PickStorage();
        const std::u16string from = PickName(*node);
        std::u16string to;
        const uint64_t kind = choices_.Below(100);
        if (kind < 60 || node->children.empty()) to = RandomName(choices_);
        else if (kind < 80) to = CaseVariant(from, choices_);
        else to = CaseVariant(node->children[choices_.Below(node->children.size())]->name, choices_);
        Log("RenameElement " + Where(path) + Utf8(from) + " -> " + Utf8(to));
        std::vector<platform::ComPtr<IStorage>> chain;
        if (!OpenPath(path, chain)) return;
        std::shared_ptr<Node> found = node->Find(from);
        HRESULT expected = S_OK;
        if (from.size() > 31 || !ValidNewName(to)) expected = STG_E_INVALIDNAME;
        else if (!found) expected = STG_E_FILENOTFOUND;
        else if (node->Find(to)) expected = STG_E_ACCESSDENIED;
        if (!Expect(chain.back()->RenameElement(Wide(from), Wide(to)), expected, "RenameElement")) return;
        if (expected == S_OK) found->name = to;
        CompareListing(chain.back().Get(), *node, Where(path));
    }

    void List() {
        auto [path, node] = PickStorage();
        Log("list " + Where(path));
        std::vector<platform::ComPtr<IStorage>> chain;
        if (!OpenPath(path, chain)) return;
        CompareListing(chain.back().Get(), *node, Where(path));
    }

    void SetClassAndBits() {
        auto [path, node] = PickStorage();
        Log("SetClass and SetStateBits " + Where(path));
        std::vector<platform::ComPtr<IStorage>> chain;
        if (!OpenPath(path, chain)) return;
        CLSID clsid{};
        const std::vector<BYTE> bytes = Fill(choices_.Below(1u << 30), sizeof clsid);
        std::memcpy(&clsid, bytes.data(), sizeof clsid);
        const DWORD bits = DWORD(choices_.Below(1ull << 32)), mask = DWORD(choices_.Below(1ull << 32));
        if (!Expect(chain.back()->SetClass(clsid), S_OK, "SetClass")) return;
        if (!Expect(chain.back()->SetStateBits(bits, mask), S_OK, "SetStateBits")) return;
        node->clsid = clsid;
        node->stateBits = (node->stateBits & ~mask) | (bits & mask);
        if (path.empty()) return;
        // The parent lists the storage with what it now holds.
        auto* parent = node->parent;
        std::vector<std::u16string> up(path.begin(), path.end() - 1);
        CompareListing(chain[chain.size() - 2].Get(), *parent, Where(up));
    }

    void Commit() {
        Log("Commit");
        if (!Expect(root_->Commit(STGC_DEFAULT), S_OK, "Commit")) return;
        CheckFile("by Commit");
    }

    // Releases every object (the last release saves), checks the file, and opens it again: for
    // writing to go on, or (at the close) for reading.
    void Reopen(bool writing) {
        Log(writing ? "close and reopen" : "close");
        for (Handle& handle : handles_) --handle.node->openCount;
        handles_.clear();
        root_.Reset();
        if (!CheckFile("on release")) return;
        const HRESULT hr =
            StgOpenStorage(Wide(), nullptr, writing ? kWrite : STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, root_.Put());
        if (!Expect(hr, S_OK, "reopening")) return;
        ++tally_.reopens;
        CompareTree(root_.Get(), *model_, "(reopened)");
    }

    void DumpInto(const Node& node, const std::string& prefix, std::vector<std::string>& lines) const {
        for (const auto& child : node.children) {
            const std::string path = (prefix.empty() ? "" : prefix + "/") + HexOf(child->name.data(), child->name.size() * 2);
            lines.push_back(DumpLine(child->storage ? "storage" : "stream", path, *child));
            if (child->storage) DumpInto(*child, path, lines);
        }
    }
    static std::string DumpLine(const char* kind, const std::string& path, const Node& node) {
        char bits[16], crc[16];
        std::snprintf(bits, sizeof bits, "%08x", static_cast<unsigned>(node.stateBits));
        std::snprintf(crc, sizeof crc, "%08x", node.storage ? 0u : Crc32(node.data));
        const CLSID none{};
        return std::string(kind) + "\t" + path + "\t" + HexOf(node.storage ? &node.clsid : &none, sizeof(CLSID)) + "\t" +
               (node.storage ? bits : "00000000") + "\t" + std::to_string(node.storage ? 0 : node.data.size()) + "\t" +
               crc;
    }

    Choices& choices_;
    std::string folder_;
    std::string path_;
    std::u16string widePath_;
    platform::ComPtr<IStorage> root_;
    std::shared_ptr<Node> model_;
    std::vector<Handle> handles_;
    std::string failure_;
    std::vector<std::string> log_;
    Tally tally_;
};

}  // namespace storage_model
