// The whole card from 32 threads of one process through one format object that COM made from
// the registry (the test runs 8): the run's throughput, and whether everything the test checks
// still holds at that load (any departure stops the benchmark with an error).
//
//   MSGPLUGIN_STRESS_THREADS=N   threads (default 32)
//   MSGPLUGIN_STRESS_ROUNDS=N    passes of each thread over its copies of the samples (default 3)
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>

#include "frame/ComHolders.h"
#include "frame/MsgPluginInterfaces.h"
#include "frame/card_stress.h"
#include "platform_testing.h"

namespace {

namespace fs = std::filesystem;
using msgplugin::CComPtr;

int Setting(const char* name, int fallback) {
    const char* text = std::getenv(name);
    const int value = text ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
}

void Stress(benchmark::State& state) {
    char pattern[] = "/tmp/msgplugin_stress.XXXXXX";
    if (!mkdtemp(pattern)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const fs::path dir = pattern;
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    platform::testing::UseRegistryFolder((dir / "registry").string());
    std::vector<fs::path> samples;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(MSGPLUGIN_CORPUS_DIR, error))
        if (entry.is_regular_file() && entry.path().extension() == ".msg") samples.push_back(entry.path());
    std::sort(samples.begin(), samples.end());

    cardstress::Options options;
    options.threads = Setting("MSGPLUGIN_STRESS_THREADS", 32);
    options.rounds = Setting("MSGPLUGIN_STRESS_ROUNDS", 3);
    options.seed = 32;
    cardstress::Report report;
    double seconds = 0;
    HRESULT unload = E_FAIL;
    void* module = dlopen(MSGPLUGIN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    auto registerServer = module ? reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer")) : nullptr;
    auto canUnloadNow = module ? reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllCanUnloadNow")) : nullptr;
    if (registerServer && registerServer() == S_OK) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        for (auto _ : state) {
            CComPtr<IKivFileFormat> format;
            if (CoCreateInstance(CLSID_MsgFormat, nullptr, CLSCTX_INPROC_SERVER, IID_IKivFileFormat,
                                 format.AsVoidOut()) != S_OK)
                break;
            const auto start = std::chrono::steady_clock::now();
            report = cardstress::Run(format, samples, dir / "work", dir / "data/ORVANE/ORVANE KESTREL/ORVANE KESTREL.mlg",
                                     options);
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        unload = canUnloadNow();
        CoFreeUnusedLibraries();
        CoUninitialize();
    }
    if (module) dlclose(module);
    platform::testing::UseRegistryFolder("");
    fs::remove_all(dir, error);

    for (const std::string& problem : report.problems) std::fprintf(stderr, "%s\n", problem.c_str());
    state.counters["threads"] = options.threads;
    state.counters["opens"] = static_cast<double>(report.opens);
    state.counters["cards"] = static_cast<double>(report.cards);
    state.counters["saves"] = static_cast<double>(report.saves);
    state.counters["refused_held"] = static_cast<double>(report.heldRefusals);
    state.counters["refused_chance"] = static_cast<double>(report.chanceRefusals);
    state.counters["log_entries"] = static_cast<double>(report.logEntries);
    state.counters["cards_per_s"] = seconds > 0 ? static_cast<double>(report.cards) / seconds : 0;
    if (!registerServer) state.SkipWithError("the module cannot be loaded");
    else if (report.cards == 0) state.SkipWithError("no card was read");
    else if (!report.problems.empty()) state.SkipWithError("the run departed from the one-thread cards or the log");
    else if (unload != S_OK) state.SkipWithError("DllCanUnloadNow did not answer S_OK at the end");
}

BENCHMARK(Stress)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
