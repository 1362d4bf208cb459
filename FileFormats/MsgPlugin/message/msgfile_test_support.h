// Helpers of the message object's tests: a private registry and log folder per test,
// messages built at run time with the platform's message writer, corpus copies, and variable
// request arrays that clean up after themselves.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <windows.h>

#include "errlog_testing.h"
#include "frame/ComHolders.h"
#include "log_reader.h"
#include "log_test_support.h"
#include "mapi/message_writer.h"
#include "message/MsgFile.h"
#include "platform_testing.h"

namespace msgtest {

namespace fs = std::filesystem;

inline std::u16string Wide(const std::string& utf8) {
    std::u16string out;
    int needed = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    out.resize(static_cast<size_t>(needed > 0 ? needed : 1));
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), needed);
    out.resize(out.size() - 1);
    return out;
}

inline std::string Narrow(const std::u16string& text) {
    int needed = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(needed > 0 ? needed : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), needed, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// Writes `spec` as a new .msg file with the platform's message writer.
inline HRESULT WriteMessageToFile(const std::string& path, const msgwriter::MessageSpec& spec) {
    IStorage* storage = nullptr;
    HRESULT hr = StgCreateDocfile(Wide(path).c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &storage);
    if (FAILED(hr)) return hr;
    hr = msgwriter::WriteMessage(storage, spec);
    storage->Release();
    return hr;
}

// The standard output of a command.
inline std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[65536];
    size_t read = 0;
    while ((read = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, read);
    pclose(pipe);
    return output;
}

// A text as the hex of its UTF-16LE bytes, as the independent readers print it.
inline std::string Utf16Hex(const std::u16string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char16_t c : text)
        for (int shift : {0, 8}) {
            unsigned byte = (c >> shift) & 0xFF;
            out += digits[byte >> 4];
            out += digits[byte & 0xF];
        }
    return out;
}

inline std::string CorpusDir() { return MSGPLUGIN_CORPUS_DIR; }

// Every .msg of the sample folder, sorted.
inline std::vector<fs::path> CorpusFiles() { return platform::testing::MessagesBelow(CorpusDir()); }

// A test with its own temporary folder, registry and log: the log lands in
// <temp>/data/ORVANE/ORVANE KESTREL/ORVANE KESTREL.mlg.
class MessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folders_.Made());
        ErrLogTestingRestartLoad();
    }
    void TearDown() override { ErrLogTestingRestartLoad(); }

    fs::path Dir() const { return dir_; }
    std::string LogPath() const { return folders_.LogPath(); }
    std::vector<LogEntry> LogEntries() const {
        if (!fs::exists(LogPath())) return {};
        return ReadLogFile(Wide(LogPath()).c_str()).entries;
    }

    // Builds a message with the platform's writer.
    std::string Write(const msgwriter::MessageSpec& spec, const std::string& name = "message.msg") {
        std::string path = (dir_ / name).string();
        HRESULT hr = WriteMessageToFile(path, spec);
        EXPECT_EQ(hr, S_OK) << "writing " << path;
        return path;
    }

    // A copy of a sample message that the test may change.
    std::string CopyCorpus(const fs::path& source) {
        fs::path target = dir_ / source.filename();
        fs::copy_file(source, target, fs::copy_options::overwrite_existing);
        fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
        return target.string();
    }

    // Opens a message object on path; *result receives the opening's result.
    msgplugin::CComPtr<IKivFileNavigator> Open(const std::string& path, HRESULT* result = nullptr) {
        msgplugin::CComPtr<IKivFileNavigator> navigator;
        msgplugin::CComBSTR bstr;
        bstr.Attach(SysAllocString(Wide(path).c_str()));
        HRESULT hr = msgplugin::CMsgFile::OpenInProcess(bstr, &navigator);
        if (result) *result = hr;
        return navigator;
    }

public:
    // The message object behind a navigator opened by Open.
    static msgplugin::CMsgFile* Object(IKivFileNavigator* navigator) { return static_cast<msgplugin::CMsgFile*>(navigator); }

private:
    logtest::PrivateFolders folders_{"msgplugin-test"};
    const fs::path dir_ = folders_.Path();
};

// An array of variable requests that owns its strings and values.
class Requests {
public:
    explicit Requests(std::initializer_list<std::pair<const char16_t*, const char16_t*>> blockAndAttribute = {}) {
        records_.reserve(kCapacity);
        for (auto [block, attribute] : blockAndAttribute) Add(block, attribute);
    }
    ~Requests() {
        for (VariableRequest& record : records_) {
            SysFreeString(record.attribute);
            SysFreeString(record.block);
            VariantClear(&record.value);
        }
    }
    Requests(const Requests&) = delete;
    Requests& operator=(const Requests&) = delete;

    // A record with the host's markers: found = 7 and value VT_I4 77, so a test sees what was touched.
    VariableRequest& Add(const char16_t* block, const char16_t* attribute) {
        if (records_.size() == kCapacity) std::abort();  // references handed out must stay valid
        VariableRequest record{};
        record.block = block ? SysAllocString(block) : nullptr;
        record.attribute = attribute ? SysAllocString(attribute) : nullptr;
        VariantInit(&record.value);
        record.value.vt = VT_I4;
        record.value.lVal = 77;
        record.found = 7;
        records_.push_back(record);
        return records_.back();
    }
    VariableRequest& AddMsg(const char16_t* attribute) { return Add(u"MSG", attribute); }

    // A record to write; it takes over `value`.
    VariableRequest& AddValue(const char16_t* attribute, VARIANT value) {
        VariableRequest& record = AddMsg(attribute);
        VariantClear(&record.value);
        record.value = value;
        return record;
    }

    VariableRequest* data() { return records_.data(); }
    LONG count() const { return static_cast<LONG>(records_.size()); }
    VariableRequest& operator[](size_t i) { return records_[i]; }

private:
    static constexpr size_t kCapacity = 64;
    std::vector<VariableRequest> records_;
};

inline std::u16string Text(const VARIANT& value) {
    return value.vt == VT_BSTR && value.bstrVal ? std::u16string(value.bstrVal, SysStringLen(value.bstrVal)) : u"";
}

// One variable read through a navigator: found, and the value as text where it is text.
struct ReadResult {
    HRESULT hr;
    LONG found;
    VARTYPE vt;
    std::u16string text;
    LONG number;
    double real;
};

inline ReadResult ReadOne(IKivFileNavigator* navigator, const char16_t* attribute) {
    Requests requests;
    requests.AddMsg(attribute);
    ReadResult result{};
    result.hr = navigator->ReadVariables(0, 0, 0, 1, requests.data());
    const VariableRequest& record = requests[0];
    result.found = record.found;
    result.vt = record.value.vt;
    result.text = Text(record.value);
    if (record.value.vt == VT_I4 || record.value.vt == VT_ERROR) result.number = record.value.lVal;
    if (record.value.vt == VT_R8 || record.value.vt == VT_DATE) result.real = record.value.dblVal;
    if (record.value.vt == VT_BOOL) result.number = record.value.boolVal;
    return result;
}

// A VARIANT of type `vt` whose value `set` fills in.
template <typename Set>
VARIANT TypedValue(VARTYPE vt, Set set) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    set(v);
    return v;
}
inline VARIANT BstrValue(const char16_t* text) {
    return TypedValue(VT_BSTR, [&](VARIANT& v) { v.bstrVal = text ? SysAllocString(text) : nullptr; });
}
inline VARIANT I4Value(LONG number) { return TypedValue(VT_I4, [&](VARIANT& v) { v.lVal = number; }); }
inline VARIANT DateValue(DATE date) { return TypedValue(VT_DATE, [&](VARIANT& v) { v.date = date; }); }

}  // namespace msgtest
