// Cost of the file services on the log's path: a share-mode open and close, and one entry's
// append (open, seek to the end, four block writes, close).
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "windows.h"

namespace {

const std::string& TempFolder() {
    static std::string dir = [] {
        char pattern[] = "/tmp/crtfiles_bench.XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        return std::string(pattern);
    }();
    return dir;
}

std::u16string TempFile(const char* name) {
    std::string path = TempFolder() + "/" + name;
    return std::u16string(path.begin(), path.end());
}

void BM_ShareModeOpenClose(benchmark::State& state) {
    std::u16string path = TempFile("open.mlg");
    for (auto _ : state) {
        FILE* file = _wfsopen(path.c_str(), u"a+b", _SH_DENYWR);
        if (!file) state.SkipWithError("open failed");
        fclose(file);
    }
}
BENCHMARK(BM_ShareModeOpenClose);

void BM_AppendOneEntry(benchmark::State& state) {
    std::u16string path = TempFile("append.mlg");
    BYTE header[40] = {};
    const char16_t module[] = u"MsgHost.exe";
    const char16_t function[] = u"CMsgFile::mhInitialize";
    const char16_t message[] = u"Failed: StgOpenStorage /home/user/vault/mail/report.msg";
    for (auto _ : state) {
        FILE* file = _wfsopen(path.c_str(), u"a+b", _SH_DENYWR);
        if (!file) state.SkipWithError("open failed");
        setvbuf(file, nullptr, _IONBF, 0);
        _fseeki64(file, 0, SEEK_END);
        fwrite(header, 1, sizeof header, file);
        fwrite(module, 1, sizeof module - 2, file);
        fwrite(function, 1, sizeof function - 2, file);
        fwrite(message, 1, sizeof message - 2, file);
        fclose(file);
    }
    std::filesystem::remove(std::string(path.begin(), path.end()));
}
BENCHMARK(BM_AppendOneEntry);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(TempFolder());
    return 0;
}
