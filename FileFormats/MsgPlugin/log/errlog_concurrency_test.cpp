// Four processes of four threads each append 200 entries apiece to one log: every entry
// arrives whole, none is lost and none interleaves with another.
//
// The writers pause a few milliseconds between entries, as real failures come apart: a log
// that sixteen writers keep busy without pause would refuse some writer twenty times in a row
// whatever the wait between attempts, and its entry would be lost by design.
//
// This program replaces Sleep with a wait of a tenth of the time asked for, so the
// writers' retries (1000 ms apart in production) keep the test short while the waits remain
// real, which immediate returns would not be: a writer whose open fails must still give the
// holder time to finish.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "errlog.h"
#include "log_test_support.h"

namespace {
// Retries of all writing processes, in memory they share.
std::atomic<unsigned>* g_retries = nullptr;
}  // namespace

extern "C" void Sleep(DWORD milliseconds) {
    if (g_retries) g_retries->fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 100));
}

namespace {

using namespace logtest;

constexpr int kProcesses = 4;
constexpr int kThreads = 4;
constexpr int kEntries = 200;

std::u16string MessageOf(int process, int thread, int entry) {
    return Wide("process " + std::to_string(process) + " thread " + std::to_string(thread) + " entry " +
                std::to_string(entry) + " " + std::string(static_cast<size_t>(entry % 50), '.'));
}

// The body of one writing process; returns its exit code.
int WriterProcess(int process) {
    ErrLogTestingRestartLoad();  // as a process of its own loads the module afresh
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            std::minstd_rand random(static_cast<unsigned>(process * kThreads + thread + 1));
            std::uniform_int_distribution<int> pause(2000, 8000);  // microseconds
            for (int entry = 0; entry < kEntries; ++entry) {
                std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
                LogEntryHeader header{};
                GetLocalTime(&header.localTime);
                header.resultCode = static_cast<HRESULT>(0x80000000u | static_cast<DWORD>(process << 16 | entry));
                header.category = static_cast<DWORD>(thread);
                std::u16string message = MessageOf(process, thread, entry);
                if (!g_errLog.Write(&header, u"CMsgFile::mhInitialize", message.c_str(), nullptr)) ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    return failures == 0 ? 0 : 1;
}

class LogConcurrency : public LogFixture {};

TEST_F(LogConcurrency, FourProcessesOfFourThreadsLoseAndInterleaveNothing) {
    void* shared = mmap(nullptr, sizeof(std::atomic<unsigned>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    g_retries = new (shared) std::atomic<unsigned>(0);
    std::vector<pid_t> children;
    for (int process = 0; process < kProcesses; ++process) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(WriterProcess(process));
        children.push_back(child);
    }
    for (pid_t child : children) EXPECT_EQ(platform::testing::ExitCodeOf(child), 0) << "a writer lost entries";
    LogContents log = ReadLog();
    ASSERT_TRUE(log.summary.opened);
    EXPECT_FALSE(log.summary.DamagedTail());
    ASSERT_EQ(log.entries.size(), static_cast<size_t>(kProcesses * kThreads * kEntries));
    // Every entry once, each thread's in its own order, each one whole.
    std::map<std::pair<int, int>, int> next;
    for (const LogEntry& entry : log.entries) {
        int process = static_cast<int>((static_cast<DWORD>(entry.resultCode) >> 16) & 0x7FFF);
        int number = static_cast<int>(static_cast<DWORD>(entry.resultCode) & 0xFFFF);
        int thread = static_cast<int>(entry.category);
        ASSERT_LT(process, kProcesses);
        ASSERT_LT(thread, kThreads);
        int& expected = next[{process, thread}];
        ASSERT_EQ(number, expected) << "process " << process << " thread " << thread;
        ++expected;
        ASSERT_EQ(entry.message, MessageOf(process, thread, number));
        ASSERT_EQ(entry.functionName, u"CMsgFile::mhInitialize");
        ASSERT_EQ(entry.moduleName, u"msgplugin_log_concurrency_test");
    }
    for (auto& [key, count] : next) EXPECT_EQ(count, kEntries);
    EXPECT_EQ(next.size(), static_cast<size_t>(kProcesses * kThreads));
    // The writers did meet: some opens were refused and retried.
    EXPECT_GT(g_retries->load(), 0u);
    std::printf("retries: %u\n", g_retries->load());
    g_retries = nullptr;
    munmap(shared, sizeof(std::atomic<unsigned>));
}

}  // namespace
