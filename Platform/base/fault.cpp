#include "base/fault.h"

#include <mutex>
#include <string>
#include <unordered_map>

#include "platform_testing.h"

namespace platform::fault {

std::atomic<bool> g_armed{false};

namespace {

struct Arming {
    unsigned calls = 0;      // calls seen since armed
    unsigned firstFailing = 0;  // 0: count only
    unsigned times = 1;      // 0: every call from firstFailing on
    HRESULT code = S_OK;
    unsigned actionAt = 0;   // the call before which action runs; 0: none
    void (*action)(void*) = nullptr;
    void* context = nullptr;
};

std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
}

std::unordered_map<std::string, Arming>& Table() {
    static std::unordered_map<std::string, Arming> table;
    return table;
}

void Arm(const char* operation, unsigned nth, HRESULT code, unsigned times) {
    std::lock_guard lock(Mutex());
    Arming& arming = Table()[operation];
    arming = Arming{};
    arming.firstFailing = nth;
    arming.times = times;
    arming.code = code;
    g_armed.store(true, std::memory_order_relaxed);
}

}  // namespace

bool Hit(const char* operation, HRESULT* code) noexcept {
    void (*action)(void*) = nullptr;
    void* context = nullptr;
    bool fails = false;
    {
        std::lock_guard lock(Mutex());
        auto found = Table().find(operation);
        if (found == Table().end()) return false;
        Arming& arming = found->second;
        unsigned call = ++arming.calls;
        if (arming.action && call == arming.actionAt) {
            action = arming.action;
            context = arming.context;
        }
        fails = arming.firstFailing != 0 && call >= arming.firstFailing &&
                (arming.times == 0 || call < arming.firstFailing + arming.times);
        if (fails) *code = arming.code;
    }
    // Outside the lock: the action may call the platform itself.
    if (action) action(context);
    return fails;
}

}  // namespace platform::fault

namespace platform::testing {

void FailNthCall(const char* operation, unsigned nth, HRESULT code, unsigned times) {
    fault::Arm(operation, nth == 0 ? 1 : nth, code, times);
}

void ReturnNullOnNthCall(const char* operation, unsigned nth, unsigned times) {
    fault::Arm(operation, nth == 0 ? 1 : nth, E_OUTOFMEMORY, times);
}

void CountCalls(const char* operation) { fault::Arm(operation, 0, S_OK, 1); }

void RunBeforeNthCall(const char* operation, unsigned nth, void (*action)(void*), void* context) {
    fault::Arm(operation, 0, S_OK, 1);
    std::lock_guard lock(fault::Mutex());
    fault::Arming& arming = fault::Table()[operation];
    arming.actionAt = nth == 0 ? 1 : nth;
    arming.action = action;
    arming.context = context;
}

unsigned CallCount(const char* operation) {
    std::lock_guard lock(fault::Mutex());
    auto found = fault::Table().find(operation);
    return found == fault::Table().end() ? 0 : found->second.calls;
}

void ResetFaults() {
    std::lock_guard lock(fault::Mutex());
    fault::Table().clear();
    fault::g_armed.store(false, std::memory_order_relaxed);
}

}  // namespace platform::testing
