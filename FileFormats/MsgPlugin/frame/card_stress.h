// The whole card under load, in one process: many threads share one format object, each opens
// copies of the sample messages, reads every card variable, writes and saves some, and contends
// with the others for a few shared copies. What every thread sees is compared with what one
// thread alone reads from the same file, and the log with the entries the failures must write.
//
// Written against the Windows API only, so that the same run serves the Linux tests, the
// Windows tests under Wine and the benchmark; the caller makes the format object (through the
// registry, as the host does) and checks the module's lifetime around the run.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "frame/HostInterfaces.h"
#include "log/wide_string.h"

namespace cardstress {

namespace fs = std::filesystem;

// The eleven catalogue variables, in the order the card shows them.
inline constexpr int kCardVariableCount = 11;
extern const LPCWSTR kCardVariables[kCardVariableCount];
inline constexpr int kSubjectIndex = 5;  // SUBJECT in kCardVariables

// One variable as read: the call's result, whether it was found, and the value's type and bytes.
struct CardValue {
    HRESULT result = S_OK;
    LONG found = -1;
    VARTYPE type = VT_EMPTY;
    std::string bytes;
    bool operator==(const CardValue&) const = default;
};
using Card = std::vector<CardValue>;

// A path as the module takes it.
WString WidePath(const fs::path& path);

// Reads every card variable of an open navigator, one request at a time (as the host does, so
// that a variable without a card form does not hide the others).
Card ReadCard(IKivFileNavigator* navigator);

// "" when the cards are equal; else the first difference, readably.
std::string CardDifference(const Card& expected, const Card& actual);

// A card value holding a text (VT_BSTR), as ReadCard reports a text that was found.
CardValue TextValue(const WString& text);

struct Options {
    int threads = 8;
    int rounds = 2;       // passes of each thread over its own copies of the samples
    unsigned seed = 1;
    int sharedFiles = 6;  // samples copied once into a folder that every thread contends for
    int saveOneIn = 4;    // a thread saves about one in this many of the cards it reads
};

struct Report {
    long opens = 0;           // OpenFile calls made by the threads
    long cards = 0;           // cards read and compared
    long saves = 0;           // saves made (each checked by a later card of the same file)
    long heldRefusals = 0;    // opens of a file that another thread was known to hold: all refused
    long chanceRefusals = 0;  // opens of a shared file that happened to be held at that moment
    long logEntries = 0;      // entries the run added to the log
    std::vector<std::string> problems;  // every departure, described; empty when all is well
};

// Copies the samples into `folder` (one private copy per thread and sample, one shared copy of
// `sharedFiles` of them), reads their one-thread cards, runs the threads, then reads every copy
// once more and the log. `log` is the file the module writes its entries to.
Report Run(IKivFileFormat* format, const std::vector<fs::path>& samples, const fs::path& folder, const fs::path& log,
           const Options& options);

}  // namespace cardstress
