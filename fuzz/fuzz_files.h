// What the fuzz targets that write files share: sample messages to start from, and a scratch
// folder of their own.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/storage_model_run.h"

namespace fuzz_files {

// The corpus's sample messages of at most maxBytes, read once.
inline const std::vector<std::vector<BYTE>>& SmallSamples(uintmax_t maxBytes) {
    static const std::vector<std::vector<BYTE>> samples = [maxBytes] {
        std::vector<std::vector<BYTE>> out;
        std::error_code error;
        for (auto& entry : std::filesystem::recursive_directory_iterator(MSGPLUGIN_CORPUS_DIR, error)) {
            if (!entry.is_regular_file() || entry.path().extension() != ".msg") continue;
            const auto size = entry.file_size(error);
            if (!error && size > 0 && size <= maxBytes) out.push_back(storage_model::FileBytes(entry.path().string()));
        }
        return out;
    }();
    return samples;
}

// A folder made once in $TMPDIR, named after the target (tools/run-fuzzers.sh points $TMPDIR at
// a scratch folder in memory, as saves flush to disk, and removes it afterwards).
inline const std::string& ScratchFolder(const char* target) {
    static const std::string* folder = [target] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + target + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) ::abort();
        return new std::string(pattern);  // kept for the process's life
    }();
    return *folder;
}

}  // namespace fuzz_files
