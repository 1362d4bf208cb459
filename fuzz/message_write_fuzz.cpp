// libFuzzer target: the bytes choose a message to start from (a copy of a sample message, or one
// written here) and then drive changes to it through the message store: values set and deleted
// on the message and its attachments, attachments added and deleted, SaveChanges, release and
// reopen. Each change is checked against a plain model (Platform/mapi/message_model_run.h):
// every value after each change and after each reopen, the attachment table and header counts,
// and every stream no saved change touched, byte for byte. A difference aborts.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_files.h"
#include "mapi/message_model_run.h"

namespace {

// Sample messages small enough to copy for every input.
const std::vector<std::vector<BYTE>>& Samples() { return fuzz_files::SmallSamples(150 * 1024); }

const std::string& Folder() { return fuzz_files::ScratchFolder("message-write-fuzz"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = Folder() + "/m.msg";
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    storage_model::ByteChoices choices(data, size);
    const auto& samples = Samples();
    const uint64_t start = choices.Below(1 + samples.size());
    if (start == 0) {
        if (message_model::WriteRandomMessage(choices, path) != S_OK) ::abort();
    } else {
        const std::vector<BYTE>& sample = samples[start - 1];
        FILE* out = std::fopen(path.c_str(), "wb");
        if (!out || std::fwrite(sample.data(), 1, sample.size(), out) != sample.size()) ::abort();
        std::fclose(out);
    }
    message_model::Run run(choices, path);
    if (!run.Go(40) || !run.Reopen()) {
        std::fprintf(stderr, "the message differs from its model: %s\n", run.Failure().c_str());
        ::abort();
    }
    return 0;
}
