// Compound-file storage figures: reading corpus files beside a plain read of the same bytes,
// opening a 200 MB file beside a 10 KB one, opening for writing in a folder of 50,000 files
// beside a folder of one, opening a message of over 2,000 directory entries beside a small one
// (with the heap each open holds), and committing a small change in the 200 MB file beside
// copying it. Prints figures; asserts nothing about time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/comptr.h"
#include "storage/storage_walk.h"
#include "windows.h"

namespace {

using platform::ComPtr;

std::u16string Wide(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text) out.push_back(char16_t(c));
    return out;
}

// The file opened in `mode`; null, with the benchmark stopped, when it does not open.
ComPtr<IStorage> OpenOrSkip(benchmark::State& state, const std::u16string& path, DWORD mode) {
    ComPtr<IStorage> storage;
    if (StgOpenStorage(path.c_str(), nullptr, mode, nullptr, 0, storage.Put()) != S_OK) state.SkipWithError("open failed");
    return storage;
}

void ReadEverything(IStorage* storage, std::vector<BYTE>& buffer, uint64_t* bytes) {
    platform::storage::WalkStorage(storage, 64, [](IStorage*, IEnumSTATSTG*) {}, [&](IStream* stream) {
        ULONG got = 0;
        while (SUCCEEDED(stream->Read(buffer.data(), ULONG(buffer.size()), &got)) && got) *bytes += got;
    });
}

void CorpusReadAll(benchmark::State& state, std::string path) {
    std::u16string wide = Wide(path);
    std::vector<BYTE> buffer(64 * 1024);
    uint64_t bytes = 0;
    for (auto _ : state) {
        ComPtr<IStorage> storage = OpenOrSkip(state, wide, STGM_READ | STGM_SHARE_DENY_WRITE);
        if (!storage) return;
        ReadEverything(storage.Get(), buffer, &bytes);
    }
    state.SetBytesProcessed(int64_t(bytes));
}

void PlainRead(benchmark::State& state, std::string path) {
    std::vector<char> buffer(1 << 20);
    int64_t bytes = 0;
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_RDONLY);
        ssize_t got;
        while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) bytes += got;
        ::close(fd);
    }
    state.SetBytesProcessed(bytes);
}

std::string g_folder;
std::string g_large, g_small, g_work;

void MakeFile(const std::string& path, size_t bigStreamBytes) {
    std::u16string wide = Wide(path);
    ComPtr<IStorage> storage;
    if (StgCreateDocfile(wide.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put()) != S_OK)
        std::abort();
    std::vector<BYTE> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = BYTE(i * 31 + 7);
    ComPtr<IStream> big;
    storage->CreateStream(u"__substg1.0_37010102", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, big.Put());
    for (size_t done = 0; done < bigStreamBytes; done += chunk.size())
        big->Write(chunk.data(), ULONG(std::min(chunk.size(), bigStreamBytes - done)), nullptr);
    big.Reset();
    for (int i = 0; i < 20; ++i) {
        ComPtr<IStream> small;
        std::u16string name = u"__substg1.0_0037001F";
        name[12] = char16_t(u'A' + i);
        storage->CreateStream(name.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, small.Put());
        small->Write(chunk.data(), 64 + i * 10, nullptr);
    }
    if (storage->Commit(STGC_DEFAULT) != S_OK) std::abort();
}

void Open(benchmark::State& state, const std::string* path) {
    std::u16string wide = Wide(*path);
    size_t heap = 0;
    for (auto _ : state) {
        size_t before = mallinfo2().uordblks;
        ComPtr<IStorage> storage = OpenOrSkip(state, wide, STGM_READWRITE | STGM_SHARE_EXCLUSIVE);
        if (!storage) return;
        heap = mallinfo2().uordblks - before;
        storage.Reset();
    }
    state.counters["heap_after_open_bytes"] = double(heap);
    struct stat st;
    ::stat(path->c_str(), &st);
    state.counters["file_bytes"] = double(st.st_size);
}

// Opening for writing (and releasing) a small file that shares its folder with `others` files.
void OpenInFolder(benchmark::State& state, size_t others) {
    const std::string folder = g_folder + "/folder-" + std::to_string(others);
    ::mkdir(folder.c_str(), 0755);
    for (size_t i = 0; i < others; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/f%06zu.msg", i);
        int fd = ::open((folder + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) ::close(fd);
    }
    const std::string path = folder + "/message.msg";
    std::filesystem::copy_file(g_small, path, std::filesystem::copy_options::overwrite_existing);
    std::u16string wide = Wide(path);
    for (auto _ : state) {
        ComPtr<IStorage> storage = OpenOrSkip(state, wide, STGM_READWRITE | STGM_SHARE_EXCLUSIVE);
        if (!storage) return;
    }
    state.counters["files_in_folder"] = double(others + 1);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

// Opens the large file, changes one small stream and commits (the whole image is written).
void CommitSmallChange(benchmark::State& state) {
    std::u16string wide = Wide(g_work);
    BYTE value = 0;
    for (auto _ : state) {
        ComPtr<IStorage> storage = OpenOrSkip(state, wide, STGM_READWRITE | STGM_SHARE_EXCLUSIVE);
        if (!storage) return;
        ComPtr<IStream> stream;
        if (storage->OpenStream(u"__substg1.0_A037001F", nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                stream.Put()) != S_OK) {
            state.SkipWithError("no such stream");
            return;
        }
        ++value;
        stream->Write(&value, 1, nullptr);
        stream.Reset();
        if (storage->Commit(STGC_DEFAULT) != S_OK) {
            state.SkipWithError("commit failed");
            return;
        }
    }
}

// Copying the file with read and write, then flushing it to disk as a save does.
void CopyFileReadWrite(benchmark::State& state) {
    std::vector<char> buffer(1 << 20);
    std::string target = g_folder + "/copy.bin";
    for (auto _ : state) {
        int in = ::open(g_work.c_str(), O_RDONLY), out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ssize_t got;
        while ((got = ::read(in, buffer.data(), buffer.size())) > 0)
            if (::write(out, buffer.data(), size_t(got)) != got) std::abort();
        ::fsync(out);
        ::close(in);
        ::close(out);
    }
    std::remove(target.c_str());
}

// Copying the file in the kernel (copy_file_range), then flushing it.
void CopyFileKernel(benchmark::State& state) {
    std::string target = g_folder + "/copy.bin";
    for (auto _ : state) {
        int in = ::open(g_work.c_str(), O_RDONLY), out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        struct stat st;
        ::fstat(in, &st);
        off_t left = st.st_size;
        while (left > 0) {
            ssize_t done = ::copy_file_range(in, nullptr, out, nullptr, size_t(left), 0);
            if (done <= 0) break;
            left -= done;
        }
        ::fsync(out);
        ::close(in);
        ::close(out);
    }
    std::remove(target.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/storage-bench-XXXXXX";
    g_folder = ::mkdtemp(pattern);
    g_large = g_folder + "/large.msg";
    g_small = g_folder + "/small.msg";
    g_work = g_folder + "/work.msg";
    MakeFile(g_large, 200u << 20);
    MakeFile(g_small, 1500);
    std::filesystem::copy_file(g_large, g_work);

    std::vector<std::string> files;
    std::error_code ignored;
    for (auto& entry : std::filesystem::recursive_directory_iterator(MSGPLUGIN_CORPUS_DIR, ignored))
        if (entry.is_regular_file() && entry.path().extension() == ".msg" && entry.file_size() > 0)
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::string name = std::filesystem::path(file).filename().string();
        benchmark::RegisterBenchmark(("CorpusReadAll/" + name).c_str(), CorpusReadAll, file);
        benchmark::RegisterBenchmark(("PlainRead/" + name).c_str(), PlainRead, file);
    }
    benchmark::RegisterBenchmark("Open/200MB", Open, &g_large);
    benchmark::RegisterBenchmark("Open/10KB", Open, &g_small);
    // A message of 200 recipients (over 2,000 directory entries) beside a small one.
    static std::string many, simple;
    for (const auto& file : files) {
        const std::string name = std::filesystem::path(file).filename().string();
        if (name == "200 recipients.msg") many = g_folder + "/many-entries.msg";
        if (name == "Simple.msg") simple = g_folder + "/simple.msg";
        if (name == "200 recipients.msg" || name == "Simple.msg") {
            const std::string& copy = name == "Simple.msg" ? simple : many;
            std::filesystem::copy_file(file, copy);
            std::filesystem::permissions(copy, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        }
    }
    if (!many.empty()) benchmark::RegisterBenchmark("Open/corpus-200-recipients", Open, &many);
    if (!simple.empty()) benchmark::RegisterBenchmark("Open/corpus-Simple", Open, &simple);
    benchmark::RegisterBenchmark("OpenInFolder/1", OpenInFolder, size_t(0));
    benchmark::RegisterBenchmark("OpenInFolder/50000", OpenInFolder, size_t(49999));
    benchmark::RegisterBenchmark("CommitSmallChange/200MB", CommitSmallChange)->Unit(benchmark::kMillisecond)->Iterations(5);
    benchmark::RegisterBenchmark("CopyFileReadWrite/200MB", CopyFileReadWrite)->Unit(benchmark::kMillisecond)->Iterations(5);
    benchmark::RegisterBenchmark("CopyFileKernel/200MB", CopyFileKernel)->Unit(benchmark::kMillisecond)->Iterations(5);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(g_folder, ignored);
    return 0;
}
