// The whole card from eight threads of one process at once, through one format object that
// COM created from the registry, as the vault's server processes use the plug-in: every card is
// the one-thread card of its file, contended opens are refused and change nothing, every save
// is whole, the log gets exactly the failures' entries, and the module can be unloaded at the end.
//
// The log's retries (1000 ms apart in production) wait a tenth of that here: Sleep is replaced
// for the whole process, the module loaded from the registry included.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <windows.h>

#include "base/native_name.h"
#include "frame/ComHolders.h"
#include "frame/MsgPluginInterfaces.h"
#include "frame/card_stress.h"
#include "frame/module_test_support.h"
#include "log_test_support.h"
#include "platform_testing.h"

namespace {
std::atomic<unsigned> g_sleeps{0};
}  // namespace

extern "C" void Sleep(DWORD milliseconds) {
    ++g_sleeps;
    std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 100));
}

namespace {

namespace fs = std::filesystem;
using msgplugin::CComPtr;

// The module as COM loaded it: its DllCanUnloadNow, found without loading it again.
HRESULT ModuleCanUnloadNow() {
    void* handle = dlopen(moduletest::BuiltModulePath(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return E_UNEXPECTED;
    auto canUnloadNow = reinterpret_cast<HRESULT (*)()>(dlsym(handle, "DllCanUnloadNow"));
    HRESULT hr = canUnloadNow ? canUnloadNow() : E_UNEXPECTED;
    dlclose(handle);
    return hr;
}

class CardStress : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folders_.Made());
        {
            moduletest::ModuleHost host;
            ASSERT_TRUE(host.Loaded());
            ASSERT_EQ(host.RegisterServer(), S_OK);
        }
        ASSERT_FALSE(moduletest::IsLoaded(moduletest::BuiltModulePath()));
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    }
    void TearDown() override {
        CoFreeUnusedLibraries();
        CoUninitialize();
    }

    logtest::PrivateFolders folders_{"msgplugin-stress"};
};

// The run opens its copies under the names the platform maps them to: a name that is not UTF-8
// keeps each such byte as its escape, and maps back to the same bytes.
TEST(CardStressPaths, NamesMapAsThePlatformMapsThem) {
    EXPECT_EQ(cardstress::WidePath(fs::path("/tmp/caf\xC3\xA9 \xFF\xFE.msg")), WString(u"/tmp/caf\u00E9 \xDCFF\xDCFE.msg"));
    std::string back;
    ASSERT_TRUE(platform::names::ToNative(cardstress::WidePath(fs::path("/tmp/a\x80" "b.msg")), back));
    EXPECT_EQ(back, "/tmp/a\x80" "b.msg");
}

TEST_F(CardStress, EightThreadsShareOneFormatObjectFromTheRegistry) {
    const std::vector<fs::path> samples = platform::testing::MessagesBelow(MSGPLUGIN_CORPUS_DIR);
    ASSERT_GE(samples.size(), 10u) << "the sample messages are missing: " << MSGPLUGIN_CORPUS_DIR;

    cardstress::Options options;
    options.threads = 8;
    options.rounds = 2;
    options.seed = 21;
    cardstress::Report report;
    {
        CComPtr<IKivFileFormat> format;
        ASSERT_EQ(CoCreateInstance(CLSID_MsgFormat, nullptr, CLSCTX_INPROC_SERVER, IID_IKivFileFormat, format.AsVoidOut()),
                  S_OK);
        EXPECT_EQ(ModuleCanUnloadNow(), S_FALSE) << "a format object is alive";
        report = cardstress::Run(format, samples, folders_.Path() / "work", folders_.LogPath(), options);
        EXPECT_EQ(ModuleCanUnloadNow(), S_FALSE) << "a format object is alive";
    }
    EXPECT_EQ(ModuleCanUnloadNow(), S_OK) << "every object and lock of the run was given back";
    CoFreeUnusedLibraries();
    EXPECT_FALSE(moduletest::IsLoaded(moduletest::BuiltModulePath()));

    for (const std::string& problem : report.problems) ADD_FAILURE() << problem;
    // The run did what it is for: many cards, saves, and opens refused while another thread held
    // the file, each with its log entry.
    EXPECT_GE(report.cards, static_cast<long>(options.threads * options.rounds * samples.size()) / 2);
    EXPECT_GT(report.saves, 0);
    EXPECT_GT(report.heldRefusals, 0);
    EXPECT_GE(report.logEntries, report.heldRefusals + report.chanceRefusals);
    std::printf("opens %ld, cards %ld, saves %ld, refused while held %ld, refused by chance %ld, log entries %ld, "
                "log retries %u\n",
                report.opens, report.cards, report.saves, report.heldRefusals, report.chanceRefusals, report.logEntries,
                g_sleeps.load());
}

}  // namespace
