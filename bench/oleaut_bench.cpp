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

// VariantChangeType of the value `make` gives to `to`, into one destination again and again.
void BM_ChangeType(benchmark::State& state, VARIANT (*make)(), VARTYPE to) {
    VARIANT src = make();
    VARIANT dest;
    VariantInit(&dest);
    for (auto _ : state) {
        benchmark::DoNotOptimize(VariantChangeType(&dest, &src, 0, to));
    }
    VariantClear(&dest);
    VariantClear(&src);
}

VARIANT Typed(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}
VARIANT Text() { VARIANT v = Typed(VT_BSTR); v.bstrVal = SysAllocString(OLESTR("1507331")); return v; }
VARIANT Real() { VARIANT v = Typed(VT_R8); v.dblVal = 1234.5678; return v; }
VARIANT Date() { VARIANT v = Typed(VT_DATE); v.date = 45351.52135; return v; }
BENCHMARK_CAPTURE(BM_ChangeType, TextToI4, Text, VT_I4);
BENCHMARK_CAPTURE(BM_ChangeType, R8ToText, Real, VT_BSTR);
BENCHMARK_CAPTURE(BM_ChangeType, DateToText, Date, VT_BSTR);

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
