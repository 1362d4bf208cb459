// Every sample message, read through StgOpenStorage and OpenIMsgOnIStg, against an independent
// reading of the same file (python3-olefile, msg_props_dump.py): the same tags, types and
// values in the same order for the message, every attachment and every embedded message, the
// same recipients, and one attachment-table row per attachment storage with its long file name.
// Values are compared in their stored types (GetProps without MAPI_UNICODE converts nothing;
// conversions with the message's code page are the store tests' subject). The olefile reading
// gives what the file holds; where the store differs by design, the inline limit, this test
// applies the difference to it (WithTheInlineLimit).
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/comptr.h"
#include "mapi/public_storage_test_helper.h"
#include "platform_testing.h"
#include "windows.h"

namespace {

namespace fs = std::filesystem;
using platform::ComPtr;

std::string Hex(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const auto* p = static_cast<const BYTE*>(data);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

size_t WideLength(const char16_t* s) {
    size_t n = 0;
    while (s && s[n]) ++n;
    return n;
}

// The value as msg_props_dump.py writes it.
std::string Canonical(const SPropValue& v) {
    const ULONG type = PROP_TYPE(v.ulPropTag);
    char text[32];
    switch (type) {
        case PT_ERROR: std::snprintf(text, sizeof text, "ERR %08X", static_cast<unsigned>(v.Value.err)); return text;
        case PT_BOOLEAN: return v.Value.b ? "1" : "0";
        case PT_I2: return Hex(&v.Value.i, 2);
        case PT_LONG: case PT_R4: return Hex(&v.Value.l, 4);
        case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME: case PT_I8: case PT_SYSTIME: return Hex(&v.Value.li, 8);
        case PT_OBJECT: return "obj";
        case PT_STRING8: return Hex(v.Value.lpszA, std::strlen(v.Value.lpszA));
        case PT_UNICODE: return Hex(v.Value.lpszW, WideLength(v.Value.lpszW) * 2);
        case PT_BINARY: case PT_SVREID: return Hex(v.Value.bin.lpb, v.Value.bin.cb);
        case PT_CLSID: return Hex(v.Value.lpguid, 16);
        case PT_MV_I2: return Hex(v.Value.MVi.lpi, v.Value.MVi.cValues * 2);
        case PT_MV_LONG: case PT_MV_R4: return Hex(v.Value.MVl.lpl, v.Value.MVl.cValues * 4);
        case PT_MV_DOUBLE: case PT_MV_CURRENCY: case PT_MV_APPTIME: case PT_MV_I8: case PT_MV_SYSTIME:
            return Hex(v.Value.MVli.lpli, v.Value.MVli.cValues * 8);
        case PT_MV_CLSID: return Hex(v.Value.MVguid.lpguid, v.Value.MVguid.cValues * 16);
        default: break;
    }
    std::string out;
    for (ULONG i = 0; i < v.Value.MVbin.cValues; ++i) {
        if (i) out += ",";
        if (type == PT_MV_BINARY) out += Hex(v.Value.MVbin.lpbin[i].lpb, v.Value.MVbin.lpbin[i].cb);
        else if (type == PT_MV_STRING8) out += Hex(v.Value.MVszA.lppszA[i], std::strlen(v.Value.MVszA.lppszA[i]));
        else out += Hex(v.Value.MVszW.lppszW[i], WideLength(v.Value.MVszW.lppszW[i]) * 2);
    }
    return out;
}

void DumpProps(IMAPIProp* object, std::ostringstream& out) {
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = object->GetProps(nullptr, 0, &count, &values);
    ASSERT_GE(hr, 0);
    for (ULONG i = 0; i < count; ++i) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08X ", static_cast<unsigned>(values[i].ulPropTag));
        out << tag << Canonical(values[i]) << "\n";
    }
    MAPIFreeBuffer(values);
}

void DumpMessage(IMessage* message, const std::string& title, std::ostringstream& out, std::ostringstream* rowsOut) {
    out << "object " << title << "\n";
    DumpProps(message, out);
    ComPtr<IMAPITable> table;
    EXPECT_EQ(message->GetAttachmentTable(0, table.Put()), S_OK);
    LPSRowSet rows = nullptr;
    if (table) {
        EXPECT_EQ(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, &rows), S_OK);
    }
    for (ULONG r = 0; rows && r < rows->cRows; ++r) {
        const SRow& row = rows->aRow[r];
        LPSPropValue number = PpropFindProp(row.lpProps, row.cValues, PR_ATTACH_NUM);
        EXPECT_NE(number, nullptr);
        if (!number) continue;
        out << "object attachment " << number->Value.l << "\n";
        ComPtr<IAttach> attach;
        EXPECT_EQ(message->OpenAttach(static_cast<ULONG>(number->Value.l), nullptr, 0, attach.Put()), S_OK);
        if (!attach) continue;
        DumpProps(attach.Get(), out);
        LPSPropValue name = PpropFindProp(row.lpProps, row.cValues, PROP_TAG(PT_UNSPECIFIED, 0x3707));
        std::string nameText = "NONE";
        if (name && !(PROP_TYPE(name->ulPropTag) == PT_ERROR && name->Value.err == MAPI_E_NOT_FOUND))
            nameText = Canonical(*name);
        if (rowsOut) *rowsOut << "row " << number->Value.l << " " << nameText << "\n";
        ComPtr<IUnknown> embedded;
        if (SUCCEEDED(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, embedded.Put())))
            DumpMessage(static_cast<IMessage*>(embedded.Get()), "embedded " + std::to_string(number->Value.l), out,
                        nullptr);
    }
    FreeProws(rows);
    ComPtr<IMAPITable> recipients;
    EXPECT_EQ(message->GetRecipientTable(0, recipients.Put()), S_OK);
    rows = nullptr;
    if (recipients) {
        EXPECT_EQ(HrQueryAllRows(recipients.Get(), nullptr, nullptr, nullptr, 0, &rows), S_OK);
    }
    for (ULONG r = 0; rows && r < rows->cRows; ++r) {
        const SRow& row = rows->aRow[r];
        std::vector<std::string> lines;
        for (ULONG i = 0; i < row.cValues; ++i) {
            const SPropValue& v = row.lpProps[i];
            if (PROP_TYPE(v.ulPropTag) == PT_ERROR && v.Value.err == MAPI_E_NOT_FOUND) continue;
            char tag[16];
            std::snprintf(tag, sizeof tag, "%08X ", static_cast<unsigned>(v.ulPropTag));
            lines.push_back(tag + Canonical(v));
        }
        std::sort(lines.begin(), lines.end());
        out << "object recipient " << r << "\n";
        for (const auto& line : lines) out << line << "\n";
    }
    FreeProws(rows);
}

// With `publicOnly`, the store is given the storage behind a wrapper that offers IStorage
// alone, so it reads through IStorage and IStream as over any other implementation.
std::string DumpThroughStore(const fs::path& path, bool publicOnly = false) {
    std::ostringstream out;
    ComPtr<IStorage> storage;
    HRESULT hr = StgOpenStorage(path.u16string().c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                                storage.Put());
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) return "";
    if (publicOnly) storage = ComPtr<IStorage>::Attach(mapitest::PublicOnlyStorage::Wrap(storage.Get()));
    ComPtr<IMessage> message;
    hr = OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(), nullptr,
                        storage.Get(), nullptr, 0, 0, message.Put());
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) return "";
    std::ostringstream rows;
    DumpMessage(message.Get(), "message", out, &rows);
    out << rows.str();
    return out.str();
}

// The independent reading of all `files` at once (one interpreter start), by path.
std::map<std::string, std::string> RunPython(const std::vector<fs::path>& files) {
    std::string command = std::string(MSGPLUGIN_PYTHON) + " '" + MSGPLUGIN_SOURCE_DIR + "/Platform/mapi/msg_props_dump.py' --sizes";
    for (const auto& file : files) command += " '" + file.string() + "'";
    command += " 2>/dev/null";
    std::map<std::string, std::string> byFile;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return byFile;
    std::string output;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
    std::istringstream lines(output);
    std::string line, current;
    while (std::getline(lines, line)) {
        if (line.rfind("file ", 0) == 0) {
            current = line.substr(5);
            byFile[current];
        } else if (!current.empty()) {
            byFile[current] += line + "\n";
        }
    }
    return byFile;
}

// The store hands out no value above its inline limit of 16,384 bytes (such values are read
// through streams): GetProps gives MAPI_E_NOT_ENOUGH_MEMORY for them instead. It judges from the
// entry's size first (a string's size counts its terminator), then from the bytes the value
// holds. The olefile reading gives every value whole, with its stored type, entry size and bytes
// after a tab; this turns the values above the limit into that error and drops the figures. A
// recipient's values are then sorted, without the ones it does not have, as a table row holds
// them.
std::string WithTheInlineLimit(const std::string& dump) {
    constexpr unsigned long long kLimit = 16384;
    const std::string tooLarge = "ERR 8007000E";
    auto apply = [&](const std::string& line) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) return line;
        std::string text = line.substr(0, tab);
        unsigned type = 0;
        unsigned long long entry = 0;
        char held[32] = "-";
        if (std::sscanf(line.c_str() + tab + 1, "%x %llu %31s", &type, &entry, held) != 3) return text;
        const bool variable = (type & 0x1000) == 0;
        const unsigned terminator = type == 0x1E ? 1 : type == 0x1F ? 2 : 0;
        const bool error = text.find(" ERR ") != std::string::npos;
        const bool over = entry > kLimit + (variable ? terminator : 0) ||
                          (!error && std::string(held) != "-" && std::stoull(held) > kLimit);
        if (!over) return text;
        const bool row = text.rfind("row ", 0) == 0;
        if (row) return text.substr(0, text.find(' ', 4) + 1) + tooLarge;
        char tag[16];
        std::snprintf(tag, sizeof tag, "%04X000A ", static_cast<unsigned>(std::stoul(text.substr(0, 4), nullptr, 16)));
        return tag + tooLarge;
    };
    std::ostringstream out;
    std::istringstream in(dump);
    std::string line;
    std::vector<std::string> recipient;
    bool inRecipient = false;
    auto flush = [&] {
        std::sort(recipient.begin(), recipient.end());
        for (const auto& value : recipient) out << value << "\n";
        recipient.clear();
        inRecipient = false;
    };
    while (std::getline(in, line)) {
        const bool header = line.rfind("object ", 0) == 0 || line.rfind("row ", 0) == 0;
        if (header && inRecipient) flush();
        if (line.rfind("object recipient ", 0) == 0) {
            out << line << "\n";
            inRecipient = true;
            continue;
        }
        if (inRecipient) {
            const std::string value = apply(line);
            if (value.find(" ERR 8004010F") == std::string::npos) recipient.push_back(value);  // not in the row
            continue;
        }
        out << apply(line) << "\n";
    }
    if (inRecipient) flush();
    return out.str();
}

// "" when equal, else the first line that differs, for a readable failure.
std::string FirstDifference(const std::string& actual, const std::string& expected) {
    std::istringstream a(actual), e(expected);
    std::string lineA, lineE;
    for (int line = 1;; ++line) {
        bool moreA = static_cast<bool>(std::getline(a, lineA)), moreE = static_cast<bool>(std::getline(e, lineE));
        if (!moreA && !moreE) return "";
        if (!moreA) lineA = "<end>";
        if (!moreE) lineE = "<end>";
        if (lineA != lineE || !moreA || !moreE)
            return "line " + std::to_string(line) + ": store gives [" + lineA.substr(0, 200) + "], olefile gives [" +
                   lineE.substr(0, 200) + "]";
    }
}

std::vector<fs::path> CorpusFiles() {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(MSGPLUGIN_CORPUS_DIR, ec))
        if (entry.is_regular_file() && entry.path().extension() == ".msg") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// Runs `compare(file, what olefile reads)` on every sample olefile reads, and `unreadable(file)`
// on the samples it cannot read either; at least 40 samples must be compared.
void CompareEverySample(const std::function<void(const fs::path&, const std::string&)>& compare,
                        const std::function<void(const fs::path&)>& unreadable) {
    auto files = CorpusFiles();
    if (files.empty()) GTEST_SKIP() << "no sample messages in " << MSGPLUGIN_CORPUS_DIR;
    int compared = 0;
    auto independent = RunPython(files);
    ASSERT_EQ(independent.size(), files.size()) << "the olefile reading did not run";
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const std::string& expected = independent[file.string()];
        if (expected == "unreadable\n") {
            unreadable(file);
            continue;
        }
        compare(file, WithTheInlineLimit(expected));
        ++compared;
    }
    EXPECT_GE(compared, 40);
}

TEST(MapiCorpus, PropertiesMatchAnIndependentReader) {
    CompareEverySample(
        [](const fs::path& file, const std::string& expected) {
            EXPECT_EQ(FirstDifference(DumpThroughStore(file), expected), "");
        },
        [](const fs::path& file) {
            // Not a compound file for olefile either (an empty sample): the store must refuse it too.
            ComPtr<IStorage> storage;
            EXPECT_LT(StgOpenStorage(file.u16string().c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                                     storage.Put()),
                      0);
        });
}

// The same through IStorage and IStream alone: both roads read the same.
TEST(MapiCorpus, PropertiesMatchThroughThePublicInterfacesAlone) {
    CompareEverySample(
        [](const fs::path& file, const std::string& expected) {
            const std::string publicOnly = DumpThroughStore(file, true);
            EXPECT_EQ(FirstDifference(publicOnly, expected), "");
            EXPECT_EQ(publicOnly, DumpThroughStore(file));
        },
        [](const fs::path&) {});
}

}  // namespace
