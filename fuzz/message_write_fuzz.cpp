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

#include "mapi/message_model_run.h"

namespace {

// Sample messages small enough to copy for every input.
const std::vector<std::vector<BYTE>>& Samples() {
    static const std::vector<std::vector<BYTE>> samples = [] {
        std::vector<std::vector<BYTE>> out;
        std::error_code error;
        for (auto& entry : std::filesystem::recursive_directory_iterator(MSGPLUGIN_CORPUS_DIR, error)) {
            if (!entry.is_regular_file() || entry.path().extension() != ".msg") continue;
            const auto size = entry.file_size(error);
            if (!error && size > 0 && size <= 150 * 1024) out.push_back(storage_model::FileBytes(entry.path().string()));
        }
        return out;
    }();
    return samples;
}

// The folder the message lives in, made once in $TMPDIR (tools/run-fuzzers.sh points it at a
// scratch folder in memory and removes it afterwards).
const std::string& Folder() {
    static const std::string* folder = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/message-write-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) ::abort();
        return new std::string(pattern);  // kept for the process's life
    }();
    return *folder;
}

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
