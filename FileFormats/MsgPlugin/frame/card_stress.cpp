#include "frame/card_stress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>

#ifndef _WIN32
#include "base/native_name.h"
#endif
#include "frame/ComHolders.h"
#include "frame/stress_sync.h"
#include "log/log_reader.h"

namespace cardstress {

using msgplugin::CComPtr;

const LPCWSTR kCardVariables[kCardVariableCount] = {
    OLESTR("ATTACHMENTS"), OLESTR("SENDER_NAME"),   OLESTR("SENT_REPRESENTING_NAME"), OLESTR("DISPLAY_TO"),
    OLESTR("DISPLAY_CC"),  OLESTR("SUBJECT"),       OLESTR("BODY"),                   OLESTR("CREATION_TIME"),
    OLESTR("LAST_MODIFICATION_TIME"), OLESTR("CLIENT_SUBMIT_TIME"), OLESTR("MESSAGE_DELIVERY_TIME"),
};

WString WidePath(const fs::path& path) {
#ifdef _WIN32
    return path.wstring();
#else
    // The platform's mapping of a Linux name, which keeps a name that is not UTF-8 whole.
    return WString(platform::names::FromNative(path.native()));
#endif
}

namespace {

// Wide text for messages: ASCII as it is, anything else as \uXXXX.
std::string Readable(const WCHAR* text, size_t length) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        const unsigned c = static_cast<unsigned>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
    }
    return out;
}
std::string Readable(const WString& text) { return Readable(text.data(), text.size()); }

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

std::string DescribeValue(const CardValue& value) {
    std::string out = "result " + Hex(static_cast<DWORD>(value.result)) + ", found " + std::to_string(value.found) +
                      ", type " + std::to_string(value.type);
    if (value.type == VT_BSTR) {
        const size_t length = value.bytes.size() / sizeof(WCHAR);
        WString text(length, WCHAR(0));
        std::memcpy(text.data(), value.bytes.data(), length * sizeof(WCHAR));
        std::string shown = Readable(text);
        if (shown.size() > 80) shown = shown.substr(0, 80) + "...";
        out += ", \"" + shown + "\"";
    } else {
        out += ", " + std::to_string(value.bytes.size()) + " bytes";
    }
    return out;
}

std::string ValueBytes(const VARIANT& value) {
    auto raw = [](const void* data, size_t size) { return std::string(static_cast<const char*>(data), size); };
    switch (value.vt) {
    case VT_BSTR:
        return value.bstrVal ? raw(value.bstrVal, SysStringByteLen(value.bstrVal)) : std::string();
    case VT_I4:
        return raw(&value.lVal, sizeof value.lVal);
    case VT_R8:
        return raw(&value.dblVal, sizeof value.dblVal);
    case VT_DATE:
        return raw(&value.date, sizeof value.date);
    case VT_BOOL:
        return raw(&value.boolVal, sizeof value.boolVal);
    case VT_ERROR:
        return raw(&value.scode, sizeof value.scode);
    case VT_EMPTY:
        return {};
    default:
        return raw(&value.llVal, sizeof value.llVal);
    }
}

// One variable request of block "MSG", freed with its value.
struct Request {
    VariableRequest record{};
    explicit Request(LPCWSTR attribute) {
        record.block = SysAllocString(OLESTR("MSG"));
        record.attribute = SysAllocString(attribute);
        VariantInit(&record.value);
        record.found = -1;
    }
    ~Request() {
        SysFreeString(record.block);
        SysFreeString(record.attribute);
        VariantClear(&record.value);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
};

}  // namespace

Card ReadCard(IKivFileNavigator* navigator) {
    Card card;
    for (LPCWSTR name : kCardVariables) {
        Request request(name);
        CardValue value;
        value.result = navigator->ReadVariables(0, 0, 0, 1, &request.record);
        value.found = request.record.found;
        value.type = request.record.value.vt;
        value.bytes = ValueBytes(request.record.value);
        card.push_back(std::move(value));
    }
    return card;
}

std::string CardDifference(const Card& expected, const Card& actual) {
    if (expected.size() != actual.size())
        return std::to_string(actual.size()) + " variables instead of " + std::to_string(expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == actual[i]) continue;
        const std::string name = i < kCardVariableCount ? Readable(WString(kCardVariables[i])) : std::to_string(i);
        return name + ": " + DescribeValue(actual[i]) + " instead of " + DescribeValue(expected[i]);
    }
    return {};
}

CardValue TextValue(const WString& text) {
    CardValue value;
    value.result = S_OK;
    value.found = 1;
    value.type = VT_BSTR;
    value.bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(WCHAR));
    return value;
}

namespace {

constexpr auto kHolderPatience = std::chrono::seconds(30);

// A log entry as the run compares it: where the copy's path stood, "{path}".
using LogKey = std::string;
using LogCount = std::map<LogKey, long>;

WString ReplaceAll(WString text, const WString& what, const WString& with) {
    if (what.empty()) return text;
    for (size_t at = text.find(what); at != WString::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

LogKey KeyOf(const LogEntry& entry, const WString& path) {
    return Readable(entry.functionName) + " | " + Readable(ReplaceAll(entry.message, path, OLESTR("{path}"))) +
           " | " + Hex(static_cast<DWORD>(entry.resultCode)) + " | " + Hex(entry.category);
}

// The keys of `keys` as an entry of the copy at `path` writes them.
void AddFor(LogCount& count, const std::vector<LogKey>& keys) {
    for (const LogKey& key : keys) ++count[key];
}

std::vector<LogEntry> ReadEntries(const fs::path& log) {
    if (!fs::exists(log)) return {};
    return ReadLogFile(WidePath(log).c_str()).entries;
}

// What one thread alone reads from a sample: the open's result, the card, and the log entries
// that the open and a reading of the card write.
struct Reference {
    HRESULT result = E_FAIL;
    Card card;
    std::vector<LogKey> openLogged;
    std::vector<LogKey> cardLogged;
};

// One copy of a sample and the card it must show now.
struct Copy {
    fs::path path;
    WString wide;
    int sample = 0;
    Card expected;
};

// Opens `path`; the navigator when S_OK.
HRESULT Open(IKivFileFormat* format, const WString& path, CComPtr<IKivFileNavigator>& navigator) {
    navigator.Release();
    BSTR text = SysAllocString(path.c_str());
    if (!text) return E_OUTOFMEMORY;
    HRESULT hr = format->OpenFile(text, 0, &navigator);
    SysFreeString(text);
    if (FAILED(hr) && navigator) navigator.Release();
    return hr;
}

// Writes SUBJECT and saves; "" when both succeeded.
std::string WriteSubjectAndSave(IKivFileNavigator* navigator, const WString& subject) {
    Request request(OLESTR("SUBJECT"));
    request.record.value.vt = VT_BSTR;
    request.record.value.bstrVal = SysAllocString(subject.c_str());
    HRESULT hr = navigator->WriteVariables(0, 0, 0, 1, &request.record);
    if (hr != S_OK) return "WriteVariables gave " + Hex(static_cast<DWORD>(hr));
    if (request.record.found != 1) return "WriteVariables did not take SUBJECT";
    hr = navigator->Save();
    if (hr != S_OK) return "Save gave " + Hex(static_cast<DWORD>(hr));
    return {};
}

// The file another thread holds open and waits for a refused open of.
struct Board {
    Mutex mutex;
    Condition changed;
    bool published = false;
    unsigned generation = 0;
    WString path;
    int inFlight = 0;  // refused opens under way
    int tried = 0;     // refused opens made in this generation
    int running = 0;   // threads still at work
};

class StressRun {
public:
    StressRun(IKivFileFormat* format, const std::vector<fs::path>& samples, const fs::path& folder, const fs::path& log,
              const Options& options)
        : format_(format), samples_(samples), folder_(folder), log_(log), options_(options) {}

    Report Go() {
        std::error_code error;
        fs::create_directories(folder_, error);
        if (!ReadReferences()) return std::move(report_);
        const size_t logStart = ReadEntries(log_).size();

        MakeCopies();
        board_.running = options_.threads;
        std::vector<LogCount> expected(static_cast<size_t>(options_.threads));
        {
            std::vector<cardstress::Thread> threads;
            threads.reserve(static_cast<size_t>(options_.threads));
            for (int t = 0; t < options_.threads; ++t)
                threads.emplace_back([this, t, &expected] { Work(t, expected[static_cast<size_t>(t)]); });
        }  // every thread joined

        LogCount wanted;
        for (const LogCount& count : expected)
            for (const auto& [key, n] : count) wanted[key] += n;
        CheckFinalState(wanted);
        CheckLog(logStart, wanted);
        return std::move(report_);
    }

private:
    void Problem(std::string text) {
        Held lock(problemsMutex_);
        if (report_.problems.size() < 60) report_.problems.push_back(std::move(text));
    }

    fs::path CopyOf(const fs::path& sample, const fs::path& to) {
        std::error_code error;
        fs::create_directories(to.parent_path(), error);
        fs::copy_file(sample, to, fs::copy_options::overwrite_existing, error);
        if (error) Problem("cannot copy " + sample.string() + ": " + error.message());
        fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, error);
        return to;
    }

    static fs::path Name(int sample) { return Numbered("s%d.msg", sample); }
    fs::path ThreadFolder(int t) const { return folder_ / Numbered("t%d", t); }
    static fs::path Numbered(const char* format, int number) {
        char name[32];
        std::snprintf(name, sizeof name, format, number);
        return name;
    }

    // Every sample's one-thread card, and the entries a refused open writes.
    bool ReadReferences() {
        const fs::path folder = folder_ / "reference";
        references_.resize(samples_.size());
        for (size_t i = 0; i < samples_.size(); ++i) {
            const fs::path copy = CopyOf(samples_[i], folder / Name(static_cast<int>(i)));
            const WString wide = WidePath(copy);
            Reference& reference = references_[i];
            size_t before = ReadEntries(log_).size();
            auto logged = [&](std::vector<LogKey>& keys) {
                std::vector<LogEntry> entries = ReadEntries(log_);
                for (size_t e = before; e < entries.size(); ++e) keys.push_back(KeyOf(entries[e], wide));
                before = entries.size();
            };
            CComPtr<IKivFileNavigator> navigator;
            reference.result = Open(format_, wide, navigator);
            logged(reference.openLogged);
            if (reference.result != S_OK) continue;
            reference.card = ReadCard(navigator);
            logged(reference.cardLogged);
            openable_.push_back(static_cast<int>(i));
        }
        if (openable_.empty()) {
            Problem("no sample message could be opened");
            return false;
        }
        // A second open of a held file: refused, with one entry.
        const fs::path held = folder / Name(openable_.front());
        const WString wide = WidePath(held);
        CComPtr<IKivFileNavigator> holder, second;
        if (Open(format_, wide, holder) != S_OK) {
            Problem("the reference copy cannot be opened again");
            return false;
        }
        const size_t before = ReadEntries(log_).size();
        HRESULT hr = Open(format_, wide, second);
        if (hr != E_MSG_FILE_LOCKED) {
            Problem("a second open of a held file gave " + Hex(static_cast<DWORD>(hr)) + ", not E_MSG_FILE_LOCKED");
            return false;
        }
        std::vector<LogEntry> entries = ReadEntries(log_);
        for (size_t e = before; e < entries.size(); ++e) refusalLogged_.push_back(KeyOf(entries[e], wide));
        if (refusalLogged_.size() != 1) {
            Problem("a refused open wrote " + std::to_string(refusalLogged_.size()) + " log entries, not 1");
            return false;
        }
        return true;
    }

    void MakeCopies() {
        copies_.resize(static_cast<size_t>(options_.threads));
        for (int t = 0; t < options_.threads; ++t)
            for (size_t i = 0; i < samples_.size(); ++i) {
                Copy copy;
                copy.path = CopyOf(samples_[i], ThreadFolder(t) / Name(static_cast<int>(i)));
                copy.wide = WidePath(copy.path);
                copy.sample = static_cast<int>(i);
                copy.expected = references_[i].card;
                copies_[static_cast<size_t>(t)].push_back(std::move(copy));
            }
        // Shared copies of openable samples spread over the list.
        const size_t shared = std::min(openable_.size(), static_cast<size_t>(std::max(options_.sharedFiles, 1)));
        for (size_t k = 0; k < shared; ++k) {
            const int sample = openable_[k * openable_.size() / shared];
            Copy copy;
            copy.path = CopyOf(samples_[static_cast<size_t>(sample)], folder_ / "shared" / Name(sample));
            copy.wide = WidePath(copy.path);
            copy.sample = sample;
            copy.expected = references_[static_cast<size_t>(sample)].card;
            shared_.push_back(std::move(copy));
        }
        sharedLocks_ = std::make_unique<Mutex[]>(shared_.size());
    }

    static bool Writable(const Card& card) {
        return card.size() == kCardVariableCount && card[kSubjectIndex].found == 1 &&
               card[kSubjectIndex].type == VT_BSTR;
    }

    // Reads the card of an opened copy, compares it, and saves a new subject when `save`.
    // `expected` is the copy's card, which the caller alone may touch while the file is held.
    void ReadAndMaybeSave(IKivFileNavigator* navigator, const Copy& copy, Card& expected, bool save,
                          const WString& subject, const char* what) {
        ++cards_;
        std::string difference = CardDifference(expected, ReadCard(navigator));
        if (!difference.empty()) Problem(std::string(what) + " " + copy.path.string() + ": " + difference);
        if (!save || !Writable(expected)) return;
        std::string failed = WriteSubjectAndSave(navigator, subject);
        if (!failed.empty()) {
            Problem(std::string(what) + " " + copy.path.string() + ": " + failed);
            return;
        }
        expected[kSubjectIndex].bytes = TextValue(subject).bytes;
        ++saves_;
    }

    // One open of a copy this thread owns.
    void OwnFile(Copy& copy, std::mt19937& random, const WString& subject, LogCount& expected) {
        const Reference& reference = references_[static_cast<size_t>(copy.sample)];
        CComPtr<IKivFileNavigator> navigator;
        ++opens_;
        HRESULT hr = Open(format_, copy.wide, navigator);
        AddFor(expected, reference.openLogged);
        if (hr != reference.result) {
            Problem("open of " + copy.path.string() + " gave " + Hex(static_cast<DWORD>(hr)) + ", alone " +
                    Hex(static_cast<DWORD>(reference.result)));
            return;
        }
        if (hr != S_OK) return;
        const bool save = random() % static_cast<unsigned>(std::max(options_.saveOneIn, 1)) == 0;
        AddFor(expected, reference.cardLogged);
        ReadAndMaybeSave(navigator, copy, copy.expected, save, subject, "card of");
    }

    // One open of a shared copy: either it opens, and no other thread opens it until it is
    // released, or it is refused as locked.
    void SharedFile(std::mt19937& random, const WString& subject, LogCount& expected, bool hold) {
        const size_t index = random() % shared_.size();
        Copy& copy = shared_[index];
        const Reference& reference = references_[static_cast<size_t>(copy.sample)];
        CComPtr<IKivFileNavigator> navigator;
        ++opens_;
        HRESULT hr = Open(format_, copy.wide, navigator);
        if (hr == E_MSG_FILE_LOCKED) {
            ++chanceRefusals_;
            AddFor(expected, refusalLogged_);
            return;
        }
        AddFor(expected, reference.openLogged);
        if (hr != S_OK) {
            Problem("open of shared " + copy.path.string() + " gave " + Hex(static_cast<DWORD>(hr)));
            return;
        }
        // The copy's expected card is this thread's alone while it holds the file: a second holder
        // would mean the lock let two opens through. (Given back before the file is released.)
        HeldIfFree alone(sharedLocks_[index]);
        if (!alone.owns()) {
            Problem("two threads hold " + copy.path.string() + " at once");
            return;
        }
        const bool save = random() % static_cast<unsigned>(std::max(options_.saveOneIn, 1)) == 0;
        AddFor(expected, reference.cardLogged);
        if (!hold || !Publish(copy.wide)) {
            ReadAndMaybeSave(navigator, copy, copy.expected, save, subject, "shared card of");
            return;
        }
        // Held while another thread's open is refused; the card is the same before and after.
        ReadAndMaybeSave(navigator, copy, copy.expected, false, subject, "held card of");
        WaitForRefusalAndWithdraw();
        AddFor(expected, reference.cardLogged);
        ReadAndMaybeSave(navigator, copy, copy.expected, save, subject, "held card after a refused open, of");
    }

    bool Publish(const WString& path) {
        Held lock(board_.mutex);
        if (board_.published) return false;
        board_.published = true;
        ++board_.generation;
        board_.path = path;
        board_.tried = 0;
        board_.inFlight = 0;
        return true;
    }

    void WaitForRefusalAndWithdraw() {
        Held lock(board_.mutex);
        board_.changed.WaitFor(board_.mutex, kHolderPatience, [&] { return board_.tried > 0 || board_.running <= 1; });
        board_.changed.Wait(board_.mutex, [&] { return board_.inFlight == 0; });
        board_.published = false;
    }

    // Tries the held file once per generation: the open must be refused.
    void TryHeldFile(unsigned& lastGeneration, LogCount& expected) {
        WString path;
        {
            Held lock(board_.mutex);
            if (!board_.published || board_.generation == lastGeneration) return;
            lastGeneration = board_.generation;
            path = board_.path;
            ++board_.inFlight;
        }
        CComPtr<IKivFileNavigator> navigator;
        ++opens_;
        HRESULT hr = Open(format_, path, navigator);
        if (hr == E_MSG_FILE_LOCKED) {
            ++heldRefusals_;
            AddFor(expected, refusalLogged_);
        } else {
            Problem("a file another thread holds opened with " + Hex(static_cast<DWORD>(hr)) + ": " + Readable(path));
        }
        navigator.Release();
        Held lock(board_.mutex);
        --board_.inFlight;
        ++board_.tried;
        board_.changed.WakeAll();
    }

    void Work(int t, LogCount& expected) {
        try {
            HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            std::mt19937 random(options_.seed * 7919u + static_cast<unsigned>(t));
            std::vector<Copy>& own = copies_[static_cast<size_t>(t)];
            unsigned lastGeneration = 0;
            int written = 0;
            auto subject = [&](int round) {
                std::string text = "stress t" + std::to_string(t) + " r" + std::to_string(round) + " n" +
                                   std::to_string(++written);
                return WString(text.begin(), text.end());
            };
            for (int round = 0; round < options_.rounds; ++round) {
                std::vector<size_t> order(own.size());
                for (size_t i = 0; i < order.size(); ++i) order[i] = i;
                std::shuffle(order.begin(), order.end(), random);
                for (size_t i : order) {
                    TryHeldFile(lastGeneration, expected);
                    // A reference of this thread's own for a while, as a host's worker takes one.
                    CComPtr<IKivFileFormat> mine;
                    if (format_->QueryInterface(IID_IKivFileFormat, mine.AsVoidOut()) != S_OK) {
                        Problem("the format object refused its own interface");
                        break;
                    }
                    OwnFile(own[i], random, subject(round), expected);
                    const unsigned dice = random() % 8;
                    if (dice < 2) SharedFile(random, subject(round), expected, dice == 0);
                }
            }
            if (SUCCEEDED(init)) CoUninitialize();
        } catch (const std::exception& error) {
            Problem(std::string("thread stopped: ") + error.what());
        }
        Held lock(board_.mutex);
        --board_.running;
        board_.changed.WakeAll();
    }

    // Every copy shows the card its last save left, and no folder holds anything else.
    void CheckFinalState(LogCount& wanted) {
        auto check = [&](const Copy& copy) {
            const Reference& reference = references_[static_cast<size_t>(copy.sample)];
            CComPtr<IKivFileNavigator> navigator;
            HRESULT hr = Open(format_, copy.wide, navigator);
            AddFor(wanted, reference.openLogged);
            if (hr != reference.result) {
                Problem("final open of " + copy.path.string() + " gave " + Hex(static_cast<DWORD>(hr)));
                return;
            }
            if (hr != S_OK) return;
            AddFor(wanted, reference.cardLogged);
            std::string difference = CardDifference(copy.expected, ReadCard(navigator));
            if (!difference.empty()) Problem("final card of " + copy.path.string() + ": " + difference);
        };
        auto checkFolder = [&](const fs::path& folder, const std::vector<Copy>& copies) {
            std::set<fs::path> want, found;
            for (const Copy& copy : copies) want.insert(copy.path.filename());
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(folder, error)) found.insert(entry.path().filename());
            for (const fs::path& name : found)
                if (!want.count(name)) Problem("left in " + folder.string() + ": " + name.string());
            for (const fs::path& name : want)
                if (!found.count(name)) Problem("missing from " + folder.string() + ": " + name.string());
        };
        for (int t = 0; t < options_.threads; ++t) {
            for (const Copy& copy : copies_[static_cast<size_t>(t)]) check(copy);
            checkFolder(ThreadFolder(t), copies_[static_cast<size_t>(t)]);
        }
        for (const Copy& copy : shared_) check(copy);
        checkFolder(folder_ / "shared", shared_);

        report_.opens = opens_;
        report_.cards = cards_;
        report_.saves = saves_;
        report_.heldRefusals = heldRefusals_;
        report_.chanceRefusals = chanceRefusals_;
    }

    void CheckLog(size_t logStart, const LogCount& wanted) {
        std::vector<LogEntry> entries = ReadEntries(log_);
        LogCount found;
        // Entries name a copy's path where a reference entry named its own: map every path back.
        std::vector<std::pair<WString, int>> paths;
        for (const auto& own : copies_)
            for (const Copy& copy : own) paths.emplace_back(copy.wide, copy.sample);
        for (const Copy& copy : shared_) paths.emplace_back(copy.wide, copy.sample);
        std::sort(paths.begin(), paths.end(), [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
        for (size_t e = logStart; e < entries.size(); ++e) {
            WString named;
            for (const auto& [path, sample] : paths)
                if (entries[e].message.find(path) != WString::npos) {
                    named = path;
                    break;
                }
            ++found[KeyOf(entries[e], named)];
        }
        report_.logEntries = static_cast<long>(entries.size() - std::min(entries.size(), logStart));
        for (const auto& [key, n] : wanted) {
            auto at = found.find(key);
            const long got = at == found.end() ? 0 : at->second;
            if (got != n) Problem("log: " + std::to_string(got) + " entries \"" + key + "\", expected " + std::to_string(n));
        }
        for (const auto& [key, n] : found)
            if (!wanted.count(key)) Problem("log: " + std::to_string(n) + " unexpected entries \"" + key + "\"");
    }

    IKivFileFormat* format_;
    const std::vector<fs::path>& samples_;
    fs::path folder_;
    fs::path log_;
    Options options_;

    std::vector<Reference> references_;
    std::vector<int> openable_;
    std::vector<LogKey> refusalLogged_;
    std::vector<std::vector<Copy>> copies_;
    std::vector<Copy> shared_;
    std::unique_ptr<Mutex[]> sharedLocks_;
    Board board_;

    std::atomic<long> opens_{0}, cards_{0}, saves_{0}, heldRefusals_{0}, chanceRefusals_{0};
    Mutex problemsMutex_;
    Report report_;
};

}  // namespace

Report Run(IKivFileFormat* format, const std::vector<fs::path>& samples, const fs::path& folder, const fs::path& log,
           const Options& options) {
    return StressRun(format, samples, folder, log, options).Go();
}

}  // namespace cardstress
