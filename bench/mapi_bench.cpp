// Message store benchmarks: what opening a message costs (open, all properties, the attachment
// table, every attachment's properties) per sample message beside a raw read of the same file;
// the same on a 200 MB message (a 200 MB attachment, a 20 MB body), which should cost about
// what a small one does since large values are not read; and reading that body through
// OpenProperty in 510-byte reads. The large message is built in /tmp and deleted afterwards.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/comptr.h"
#include "mapi/message_writer.h"
#include "testing/test_files.h"
#include "windows.h"

namespace {

namespace fs = std::filesystem;
using platform::ComPtr;

ComPtr<IMessage> OpenMessage(const fs::path& path) {
    ComPtr<IStorage> storage;
    if (FAILED(StgOpenStorage(path.u16string().c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                              storage.Put())))
        return {};
    ComPtr<IMessage> message;
    if (FAILED(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                              nullptr, storage.Get(), nullptr, 0, 0, message.Put())))
        return {};
    return message;
}

// What the module does when it opens a message: everything but the body's stream.
size_t OpenAndReadEverything(const fs::path& path) {
    ComPtr<IMessage> message = OpenMessage(path);
    if (!message) return 0;
    size_t values = 0;
    ULONG count = 0;
    LPSPropValue props = nullptr;
    if (SUCCEEDED(message->GetProps(nullptr, 0, &count, &props))) values += count;
    MAPIFreeBuffer(props);
    ComPtr<IMAPITable> table;
    if (FAILED(message->GetAttachmentTable(0, table.Put()))) return values;
    LPSRowSet rows = nullptr;
    if (FAILED(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, &rows))) return values;
    for (ULONG r = 0; r < rows->cRows; ++r) {
        LPSPropValue number = PpropFindProp(rows->aRow[r].lpProps, rows->aRow[r].cValues, PR_ATTACH_NUM);
        if (!number) continue;
        ComPtr<IAttach> attach;
        if (FAILED(message->OpenAttach(static_cast<ULONG>(number->Value.l), nullptr, 0, attach.Put()))) continue;
        LPSPropValue attachProps = nullptr;
        if (SUCCEEDED(attach->GetProps(nullptr, 0, &count, &attachProps))) values += count;
        MAPIFreeBuffer(attachProps);
    }
    FreeProws(rows);
    return values;
}

void RawRead(benchmark::State& state, fs::path path) {
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        size_t total = 0;
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
            total += static_cast<size_t>(in.gcount());
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fs::file_size(path)));
}

void OpenAndRead(benchmark::State& state, fs::path path) {
    size_t values = 0;
    for (auto _ : state) {
        values = OpenAndReadEverything(path);
        benchmark::DoNotOptimize(values);
    }
    state.counters["values"] = static_cast<double>(values);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(fs::file_size(path)));
}

// The storage's share of opening: the compound file alone.
void StorageOpenOnly(benchmark::State& state, fs::path path) {
    for (auto _ : state) {
        ComPtr<IStorage> storage;
        HRESULT hr = StgOpenStorage(path.u16string().c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                                    storage.Put());
        benchmark::DoNotOptimize(hr);
    }
}

void ReadBodyIn510ByteReads(benchmark::State& state, fs::path path) {
    ComPtr<IMessage> message = OpenMessage(path);
    size_t bytes = 0, reads = 0;
    for (auto _ : state) {
        ComPtr<IUnknown> unknown;
        if (!message || FAILED(message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, unknown.Put()))) {
            state.SkipWithError("no body stream");
            return;
        }
        auto* stream = static_cast<IStream*>(unknown.Get());
        BYTE chunk[510];
        bytes = reads = 0;
        for (;;) {
            ULONG got = 0;
            ++reads;
            if (FAILED(stream->Read(chunk, sizeof chunk, &got)) || got == 0) break;
            bytes += got;
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["reads"] = static_cast<double>(reads);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// The 200 MB message: a 20 MB Unicode body and one 200 MB attachment.
bool BuildLargeMessage(const fs::path& path) {
    msgwriter::MessageSpec spec;
    std::u16string body(10u << 20, u'b');
    spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"Large message"), msgwriter::Unicode(PR_BODY_W, std::move(body)),
                  msgwriter::Long(PR_MESSAGE_FLAGS, 1)};
    std::vector<BYTE> data(200u << 20);
    for (size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<BYTE>(i >> 12);
    spec.attachments.push_back({{msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE),
                                 msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"large.bin"),
                                 msgwriter::Binary(PR_ATTACH_DATA_BIN, std::move(data))}});
    return SUCCEEDED(msgwriter::WriteMessageFile(path.u16string(), spec));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::vector<fs::path> files = platform::testing::MessagesBelow(MSGPLUGIN_CORPUS_DIR);
    std::erase_if(files, [](const fs::path& file) {
        std::error_code ec;
        return fs::file_size(file, ec) == 0;
    });
    for (const auto& file : files) {
        const std::string name = file.parent_path().filename().string() + "/" + file.filename().string();
        benchmark::RegisterBenchmark(("RawRead/" + name).c_str(), RawRead, file)->MinTime(0.02);
        benchmark::RegisterBenchmark(("OpenAndRead/" + name).c_str(), OpenAndRead, file)->MinTime(0.02);
    }

    platform::testing::TempFolder folder("mapi_bench");
    if (folder.Made()) {
        const fs::path large = folder.Path() / "large.msg";
        if (BuildLargeMessage(large)) {
            benchmark::RegisterBenchmark("RawRead/large-200MB", RawRead, large)->Iterations(2);
            benchmark::RegisterBenchmark("OpenAndRead/large-200MB", OpenAndRead, large)->MinTime(0.1);
            benchmark::RegisterBenchmark("StorageOpenOnly/large-200MB", StorageOpenOnly, large)->MinTime(0.1);
            if (!files.empty())
                benchmark::RegisterBenchmark("StorageOpenOnly/first-sample", StorageOpenOnly, files.front())->MinTime(0.1);
            benchmark::RegisterBenchmark("BodyStream510/large-20MB-body", ReadBodyIn510ByteReads, large)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(3);
        } else {
            std::fprintf(stderr, "could not build the large message in %s\n", folder.Path().c_str());
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
