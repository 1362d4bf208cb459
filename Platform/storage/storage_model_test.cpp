// Seeded random sequences of operations on compound files of both versions (new files, and
// copies of small sample messages), each checked step by step against a plain in-memory model
// (storage_model_run.h). Each sequence is reproducible from its seed, which a failure prints.
//   MSGPLUGIN_MODEL_SEED=N       first seed (default 1)
//   MSGPLUGIN_MODEL_SEQUENCES=N  sequences per version (default 2500; a fifth under the sanitizers)
//   MSGPLUGIN_MODEL_STEPS=N      operations per sequence (default 60)
//   MSGPLUGIN_MODEL_KEEP=DIR     keeps each final file (seed-N.msg) and what the model says it
//                                holds (seed-N.expected), for readers of their own
#include "storage/storage_test_util.h"

#include <chrono>
#include <cstdlib>

#include "storage/storage_model_run.h"

using namespace storage_test;

namespace {

constexpr uint64_t kDefaultSequences = storage_model::DefaultSequences(2500);

using storage_model::Setting;

// Sample messages small enough to start many sequences from.
const std::vector<std::vector<BYTE>>& SmallSamples() {
    static const std::vector<std::vector<BYTE>> samples = [] {
        std::vector<std::vector<BYTE>> out;
        for (const std::string& file : CorpusFiles()) {
            std::error_code error;
            const auto size = std::filesystem::file_size(file, error);
            if (!error && size > 0 && size <= 100 * 1024) out.push_back(ReadFileBytes(file));
        }
        return out;
    }();
    return samples;
}

// A folder in memory where there is one (saves flush to disk; the model test saves thousands
// of times), else in /tmp.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = std::filesystem::is_directory("/dev/shm") && ::access("/dev/shm", W_OK) == 0
                                  ? "/dev/shm/storage-model-XXXXXX"
                                  : "/tmp/storage-model-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }
    void Empty() const {
        std::error_code ignored;
        for (auto& entry : std::filesystem::directory_iterator(path_, ignored)) std::filesystem::remove_all(entry, ignored);
    }

private:
    std::string path_;
};

void RunSequences(unsigned sectorSize) {
    const uint64_t first = Setting("MSGPLUGIN_MODEL_SEED", 1);
    const uint64_t count = Setting("MSGPLUGIN_MODEL_SEQUENCES", kDefaultSequences);
    const unsigned steps = unsigned(Setting("MSGPLUGIN_MODEL_STEPS", 60));
    const char* keep = std::getenv("MSGPLUGIN_MODEL_KEEP");
    const auto& samples = SmallSamples();
    ASSERT_FALSE(samples.empty()) << "no sample messages at " << MSGPLUGIN_CORPUS_DIR;
    ScratchDir scratch;
    const auto started = std::chrono::steady_clock::now();
    uint64_t fromSamples = 0;
    storage_model::Tally total;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        scratch.Empty();
        storage_model::SeededChoices choices(seed * 2 + (sectorSize == 4096));
        // A quarter of the version-3 sequences start from a copy of a sample message.
        const bool sample = sectorSize == 512 && seed % 4 == 3;
        if (sample) ++fromSamples;
        storage_model::Run run(choices, scratch.Path(), sectorSize,
                               sample ? samples[(seed / 4) % samples.size()] : std::vector<BYTE>{});
        const bool ok = run.Go(steps) && run.Close();
        total.Add(run.Counts());
        if (!ok) {
            ADD_FAILURE() << "seed " << seed << " (MSGPLUGIN_MODEL_SEED=" << seed
                          << " MSGPLUGIN_MODEL_SEQUENCES=1 --gtest_filter=" << testing::UnitTest::GetInstance()->current_test_info()->test_suite_name()
                          << "." << testing::UnitTest::GetInstance()->current_test_info()->name()
                          << " runs it alone): " << run.Failure();
            return;
        }
        if (keep) {
            const std::string base = std::string(keep) + "/seed-" + std::to_string(seed) + "-v" +
                                     (sectorSize == 4096 ? "4" : "3");
            CopyFile(run.Path(), base + ".msg");
            std::ofstream out(base + ".expected");
            for (const std::string& line : run.ExpectedDump()) out << line << "\n";
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%llu sequences of up to %u operations on version-%d files (%llu from sample messages) in %.1f s: "
                "%llu operations (%llu failed as the model said), %llu bytes written, %llu read and compared, "
                "%llu listings, %llu saved files read back, %llu reopens\n",
                static_cast<unsigned long long>(count), steps, sectorSize == 4096 ? 4 : 3,
                static_cast<unsigned long long>(fromSamples), seconds, static_cast<unsigned long long>(total.operations),
                static_cast<unsigned long long>(total.failedAsExpected),
                static_cast<unsigned long long>(total.bytesWritten), static_cast<unsigned long long>(total.bytesRead),
                static_cast<unsigned long long>(total.listings), static_cast<unsigned long long>(total.saves),
                static_cast<unsigned long long>(total.reopens));
    // A run that did next to nothing tests nothing.
    EXPECT_GT(total.saves, count);
    EXPECT_GT(total.bytesRead, total.bytesWritten / 4);
}

}  // namespace

TEST(StorageModel, Version3) { RunSequences(512); }
TEST(StorageModel, Version4) { RunSequences(4096); }
