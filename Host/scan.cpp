// scan: the card of every message below a folder. The folder is walked as the cards are read,
// never listed whole; the cards are read on several threads through the one format object
// (which is free-threaded) and printed in the order of the files' names.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <objbase.h>

#include "card_reading.h"
#include "commands.h"
#include "format_host.h"
#include "ordered_work.h"
#include "results.h"
#include "sorted_walk.h"
#include "system.h"
#include "text.h"
#include "threads.h"

namespace fs = std::filesystem;

namespace cardhost {

namespace {

// What one file's card comes to: its line, and for a failure its code and reason.
struct Scanned {
    std::string line;
    HRESULT result = S_OK;
    std::string reason;
};

// A reader's own records and log mark; each thread takes one of its own from the pool.
struct Reader {
    explicit Reader(const std::vector<std::string>& names) : request(names) {}
    Request request;
    OpenDiagnosis diagnosis;
};

class ReaderPool {
public:
    explicit ReaderPool(const std::vector<std::string>& names) : names_(names) {}
    std::unique_ptr<Reader> Take() {
        {
            Held held(lock_);
            if (!free_.empty()) {
                std::unique_ptr<Reader> reader = std::move(free_.back());
                free_.pop_back();
                return reader;
            }
        }
        return std::make_unique<Reader>(names_);
    }
    void Give(std::unique_ptr<Reader> reader) {
        Held held(lock_);
        free_.push_back(std::move(reader));
    }

private:
    const std::vector<std::string>& names_;
    Lock lock_;
    std::vector<std::unique_ptr<Reader>> free_;
};

std::string ScanLine(const std::string& file, const Card& card, bool asJson) {
    if (asJson) return JsonLine(file, card) + "\n";
    const CardValue& subject = card.Latest("SUBJECT");
    std::string line = (FAILED(card.result) ? "FAILED " + HexCode(card.result) : std::string("ok    ")) + "  " +
                       ShownText(file);
    if (SUCCEEDED(card.result) && subject.found && subject.kind == CardValue::Kind::String)
        line += "  " + Shorten(subject.text, 60);
    if (!card.reason.empty()) line += "  (" + card.reason + ")";
    return line + "\n";
}

// The message files below the folder, counted for the progress bar.
size_t CountMessages(const std::string& folder) {
    std::error_code error;
    size_t count = 0;
    for (auto it = fs::recursive_directory_iterator(FileSystemPath(folder), fs::directory_options::skip_permission_denied,
                                                    error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (it->is_regular_file(ignored) && HasMessageExtension(FileNameOf(it->path().filename()))) ++count;
    }
    return count;
}

void DrawProgress(size_t done, size_t total) {
    const size_t width = 30;
    const size_t filled = total ? std::min(width, (done * width) / total) : width;
    std::cerr << "\r[" << std::string(filled, '#') << std::string(width - filled, '.') << "] " << done << "/" << total
              << std::flush;
}

}  // namespace

int RunScan(const std::string& module, const std::string& folder, bool asJson, unsigned jobs) {
    std::error_code error;
    if (!fs::is_directory(FileSystemPath(folder), error)) {
        std::cerr << "cardhost: " << ShownText(folder) << " is not a folder\n";
        return kExitUsage;
    }
    auto host = OpenFormat(module);
    if (!host) return kExitOpenFailed;
    IKivFileFormat* const format = host->Format();
    const std::vector<std::string> names = VariableNames({});
    const bool progress = IsTerminal(stderr);
    const bool watched = IsTerminal(stdout);
    const size_t total = progress ? CountMessages(folder) : 0;

    SortedWalk walk(FileSystemPath(folder));
    ReaderPool readers(names);
    std::map<HRESULT, std::map<std::string, size_t>> failures;  // by code, then by reason
    size_t scanned = 0, unlisted = 0;

    OrderedWork<std::string, Scanned> work;
    work.next = [&](std::string& file) {
        const bool more = walk.Next(file);
        for (const std::string& problem : walk.TakeProblems()) {
            if (progress) std::cerr << "\r\033[K";
            std::cerr << "cardhost: " << problem << "\n";
            ++unlisted;
        }
        return more;
    };
    work.process = [&](const std::string& file) {
        std::unique_ptr<Reader> reader = readers.Take();
        Card card = ReadCard(format, file, names, reader->request, reader->diagnosis);
        readers.Give(std::move(reader));
        return Scanned{ScanLine(file, card, asJson), card.result, card.reason};
    };
    work.emit = [&](Scanned& result) {
        ++scanned;
        if (FAILED(result.result)) ++failures[result.result][result.reason];
        if (progress) std::cerr << "\r\033[K" << std::flush;  // the bar gives way to the line
        std::cout << result.line;
        // A line goes out at once where someone watches it (before the bar is drawn again);
        // into a file or a pipe, lines go out in blocks.
        if (watched) std::cout << std::flush;
        if (progress) DrawProgress(scanned, std::max(total, scanned));
    };
    // Each reading thread is in the process's multi-threaded apartment, as the format object's.
    work.threadStart = [] { return SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)); };
    work.threadEnd = [] { CoUninitialize(); };
    work.Run(jobs, 16 * static_cast<size_t>(jobs));

    if (progress) std::cerr << "\r\033[K";
    std::cout.flush();
    size_t failed = 0;
    for (const auto& [code, reasons] : failures)
        for (const auto& [reason, count] : reasons) failed += count;
    std::cerr << "scanned " << scanned << " message" << (scanned == 1 ? "" : "s") << ", " << failed << " failed\n";
    for (const auto& [code, reasons] : failures) {
        size_t count = 0;
        for (const auto& [reason, n] : reasons) count += n;
        std::cerr << "  " << count << " x " << DescribeResult(code) << "\n";
        for (const auto& [reason, n] : reasons)
            std::cerr << "      " << n << " x " << (reason.empty() ? "no reason found" : reason) << "\n";
    }
    if (unlisted)
        std::cerr << "  " << unlisted << " folder" << (unlisted == 1 ? "" : "s") << " could not be listed\n";
    return failed || unlisted ? kExitOpenFailed : kExitSuccess;
}

}  // namespace cardhost
