// The plug-in's own costs, as the host sees them:
// - open a message, read all eleven card variables (the body included) and release it, per
//   sample message, beside a plain read() of the same file and beside the system calls alone
//   that the storage makes to open and read it, and the median over the samples;
// - the same on a 200 MB message (a 200 MB attachment, a 20 MB body), without and with the
//   body, with the memory that opening and reading it adds;
// - Save of one changed subject on that message beside copying the file;
// - the card of messages that hold much beyond it (200 attachments of 1 MB, an embedded message
//   chain 10 deep, a 5 MB HTML body beside a small text body, 8-bit strings throughout) beside
//   the card of Simple.msg: a card should cost what the card holds, not what the message holds.
// Sample messages are copied to /tmp first (the plug-in opens files for writing); the large
// message is built there and everything is deleted afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "frame/ComHolders.h"
#include "mapi/message_writer.h"
#include "message/MsgFile.h"
#include "testing/message_chain.h"
#include "testing/test_files.h"

namespace {

namespace fs = std::filesystem;
using msgplugin::CComPtr;

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

const char16_t* const kCard[] = {u"ATTACHMENTS", u"SENDER_NAME", u"SENT_REPRESENTING_NAME", u"DISPLAY_TO",
                                 u"DISPLAY_CC", u"SUBJECT", u"BODY", u"CREATION_TIME", u"LAST_MODIFICATION_TIME",
                                 u"CLIENT_SUBMIT_TIME", u"MESSAGE_DELIVERY_TIME"};

// Variable requests of block "MSG", released with their values.
struct CardRequests {
    std::vector<VariableRequest> records;
    explicit CardRequests(bool withBody) {
        for (const char16_t* name : kCard) {
            if (!withBody && std::u16string(name) == u"BODY") continue;
            VariableRequest record{};
            record.block = SysAllocString(u"MSG");
            record.attribute = SysAllocString(name);
            VariantInit(&record.value);
            records.push_back(record);
        }
    }
    ~CardRequests() {
        for (VariableRequest& record : records) {
            SysFreeString(record.block);
            SysFreeString(record.attribute);
            VariantClear(&record.value);
        }
    }
};

// Open, read the card, release: what the host does for one file. The requests are the host's
// and made once; their values are freed before each card, as the host frees what it was given.
// Returns the variables found.
int ReadCard(const std::u16string& path, CardRequests& requests) {
    for (VariableRequest& record : requests.records) {
        VariantClear(&record.value);
        record.found = 0;
    }
    BSTR bstr = SysAllocString(path.c_str());
    CComPtr<IKivFileNavigator> navigator;
    HRESULT hr = msgplugin::CMsgFile::OpenInProcess(bstr, &navigator);
    SysFreeString(bstr);
    if (FAILED(hr)) return -1;
    // One record at a time, so a value without a card form does not stop the rest.
    int found = 0;
    for (VariableRequest& record : requests.records) {
        navigator->ReadVariables(0, 0, 0, 1, &record);
        found += record.found == 1;
    }
    return found;
}

int ReadCard(const std::u16string& path, bool withBody) {
    CardRequests requests(withBody);
    return ReadCard(path, requests);
}

void RawRead(benchmark::State& state, fs::path path) {
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        size_t total = 0;
        ssize_t got = 0;
        while ((got = read(fd, buffer.data(), buffer.size())) > 0) total += static_cast<size_t>(got);
        close(fd);
        benchmark::DoNotOptimize(total);
    }
}

void Card(benchmark::State& state, fs::path path, bool withBody) {
    const std::u16string wide = path.u16string();
    CardRequests requests(withBody);
    int found = 0;
    for (auto _ : state) {
        found = ReadCard(wide, requests);
        benchmark::DoNotOptimize(found);
    }
    state.counters["found"] = found;
}

// Median over the samples of the time one card read takes, and of a plain read.
// The system calls the storage makes to open a file for reading and writing, exclusively, and
// read it whole (as it does for a small file), and nothing else: the open; its type and size;
// whether its folder can take a saved image; the share lock; whether a save replaced the file
// meanwhile; whether a killed save left an image; the read; the close. What a card costs beyond
// this is the plug-in's own work.
void SystemCallsOfAnOpen(const fs::path& file, std::vector<char>& buffer) {
    int fd = open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    fstat(fd, &st);
    struct stat other {};
    stat(file.parent_path().c_str(), &other);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0x7FFFFF01;
    lock.l_len = 4;
    fcntl(fd, F_OFD_SETLK, &lock);
    stat(file.c_str(), &other);
    std::string leftover = ".";
    leftover += file.filename().string();
    leftover += ".saving";
    stat((file.parent_path() / leftover).c_str(), &other);
    benchmark::DoNotOptimize(pread(fd, buffer.data(), std::min<size_t>(buffer.size(), size_t(st.st_size)), 0));
    close(fd);
}

void MedianOverSamples(benchmark::State& state, std::vector<fs::path> files) {
    using Clock = std::chrono::steady_clock;
    auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values.empty() ? 0.0 : values[values.size() / 2];
    };
    std::vector<char> buffer(1 << 16);
    double cardMedian = 0, readMedian = 0, callsMedian = 0;
    CardRequests requests(true);
    for (auto _ : state) {
        std::vector<double> card, raw, calls;
        for (const fs::path& file : files) {
            const std::u16string wide = file.u16string();
            double bestCard = 1e30, bestRead = 1e30, bestCalls = 1e30;
            for (int round = 0; round < 15; ++round) {
                auto start = Clock::now();
                benchmark::DoNotOptimize(ReadCard(wide, requests));
                bestCard = std::min(bestCard, std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                start = Clock::now();
                int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
                while (read(fd, buffer.data(), buffer.size()) > 0) {
                }
                close(fd);
                bestRead = std::min(bestRead, std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                start = Clock::now();
                SystemCallsOfAnOpen(file, buffer);
                bestCalls = std::min(bestCalls, std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
            card.push_back(bestCard);
            raw.push_back(bestRead);
            calls.push_back(bestCalls);
        }
        cardMedian = median(card);
        readMedian = median(raw);
        callsMedian = median(calls);
    }
    state.counters["card_us_median"] = cardMedian;
    state.counters["read_us_median"] = readMedian;
    // The storage's system calls alone, and their ratio to the plain read.
    state.counters["open_calls_us_median"] = callsMedian;
    state.counters["open_calls_ratio"] = readMedian > 0 ? callsMedian / readMedian : 0;
    state.counters["ratio"] = readMedian > 0 ? cardMedian / readMedian : 0;
}

long ResidentKilobytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void LargeCard(benchmark::State& state, fs::path path, bool withBody) {
    const std::u16string wide = path.u16string();
    long growth = 0;
    for (auto _ : state) {
        const long before = ResidentKilobytes();
        BSTR bstr = SysAllocString(wide.c_str());
        CComPtr<IKivFileNavigator> navigator;
        msgplugin::CMsgFile::OpenInProcess(bstr, &navigator);
        SysFreeString(bstr);
        {
            CardRequests requests(withBody);
            for (VariableRequest& record : requests.records) navigator->ReadVariables(0, 0, 0, 1, &record);
            growth = std::max(growth, ResidentKilobytes() - before);
        }
    }
    state.counters["rss_growth_kb"] = static_cast<double>(growth);
}

void SaveSubject(benchmark::State& state, fs::path path) {
    const std::u16string wide = path.u16string();
    BSTR bstr = SysAllocString(wide.c_str());
    CComPtr<IKivFileNavigator> navigator;
    if (FAILED(msgplugin::CMsgFile::OpenInProcess(bstr, &navigator))) {
        SysFreeString(bstr);
        state.SkipWithError("cannot open the large message");
        return;
    }
    SysFreeString(bstr);
    int round = 0;
    for (auto _ : state) {
        VariableRequest record{};
        record.block = SysAllocString(u"MSG");
        record.attribute = SysAllocString(u"SUBJECT");
        record.value.vt = VT_BSTR;
        record.value.bstrVal = SysAllocString(++round % 2 ? u"Subject A" : u"Subject B");
        navigator->WriteVariables(0, 0, 0, 1, &record);
        HRESULT hr = navigator->Save();
        if (FAILED(hr)) state.SkipWithError("save failed");
        SysFreeString(record.block);
        SysFreeString(record.attribute);
        VariantClear(&record.value);
    }
}

// Copying the file, flushed to disk as a save is.
void CopyFile(benchmark::State& state, fs::path path) {
    const fs::path copy = path.string() + ".copy";
    std::vector<char> buffer(1 << 20);
    for (auto _ : state) {
        int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ssize_t got = 0;
        while ((got = read(in, buffer.data(), buffer.size())) > 0)
            if (write(out, buffer.data(), static_cast<size_t>(got)) != got) break;
        fsync(out);
        close(out);
        close(in);
    }
    fs::remove(copy);
}

bool BuildLargeMessage(const fs::path& path) {
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"Large message"),
                  msgwriter::Unicode(PR_SENDER_NAME_W, u"Ann Example"),
                  msgwriter::Unicode(PR_BODY_W, std::u16string(10u << 20, u'b')),  // 20 MB
                  msgwriter::Time(PR_CREATION_TIME, 134129520000000000ULL)};
    std::vector<BYTE> data(200u << 20);
    for (size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<BYTE>(i >> 12);
    spec.attachments.push_back({{msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE),
                                 msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"large.bin"),
                                 msgwriter::Binary(PR_ATTACH_DATA_BIN, std::move(data))}});
    IStorage* storage = nullptr;
    if (FAILED(StgCreateDocfile(path.u16string().c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                &storage)))
        return false;
    HRESULT hr = msgwriter::WriteMessage(storage, spec);
    storage->Release();
    return SUCCEEDED(hr);
}

// The messages that hold much beyond their card.
msgwriter::MessageSpec CardOnly(const char16_t* subject) {
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Unicode(PR_MESSAGE_CLASS_W, u"IPM.Note"), msgwriter::Unicode(PR_SUBJECT_W, subject),
                  msgwriter::Unicode(PR_SENDER_NAME_W, u"Ann Example"), msgwriter::Unicode(PR_DISPLAY_TO_W, u"Bo Example"),
                  msgwriter::Unicode(PR_BODY_W, u"A short text body.\r\n"),
                  msgwriter::Time(PR_CREATION_TIME, 134129520000000000ULL),
                  msgwriter::Time(PR_CLIENT_SUBMIT_TIME, 134129520000000000ULL)};
    return spec;
}

msgwriter::AttachmentSpec FileAttachment(const std::u16string& name, size_t size) {
    std::vector<BYTE> data(size);
    for (size_t i = 0; i < data.size(); i += 512) data[i] = static_cast<BYTE>(i >> 9);
    return {{msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE), msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, name),
             msgwriter::Binary(PR_ATTACH_DATA_BIN, std::move(data))}};
}

// 200 attachments of `size` bytes: their names are on the card, their contents are not.
msgwriter::MessageSpec ManyAttachments(size_t size) {
    msgwriter::MessageSpec spec = CardOnly(u"200 attachments");
    for (int i = 0; i < 200; ++i) spec.attachments.push_back(FileAttachment(u"part" + Wide(std::to_string(i)) + u".bin", size));
    return spec;
}

msgwriter::MessageSpec EmbeddedChain() {
    msgwriter::MessageSpec innermost = CardOnly(u"the innermost message");
    innermost.attachments.push_back(FileAttachment(u"deepest.bin", 1u << 20));
    msgwriter::MessageSpec spec = platform::testing::EmbeddedChain(innermost, 10, CardOnly(u"a forwarded message"));
    spec.props[1] = msgwriter::Unicode(PR_SUBJECT_W, u"an embedded chain 10 deep");
    return spec;
}

msgwriter::MessageSpec LargeHtmlBody() {
    msgwriter::MessageSpec spec = CardOnly(u"5 MB of HTML beside a short text body");
    std::string html = "<html><body>";
    while (html.size() < (5u << 20)) html += "<p>A paragraph of the HTML body, much longer than the text body.</p>\n";
    html += "</body></html>";
    spec.props.push_back(msgwriter::Binary(PR_HTML, std::vector<BYTE>(html.begin(), html.end())));
    return spec;
}

msgwriter::MessageSpec EightBitStore() {
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Ansi(PROP_TAG(PT_STRING8, 0x001A), "IPM.Note"),
                  msgwriter::Ansi(PROP_TAG(PT_STRING8, 0x0037), "8-bit strings throughout"),
                  msgwriter::Ansi(PROP_TAG(PT_STRING8, 0x0C1A), "Ann Example"),
                  msgwriter::Ansi(PROP_TAG(PT_STRING8, 0x0E04), "Bo Example"),
                  msgwriter::Ansi(PROP_TAG(PT_STRING8, 0x1000), "A short text body.\r\n"),
                  msgwriter::Long(PR_STORE_SUPPORT_MASK, 0),
                  msgwriter::Time(PR_CREATION_TIME, 134129520000000000ULL),
                  msgwriter::Time(PR_CLIENT_SUBMIT_TIME, 134129520000000000ULL)};
    for (int i = 0; i < 3; ++i)
        spec.attachments.push_back({{msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE),
                                     msgwriter::Ansi(PROP_TAG(PT_STRING8, 0x3707), "file" + std::to_string(i) + ".txt"),
                                     msgwriter::Binary(PR_ATTACH_DATA_BIN, std::vector<BYTE>(64u << 10, 'x'))}});
    return spec;
}

bool WriteSpec(const fs::path& path, const msgwriter::MessageSpec& spec) {
    IStorage* storage = nullptr;
    if (FAILED(StgCreateDocfile(path.u16string().c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                &storage)))
        return false;
    HRESULT hr = msgwriter::WriteMessage(storage, spec);
    if (SUCCEEDED(hr)) hr = storage->Commit(STGC_DEFAULT);
    storage->Release();
    return SUCCEEDED(hr);
}

// The best of 15 card reads of each message, and its ratio to the first (Simple.msg).
void CardCostBeside(benchmark::State& state, std::vector<fs::path> files, bool withBody) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> best(files.size(), 1e30);
    std::vector<std::u16string> wide;
    for (const fs::path& file : files) wide.push_back(file.u16string());
    CardRequests requests(withBody);
    for (auto _ : state) {
        for (int round = 0; round < 15; ++round) {
            for (size_t i = 0; i < files.size(); ++i) {
                const auto start = Clock::now();
                benchmark::DoNotOptimize(ReadCard(wide[i], requests));
                best[i] = std::min(best[i], std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string name = files[i].stem().string();
        state.counters[name + "_us"] = best[i];
        if (i) state.counters[name + "_x"] = best[i] / best[0];
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    platform::testing::TempFolder folder("msgplugin_bench");
    if (!folder.Made()) return 1;
    const fs::path dir = folder.Path();
    // The log of failures goes to the temporary folder too.
    setenv("XDG_DATA_HOME", dir.c_str(), 1);

    std::vector<fs::path> samples;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(MSGPLUGIN_CORPUS_DIR, ec)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".msg" || entry.file_size() == 0) continue;
        fs::path copy = dir / (entry.path().parent_path().filename().string() + "-" +
                                         entry.path().filename().string());
        fs::copy_file(entry.path(), copy, fs::copy_options::overwrite_existing, ec);
        fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, ec);
        samples.push_back(copy);
    }
    std::sort(samples.begin(), samples.end());
    for (const fs::path& sample : samples) {
        const std::string name = sample.filename().string();
        benchmark::RegisterBenchmark(("RawRead/" + name).c_str(), RawRead, sample)->MinTime(0.02);
        benchmark::RegisterBenchmark(("Card/" + name).c_str(), Card, sample, true)->MinTime(0.02);
    }
    benchmark::RegisterBenchmark("CardMedian/all-samples", MedianOverSamples, samples)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);

    // The card of messages that hold much beyond it, beside Simple.msg's.
    std::vector<fs::path> heavy;
    for (const fs::path& sample : samples)
        if (sample.filename().string().find("Simple.msg") != std::string::npos) heavy.push_back(sample);
    const std::pair<const char*, msgwriter::MessageSpec (*)()> built[] = {
        {"attachments-200x1MB", [] { return ManyAttachments(1u << 20); }},
        {"attachments-200x1B", [] { return ManyAttachments(1); }},
        {"embedded-chain-10", EmbeddedChain},
        {"html-body-5MB", LargeHtmlBody}, {"eight-bit-store", EightBitStore}};
    for (const auto& [name, make] : built) {
        const fs::path path = dir / (std::string(name) + ".msg");
        if (heavy.empty() || getenv("MSGPLUGIN_BENCH_SAMPLES_ONLY")) break;
        // A profile builds only the message it reads.
        const char* profiled = getenv("MSGPLUGIN_BENCH_PROFILE") ? getenv("MSGPLUGIN_BENCH_SAMPLE") : nullptr;
        if (getenv("MSGPLUGIN_BENCH_PROFILE") && (!profiled || !std::strstr(name, profiled))) continue;
        if (WriteSpec(path, make()) && ReadCard(path.u16string(), true) > 0)
            heavy.push_back(path);
        else
            std::fprintf(stderr, "could not build %s in %s\n", name, dir.c_str());
    }
    // MSGPLUGIN_BENCH_PROFILE=N: read the card of the sample whose name contains
    // MSGPLUGIN_BENCH_SAMPLE (else the first; the built messages above count too) N times and stop, for a profiler.
    if (const char* rounds = getenv("MSGPLUGIN_BENCH_PROFILE")) {
        const char* wanted = getenv("MSGPLUGIN_BENCH_SAMPLE");
        fs::path chosen = samples.empty() ? fs::path() : samples.front();
        for (const std::vector<fs::path>* list : {&heavy, &samples})
            for (const fs::path& sample : *list)
                if (wanted && sample.filename().string().find(wanted) != std::string::npos) chosen = sample;
        int found = 0;
        const std::u16string wide = chosen.u16string();
        CardRequests requests(true);
        for (int i = 0, n = std::atoi(rounds); i < n; ++i) found += ReadCard(wide, requests);
        std::printf("%s: %d variables found\n", chosen.c_str(), found);
        return 0;
    }
    if (heavy.size() > 1) {
        benchmark::RegisterBenchmark("CardBesideSimple/with-body", CardCostBeside, heavy, true)->Iterations(1);
        benchmark::RegisterBenchmark("CardBesideSimple/without-body", CardCostBeside, heavy, false)->Iterations(1);
    }

    // MSGPLUGIN_BENCH_SAMPLES_ONLY=1 leaves the large message out (for profiling the samples).
    fs::path large = dir / "large.msg";
    if (getenv("MSGPLUGIN_BENCH_SAMPLES_ONLY")) {
    } else if (BuildLargeMessage(large)) {
        fs::path small = samples.empty() ? large : samples.front();
        benchmark::RegisterBenchmark("CardWithoutBody/small", LargeCard, small, false)->MinTime(0.1);
        benchmark::RegisterBenchmark("CardWithoutBody/large-200MB", LargeCard, large, false)->MinTime(0.1);
        benchmark::RegisterBenchmark("CardWithBody/large-200MB-20MB-body", LargeCard, large, true)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
        benchmark::RegisterBenchmark("SaveSubject/large-200MB", SaveSubject, large)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3);
        benchmark::RegisterBenchmark("CopyFile/large-200MB", CopyFile, large)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3);
    } else {
        std::fprintf(stderr, "could not build the large message in %s\n", dir.c_str());
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
