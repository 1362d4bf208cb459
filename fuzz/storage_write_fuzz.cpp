// libFuzzer target: the bytes choose a file to start from (a new one of either version, or a
// copy of a small sample message) and then drive operations on it through the platform's
// structured storage: elements created, opened, renamed and destroyed, nested; writes, sizes and
// reads of every kind; Commit; close and reopen. Every result, read and listing is checked
// against a plain model of the file (Platform/storage/storage_model_run.h), the saved file is
// read back after each save, and any difference aborts with the operations that led to it.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_files.h"
#include "storage/storage_model_run.h"

namespace {

// Sample messages small enough to copy for every input.
const std::vector<std::vector<BYTE>>& Samples() { return fuzz_files::SmallSamples(100 * 1024); }

const std::string& Folder() { return fuzz_files::ScratchFolder("storage-write-fuzz"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& folder = Folder();
    std::error_code ignored;
    for (auto& entry : std::filesystem::directory_iterator(folder, ignored)) std::filesystem::remove_all(entry, ignored);
    storage_model::ByteChoices choices(data, size);
    const auto& samples = Samples();
    const uint64_t start = choices.Below(2 + samples.size());
    storage_model::Run run(choices, folder, start == 1 ? 4096 : 512,
                           start >= 2 ? samples[start - 2] : std::vector<BYTE>{});
    if (!run.Go(100) || !run.Close()) {
        std::fprintf(stderr, "the storage differs from its model: %s\n", run.Failure().c_str());
        ::abort();
    }
    return 0;
}
