#include "base/clock.h"

#include <time.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform_testing.h"

namespace platform::clock {
namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;

std::atomic<bool> g_nowSet{false};
std::atomic<ULONGLONG> g_now{0};
std::atomic<bool> g_sleepImmediate{false};
std::atomic<uint64_t> g_slept{0};

}  // namespace

ULONGLONG NowFileTime() noexcept {
    if (g_nowSet.load(std::memory_order_acquire)) return g_now.load(std::memory_order_relaxed);
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochAsFileTime + static_cast<ULONGLONG>(ts.tv_sec) * 10000000ULL +
           static_cast<ULONGLONG>(ts.tv_nsec) / 100ULL;
}

void SleepMilliseconds(DWORD milliseconds) noexcept {
    if (g_sleepImmediate.load(std::memory_order_acquire)) {
        g_slept.fetch_add(milliseconds);
        return;
    }
    timespec request{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0) {
    }
}

}  // namespace platform::clock

namespace platform::testing {

void SetNow(const FILETIME& utc) {
    clock::g_now.store((static_cast<ULONGLONG>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime);
    clock::g_nowSet.store(true, std::memory_order_release);
}

void SetNow(const SYSTEMTIME& utc) {
    tm fields{};
    fields.tm_year = utc.wYear - 1900;
    fields.tm_mon = utc.wMonth - 1;
    fields.tm_mday = utc.wDay;
    fields.tm_hour = utc.wHour;
    fields.tm_min = utc.wMinute;
    fields.tm_sec = utc.wSecond;
    time_t seconds = timegm(&fields);
    ULONGLONG ticks = clock::kUnixEpochAsFileTime + static_cast<ULONGLONG>(seconds) * 10000000ULL +
                      static_cast<ULONGLONG>(utc.wMilliseconds) * 10000ULL;
    FILETIME ft{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SetNow(ft);
}

void ClearNow() { clock::g_nowSet.store(false, std::memory_order_release); }

void SetSleepImmediate(bool immediate) { clock::g_sleepImmediate.store(immediate); }

uint64_t SleptMilliseconds() { return clock::g_slept.load(); }

namespace {
std::mutex g_hooksMutex;
std::vector<void (*)()>& ResetHooks() {
    static std::vector<void (*)()> hooks;
    return hooks;
}
}  // namespace

void RegisterResetHook(void (*reset)()) {
    std::lock_guard lock(g_hooksMutex);
    ResetHooks().push_back(reset);
}

void ResetAll() {
    {
        std::lock_guard lock(g_hooksMutex);
        for (auto reset : ResetHooks()) reset();
    }
    ResetFaults();
    ClearNow();
    SetSleepImmediate(false);
    clock::g_slept.store(0);
}

}  // namespace platform::testing
