// Weeks of uptime in one run: one process reads a million cards from the sample messages, each
// opened, read whole (the body included) and released through one format object that COM made
// from the registry, as the vault's server processes do. Every 100,000 cards it reports the
// resident memory and the open descriptors; after the first 100,000 (allocator pools, caches and
// the log warmed up) memory may grow by at most 1 MB and the descriptors not at all.
//
//   MSGPLUGIN_SOAK_CARDS=N   cards to read (default 1000000), reported every N/10
//
// The samples are copied to a temporary folder first; the registry and the log live there too.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

constexpr long kAllowedGrowthKb = 1024;

long ResidentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long OpenDescriptors() {
    long count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(folder))
            if (entry->d_name[0] != '.') ++count;
        closedir(folder);
        --count;  // the listing's own
    }
    return count;
}

long CardsToRead() {
    const char* text = std::getenv("MSGPLUGIN_SOAK_CARDS");
    long cards = text ? std::atol(text) : 1000000;
    return cards >= 10 ? cards : 1000000;
}

struct Fixture {
    fs::path dir;
    std::vector<WString> samples;
    CComPtr<IKivFileFormat> format;
    std::string failure;

    Fixture() {
        char pattern[] = "/tmp/msgplugin_soak.XXXXXX";
        if (!mkdtemp(pattern)) {
            failure = "no temporary folder";
            return;
        }
        dir = pattern;
        setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        platform::testing::UseRegistryFolder((dir / "registry").string());
        void* module = dlopen(MSGPLUGIN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        auto registerServer = module ? reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllRegisterServer")) : nullptr;
        if (!registerServer || registerServer() != S_OK) {
            failure = "the module cannot be registered";
            return;
        }
        dlclose(module);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (CoCreateInstance(CLSID_MsgFormat, nullptr, CLSCTX_INPROC_SERVER, IID_IKivFileFormat, format.AsVoidOut()) !=
            S_OK) {
            failure = "no format object";
            return;
        }
        // The samples that open, copied (the plug-in opens files for writing).
        std::error_code error;
        std::vector<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(MSGPLUGIN_CORPUS_DIR, error))
            if (entry.is_regular_file() && entry.path().extension() == ".msg") found.push_back(entry.path());
        std::sort(found.begin(), found.end());
        for (size_t i = 0; i < found.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "s%zu.msg", i);
            fs::path copy = dir / name;
            fs::copy_file(found[i], copy, fs::copy_options::overwrite_existing, error);
            fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, error);
            const WString wide = cardstress::WidePath(copy);
            if (ReadOne(wide) == S_OK) samples.push_back(wide);
        }
        if (samples.empty()) failure = "no sample message opens";
    }
    ~Fixture() {
        format.Release();
        CoFreeUnusedLibraries();
        CoUninitialize();
        platform::testing::UseRegistryFolder("");
        std::error_code error;
        if (!dir.empty()) fs::remove_all(dir, error);
    }

    // Open, read the whole card, release.
    HRESULT ReadOne(const WString& path) {
        BSTR text = SysAllocString(path.c_str());
        CComPtr<IKivFileNavigator> navigator;
        HRESULT hr = format->OpenFile(text, 0, &navigator);
        SysFreeString(text);
        if (hr == S_OK) benchmark::DoNotOptimize(cardstress::ReadCard(navigator));
        return hr;
    }
};

void Soak(benchmark::State& state) {
    Fixture fixture;
    if (!fixture.failure.empty()) {
        state.SkipWithError(fixture.failure.c_str());
        return;
    }
    const long cards = CardsToRead();
    const long step = cards / 10;
    long failed = 0, baseResident = 0, baseDescriptors = 0, maxGrowth = 0, descriptorChange = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::fprintf(stderr, "%10s %12s %12s %8s %10s\n", "cards", "resident KB", "growth KB", "fds", "seconds");
        std::fprintf(stderr, "%10d %12ld %12s %8ld %10s\n", 0, ResidentKilobytes(), "", OpenDescriptors(), "");
        for (long n = 1; n <= cards; ++n) {
            if (fixture.ReadOne(fixture.samples[static_cast<size_t>(n) % fixture.samples.size()]) != S_OK) ++failed;
            if (n % step != 0) continue;
            const long resident = ResidentKilobytes(), descriptors = OpenDescriptors();
            if (n == step) {
                baseResident = resident;
                baseDescriptors = descriptors;
            }
            maxGrowth = std::max(maxGrowth, resident - baseResident);
            descriptorChange = std::max(descriptorChange, std::labs(descriptors - baseDescriptors));
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::fprintf(stderr, "%10ld %12ld %12ld %8ld %10.1f\n", n, resident, resident - baseResident, descriptors,
                         seconds);
        }
    }
    state.counters["cards"] = static_cast<double>(cards);
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["rss_growth_kb"] = static_cast<double>(maxGrowth);
    state.counters["fd_change"] = static_cast<double>(descriptorChange);
    if (failed) state.SkipWithError("some cards could not be read");
    else if (maxGrowth > kAllowedGrowthKb) state.SkipWithError("resident memory grew by more than 1 MB");
    else if (descriptorChange != 0) state.SkipWithError("the open descriptors changed");
}

BENCHMARK(Soak)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
