// Seeded random changes to messages (copies of the sample messages, and messages written here),
// made through the message store and checked against a plain model (message_model_run.h): the
// values after each change and after each reopen, the attachment table and header counts, and
// every stream no saved change touched. Each sequence is reproducible from its seed.
//   MSGPLUGIN_MESSAGE_MODEL_SEED=N       first seed (default 1)
//   MSGPLUGIN_MESSAGE_MODEL_SEQUENCES=N  sequences (default 300; a fifth under the sanitizers)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "mapi/message_model_run.h"

namespace {

constexpr uint64_t kDefaultSequences = storage_model::DefaultSequences(300);

using storage_model::Setting;

std::vector<std::string> Samples() {
    std::vector<std::string> files;
    std::error_code error;
    for (auto& entry : std::filesystem::recursive_directory_iterator(MSGPLUGIN_CORPUS_DIR, error)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".msg") continue;
        const auto size = entry.file_size(error);
        if (!error && size > 0 && size <= 300 * 1024) files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST(MessageModel, RandomChangesKeepEverythingElse) {
    const uint64_t first = Setting("MSGPLUGIN_MESSAGE_MODEL_SEED", 1);
    const uint64_t count = Setting("MSGPLUGIN_MESSAGE_MODEL_SEQUENCES", kDefaultSequences);
    const auto samples = Samples();
    ASSERT_GT(samples.size(), 10u) << "no sample messages at " << MSGPLUGIN_CORPUS_DIR;
    // In memory where there is one: saves flush to disk.
    std::string pattern = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm/message-model-XXXXXX" : "/tmp/message-model-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string folder = pattern;
    uint64_t checks = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        const std::string path = folder + "/m.msg";
        std::filesystem::remove(path);
        storage_model::SeededChoices choices(seed);
        // Two in three start from a copy of a sample message.
        if (seed % 3 != 0) {
            std::filesystem::copy_file(samples[seed % samples.size()], path);
            std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        } else {
            ASSERT_EQ(message_model::WriteRandomMessage(choices, path), S_OK) << "seed " << seed;
        }
        message_model::Run run(choices, path);
        if (!run.Go(30) || !run.Reopen()) {
            ADD_FAILURE() << "seed " << seed << " (MSGPLUGIN_MESSAGE_MODEL_SEED=" << seed
                          << " MSGPLUGIN_MESSAGE_MODEL_SEQUENCES=1 runs it alone), on "
                          << (seed % 3 ? samples[seed % samples.size()] : "a message written here") << ": "
                          << run.Failure();
            break;
        }
        checks += run.Checks();
    }
    std::filesystem::remove_all(folder);
    std::printf("%llu sequences, %llu objects and untouched streams compared\n", static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(checks));
    EXPECT_GT(checks, count * 10);
}
