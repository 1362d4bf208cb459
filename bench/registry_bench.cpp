// The registry's cost per call: the product-name read (open, query, close), a value write,
// and the export of a tree.
#include <benchmark/benchmark.h>

#include <string>

#include <windows.h>

#include "platform_testing.h"
#include "registry/regtool.h"

namespace {

constexpr const char16_t* kProductKey = u"Software\\Orvane\\Applications\\Tarnhold Enterprise";

void ReadProductName(benchmark::State& state) {
    platform::testing::ScopedTempRegistry registry;
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    const char16_t name[] = u"ORVANE KESTREL";
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(name), sizeof(name));
    RegCloseKey(key);
    for (auto _ : state) {
        HKEY open = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_READ, &open) != ERROR_SUCCESS) {
            state.SkipWithError("open failed");
            break;
        }
        BYTE buffer[1024] = {};
        DWORD size = sizeof(buffer), type = 0;
        benchmark::DoNotOptimize(RegQueryValueExW(open, nullptr, nullptr, &type, buffer, &size));
        RegCloseKey(open);
    }
}
BENCHMARK(ReadProductName);

void SetValue(benchmark::State& state) {
    platform::testing::ScopedTempRegistry registry;
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Bench", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    DWORD value = 0;
    for (auto _ : state) {
        ++value;
        benchmark::DoNotOptimize(
            RegSetValueExW(key, u"Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
    }
    RegCloseKey(key);
}
BENCHMARK(SetValue);

void ExportTree(benchmark::State& state) {
    platform::testing::ScopedTempRegistry registry;
    for (int k = 0; k < 50; ++k) {
        std::u16string path = u"SOFTWARE\\Classes\\Bench\\Key" +
                              std::u16string(1, static_cast<char16_t>(u'A' + k % 26)) +
                              std::u16string(1, static_cast<char16_t>(u'a' + k / 26));
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        for (char16_t v = u'a'; v < u'a' + 10; ++v) {
            const char16_t name[] = {v, 0};
            const char16_t data[] = u"{8BA22517-EAE8-44C9-BCC9-F6ECBA2F4B47}";
            RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), sizeof(data));
        }
        RegCloseKey(key);
    }
    platform::registry::KeyName name;
    platform::registry::ParseKeyName(u"HKLM\\SOFTWARE\\Classes\\Bench", &name);
    for (auto _ : state) {
        std::u16string text;
        std::string error;
        benchmark::DoNotOptimize(platform::registry::ExportRegText(name, &text, &error));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 500);
}
BENCHMARK(ExportTree);

}  // namespace

BENCHMARK_MAIN();
