// Costs of the automation calls the module makes per variable: BSTR copies, VARIANT copies and
// the conversions of writing, and the date conversion of reading.
#include <benchmark/benchmark.h>

#include <windows.h>

namespace {

void BM_SysAllocStringFree(benchmark::State& state) {
    for (auto _ : state) {
        BSTR bstr = SysAllocString(OLESTR("Quarterly report for the board"));
        benchmark::DoNotOptimize(bstr);
        SysFreeString(bstr);
    }
}
BENCHMARK(BM_SysAllocStringFree);

void BM_VariantCopyBstr(benchmark::State& state) {
    VARIANT src;
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocString(OLESTR("Quarterly report for the board"));
    VARIANT dest;
    VariantInit(&dest);
    for (auto _ : state) {
        benchmark::DoNotOptimize(VariantCopy(&dest, &src));
    }
    VariantClear(&dest);
    VariantClear(&src);
}
BENCHMARK(BM_VariantCopyBstr);

void BM_ChangeTypeTextToI4(benchmark::State& state) {
    VARIANT src;
    src.vt = VT_BSTR;
    src.bstrVal = SysAllocString(OLESTR("1507331"));
    VARIANT dest;
    VariantInit(&dest);
    for (auto _ : state) {
        benchmark::DoNotOptimize(VariantChangeType(&dest, &src, 0, VT_I4));
    }
    VariantClear(&src);
}
BENCHMARK(BM_ChangeTypeTextToI4);

void BM_ChangeTypeR8ToText(benchmark::State& state) {
    VARIANT src;
    src.vt = VT_R8;
    src.dblVal = 1234.5678;
    VARIANT dest;
    VariantInit(&dest);
    for (auto _ : state) {
        benchmark::DoNotOptimize(VariantChangeType(&dest, &src, 0, VT_BSTR));
    }
    VariantClear(&dest);
}
BENCHMARK(BM_ChangeTypeR8ToText);

void BM_ChangeTypeDateToText(benchmark::State& state) {
    VARIANT src;
    src.vt = VT_DATE;
    src.date = 45351.52135;
    VARIANT dest;
    VariantInit(&dest);
    for (auto _ : state) {
        benchmark::DoNotOptimize(VariantChangeType(&dest, &src, 0, VT_BSTR));
    }
    VariantClear(&dest);
}
BENCHMARK(BM_ChangeTypeDateToText);

void BM_SystemTimeToVariantTime(benchmark::State& state) {
    SYSTEMTIME st{2024, 2, 0, 29, 12, 30, 45, 0};
    double date = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SystemTimeToVariantTime(&st, &date));
        benchmark::DoNotOptimize(VariantTimeToSystemTime(date, &st));
    }
}
BENCHMARK(BM_SystemTimeToVariantTime);

}  // namespace

BENCHMARK_MAIN();
