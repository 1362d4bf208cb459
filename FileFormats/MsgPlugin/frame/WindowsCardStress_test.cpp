// The whole card from eight threads under Wine, through one format object that COM created
// from the registry, on Wine's structured storage, OLE Automation and log sharing, with the
// stand-in mapi32 serving the message store (the suite runs with WINEDLLOVERRIDES=mapi32=n).
// Fewer rounds than on Linux: the log's retries wait the full second here.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "frame/HostInterfaces.h"
#include "frame/MsgPluginInterfaces.h"
#include "frame/card_stress.h"
#include "frame/windows_test_support.h"

using namespace wintest;

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Samples() {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(MSGPLUGIN_CORPUS_DIR_WINDOWS), error))
        if (entry.is_regular_file() && entry.path().extension() == L".msg") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST(Stress, EightThreadsShareOneFormatObjectFromTheRegistry) {
    const std::vector<fs::path> samples = Samples();
    ASSERT_GE(samples.size(), 10u) << "the sample messages are missing: " << MSGPLUGIN_CORPUS_DIR_WINDOWS;
    {
        // The message store is the stand-in beside the program, not Wine's mapi32.
        HMODULE mapi = LoadLibraryW(L"mapi32.dll");
        ASSERT_NE(mapi, nullptr);
        WCHAR loaded[MAX_PATH] = {};
        GetModuleFileNameW(mapi, loaded, MAX_PATH);
        FreeLibrary(mapi);
        ASSERT_EQ(_wcsicmp(loaded, (ProgramFolder() + L"\\mapi32.dll").c_str()), 0)
            << "the suite runs with WINEDLLOVERRIDES=mapi32=n; loaded " << Narrow(loaded);
    }
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    LoadedModule module(ModulePath());
    ASSERT_EQ(module.Register(), S_OK);

    cardstress::Options options;
    options.threads = 8;
    options.rounds = 1;
    options.sharedFiles = 4;
    options.seed = 21;
    cardstress::Report report;
    {
        TempFolder folder;
        Ref<IKivFileFormat> format;
        ASSERT_EQ(CoCreateInstance(CLSID_MsgFormat, nullptr, CLSCTX_INPROC_SERVER, IID_IKivFileFormat, format.PutVoid()),
                  S_OK);
        EXPECT_EQ(module.CanUnloadNow(), S_FALSE) << "a format object is alive";
        report = cardstress::Run(format.p, samples, fs::path(folder.Path()) / L"work", fs::path(DefaultLogPath()),
                                 options);
    }
    EXPECT_EQ(module.CanUnloadNow(), S_OK) << "every object and lock of the run was given back";
    EXPECT_EQ(module.Unregister(), S_OK);
    CoUninitialize();

    for (const std::string& problem : report.problems) ADD_FAILURE() << problem;
    EXPECT_GE(report.cards, static_cast<long>(options.threads * options.rounds * samples.size()) / 2);
    EXPECT_GT(report.saves, 0);
    EXPECT_GT(report.heldRefusals, 0);
    EXPECT_GE(report.logEntries, report.heldRefusals + report.chanceRefusals);
    std::printf("opens %ld, cards %ld, saves %ld, refused while held %ld, refused by chance %ld, log entries %ld\n",
                report.opens, report.cards, report.saves, report.heldRefusals, report.chanceRefusals,
                report.logEntries);
}
