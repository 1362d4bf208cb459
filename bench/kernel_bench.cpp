// Costs of the kernel operations the module calls on its hot paths: code-page conversion of
// property strings, critical sections, the wide printf and the integer parser.
#include <benchmark/benchmark.h>

#include <windows.h>

#include <string>

namespace {

std::string Repeat(const std::string& piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += piece;
    return out;
}

void ToWide(benchmark::State& state, UINT codePage, const std::string& bytes) {
    std::u16string wide(bytes.size() + 1, u'\0');
    for (auto _ : state) {
        int n = MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), wide.data(), int(wide.size()));
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

void ToBytes(benchmark::State& state, UINT codePage, const std::string& bytes) {
    std::u16string wide(bytes.size() + 1, u'\0');
    int units = MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), wide.data(), int(wide.size()));
    std::string narrow(bytes.size() * 2 + 4, '\0');
    for (auto _ : state) {
        int n = WideCharToMultiByte(codePage, 0, wide.data(), units, narrow.data(), int(narrow.size()), nullptr, nullptr);
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

// A subject line of about 60 characters, and a body of 64 KiB.
const std::string kSubject1252 = Repeat("Re: Angebot f\xFCr \x80 100 ", 3);
const std::string kSubject932 = Repeat("\x93\xFA\x96\x7B\x8C\xEA\x83\x65\x83\x58\x83\x67", 5);
const std::string kSubjectUtf8 = Repeat("Re: Angebot f\xC3\xBCr \xE2\x82\xAC 100 ", 3);
const std::string kBody1252 = Repeat("Dear customer, the invoice is attached. ", 1640);

void BM_MultiByteToWideChar_1252_Subject(benchmark::State& s) { ToWide(s, 1252, kSubject1252); }
void BM_MultiByteToWideChar_1252_Body64K(benchmark::State& s) { ToWide(s, 1252, kBody1252); }
void BM_MultiByteToWideChar_932_Subject(benchmark::State& s) { ToWide(s, 932, kSubject932); }
void BM_MultiByteToWideChar_UTF8_Subject(benchmark::State& s) { ToWide(s, CP_UTF8, kSubjectUtf8); }
void BM_WideCharToMultiByte_1252_Subject(benchmark::State& s) { ToBytes(s, 1252, kSubject1252); }
void BM_WideCharToMultiByte_932_Subject(benchmark::State& s) { ToBytes(s, 932, kSubject932); }
BENCHMARK(BM_MultiByteToWideChar_1252_Subject);
BENCHMARK(BM_MultiByteToWideChar_1252_Body64K);
BENCHMARK(BM_MultiByteToWideChar_932_Subject);
BENCHMARK(BM_MultiByteToWideChar_UTF8_Subject);
BENCHMARK(BM_WideCharToMultiByte_1252_Subject);
BENCHMARK(BM_WideCharToMultiByte_932_Subject);

void BM_CriticalSectionEnterLeave(benchmark::State& state) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    for (auto _ : state) {
        EnterCriticalSection(&section);
        LeaveCriticalSection(&section);
    }
    DeleteCriticalSection(&section);
}
BENCHMARK(BM_CriticalSectionEnterLeave);

void BM_StringCchPrintfW_LogLine(benchmark::State& state) {
    WCHAR buffer[256];
    for (auto _ : state) {
        HRESULT hr = StringCchPrintfW(buffer, 256, u"%04d-%02d-%02d %02d:%02d:%02d %s 0x%08X", 2026, 7, 15, 12, 30, 45,
                                      u"Failed: StgOpenStorage /data/mail/message.msg", 0x80030020u);
        benchmark::DoNotOptimize(hr);
    }
}
BENCHMARK(BM_StringCchPrintfW_LogLine);

void BM_wtoi(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(_wtoi(u"  -2147483617"));
}
BENCHMARK(BM_wtoi);

}  // namespace

BENCHMARK_MAIN();
