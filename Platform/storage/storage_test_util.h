// Helpers shared by the storage tests: temporary folders, UTF-16 paths, a printed dump of a
// storage tree in the form olefile_dump.py prints, running that script, and checking written trees
// with it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/comptr.h"
#include "base/native_name.h"
#include "platform_testing.h"
#include "windows.h"

namespace storage_test {

// A Linux path as callers name it, whatever its bytes.
inline std::u16string Wide(const std::string& text) { return platform::names::FromNative(text); }

inline std::string Hex(const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<const unsigned char*>(data)[i];
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

inline uint32_t Crc32(const std::vector<BYTE>& data) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (BYTE b : data) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/storage-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ignored;
        for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored))
            if (entry.is_directory(ignored)) ::chmod(entry.path().c_str(), 0700);
        ::chmod(path_.c_str(), 0700);
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The open modes the tests use most.
constexpr DWORD kReadWriteExclusive = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;  // 0x12
constexpr DWORD kReadDenyWrite = STGM_READ | STGM_SHARE_DENY_WRITE;          // 0x20

// Opens the compound file at path in `mode`.
inline HRESULT Open(const std::string& path, DWORD mode, platform::ComPtr<IStorage>* storage) {
    std::u16string wide = Wide(path);
    return StgOpenStorage(wide.c_str(), nullptr, mode, nullptr, 0, storage->Put());
}

// Creates a new compound file at path (replacing one there), open for reading and writing.
inline HRESULT Create(const std::string& path, platform::ComPtr<IStorage>* storage) {
    std::u16string wide = Wide(path);
    return StgCreateDocfile(wide.c_str(), STGM_CREATE | kReadWriteExclusive, 0, storage->Put());
}

inline std::vector<BYTE> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::vector<BYTE>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline void CopyFile(const std::string& from, const std::string& to) {
    WriteFileBytes(to, ReadFileBytes(from));
    ::chmod(to.c_str(), 0644);
}

inline std::string Utf8(const OLECHAR* text) {
    std::string out;
    for (; *text; ++text) out.push_back(char(*text));
    return out;
}

inline std::vector<BYTE> ReadAll(IStream* stream) {
    std::vector<BYTE> out;
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    BYTE buffer[65536];
    for (;;) {
        ULONG got = 0;
        HRESULT hr = stream->Read(buffer, sizeof buffer, &got);
        if (FAILED(hr)) {
            ADD_FAILURE() << "IStream::Read failed " << std::hex << hr;
            break;
        }
        if (got == 0) break;
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

// Creates (or replaces) the stream `name` of `storage` holding `data`.
inline void PutStream(IStorage* storage, const std::u16string& name, const std::vector<BYTE>& data) {
    platform::ComPtr<IStream> stream;
    ASSERT_EQ(storage->CreateStream(name.c_str(), kReadWriteExclusive | STGM_CREATE, 0, 0, stream.Put()), S_OK);
    ULONG written = 0;
    ASSERT_EQ(stream->Write(data.data(), ULONG(data.size()), &written), S_OK);
    ASSERT_EQ(written, data.size());
}

// Up to `size` bytes of the stream from `at` (fewer at its end), after a seek there.
inline std::vector<BYTE> ReadAt(IStream* stream, uint64_t at, ULONG size) {
    LARGE_INTEGER to;
    to.QuadPart = LONGLONG(at);
    EXPECT_EQ(stream->Seek(to, STREAM_SEEK_SET, nullptr), S_OK);
    std::vector<BYTE> out(size);
    ULONG got = 0;
    EXPECT_EQ(stream->Read(out.data(), size, &got), S_OK);
    out.resize(got);
    return out;
}

// A new file at `path` whose root holds these streams, written and released.
inline void WriteNewFile(const std::string& path,
                         std::initializer_list<std::pair<std::u16string, std::vector<BYTE>>> streams) {
    platform::ComPtr<IStorage> storage;
    ASSERT_EQ(Create(path, &storage), S_OK);
    for (const auto& [name, data] : streams) PutStream(storage.Get(), name, data);
}

// All of the stream `name` of `storage` (empty, with a failure, when it does not open).
inline std::vector<BYTE> GetStream(IStorage* storage, const std::u16string& name) {
    platform::ComPtr<IStream> stream;
    EXPECT_EQ(storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()), S_OK);
    return stream ? ReadAll(stream.Get()) : std::vector<BYTE>{};
}

// `size` bytes that differ from seed to seed.
inline std::vector<BYTE> Pattern(size_t size, unsigned seed) {
    std::vector<BYTE> data(size);
    uint32_t x = seed * 2654435761u + 7;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = BYTE(x >> 16);
    }
    return data;
}

inline std::string FileTimeText(const FILETIME& time) {
    return std::to_string((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

inline std::string StatLine(const char* kind, const std::string& path, const STATSTG& stat, uint64_t size,
                            uint32_t crc) {
    char bits[16], crcText[16];
    std::snprintf(bits, sizeof bits, "%08x", stat.grfStateBits);
    std::snprintf(crcText, sizeof crcText, "%08x", crc);
    return std::string(kind) + "\t" + path + "\t" + Hex(&stat.clsid, 16) + "\t" + bits + "\t" +
           FileTimeText(stat.ctime) + "\t" + FileTimeText(stat.mtime) + "\t" + std::to_string(size) + "\t" + crcText;
}

// Walks the storage and prints every element the way olefile_dump.py does.
inline void DumpInto(IStorage* storage, const std::string& prefix, std::vector<std::string>* lines) {
    IEnumSTATSTG* raw = nullptr;
    ASSERT_EQ(storage->EnumElements(0, nullptr, 0, &raw), S_OK);
    platform::ComPtr<IEnumSTATSTG> elements = platform::ComPtr<IEnumSTATSTG>::Attach(raw);
    STATSTG stat;
    ULONG fetched = 0;
    while (elements->Next(1, &stat, &fetched) == S_OK && fetched == 1) {
        std::u16string name(stat.pwcsName);
        CoTaskMemFree(stat.pwcsName);
        std::string path = prefix.empty() ? "" : prefix + "/";
        path += Hex(name.data(), name.size() * 2);
        if (stat.type == STGTY_STREAM) {
            platform::ComPtr<IStream> stream;
            HRESULT hr = storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
            ASSERT_EQ(hr, S_OK) << path;
            std::vector<BYTE> data = ReadAll(stream.Get());
            EXPECT_EQ(data.size(), stat.cbSize.QuadPart) << path;
            lines->push_back(StatLine("stream", path, stat, data.size(), Crc32(data)));
        } else {
            lines->push_back(StatLine("storage", path, stat, 0, 0));
            platform::ComPtr<IStorage> child;
            HRESULT hr = storage->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                              child.Put());
            ASSERT_EQ(hr, S_OK) << path;
            DumpInto(child.Get(), path, lines);
        }
    }
}

inline std::vector<std::string> Dump(IStorage* storage) {
    std::vector<std::string> lines;
    STATSTG stat;
    EXPECT_EQ(storage->Stat(&stat, STATFLAG_NONAME), S_OK);
    lines.push_back(StatLine("root", ".", stat, 0, 0));
    DumpInto(storage, "", &lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

inline std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

// Runs olefile_dump.py on the file; the exit status goes to *status.
inline std::vector<std::string> OlefileDump(const std::string& path, int* status, const char* option = nullptr) {
    std::string command = std::string(MSGPLUGIN_PYTHON) + " " +
                          ShellQuote(std::string(MSGPLUGIN_SOURCE_DIR) + "/Platform/storage/olefile_dump.py") + " " +
                          (option ? std::string(option) + " " : "") + ShellQuote(path);
    std::vector<std::string> lines;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        *status = -1;
        return lines;
    }
    std::string line;
    int c;
    while ((c = std::fgetc(pipe)) != EOF) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(char(c));
        }
    }
    int raw = ::pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return lines;
}

// Compares two dumps line by line, reporting only the lines that differ.
inline void ExpectSameLines(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    for (const auto& line : missing) ADD_FAILURE() << "expected but not found: " << line;
    for (const auto& line : extra) ADD_FAILURE() << "found but not expected: " << line;
    EXPECT_EQ(actual.size(), expected.size());
}

// Runs olefile_dump.py once on several files: each file's lines, and whether it was read.
inline std::vector<std::vector<std::string>> OlefileDumpMany(const std::vector<std::string>& paths,
                                                             std::vector<bool>* readable) {
    std::string command = std::string(MSGPLUGIN_PYTHON) + " " +
                          ShellQuote(std::string(MSGPLUGIN_SOURCE_DIR) + "/Platform/storage/olefile_dump.py");
    for (const auto& path : paths) {
        command += ' ';
        command += ShellQuote(path);
    }
    std::vector<std::vector<std::string>> dumps(paths.size());
    readable->assign(paths.size(), true);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return dumps;
    std::string line;
    long current = -1;
    auto finish = [&] {
        if (line.rfind("#file ", 0) == 0) {
            current = std::stol(line.substr(6));
        } else if (current >= 0 && size_t(current) < paths.size()) {
            if (line.rfind("error", 0) == 0) (*readable)[current] = false;
            else dumps[current].push_back(line);
        }
        line.clear();
    };
    int c;
    while ((c = std::fgetc(pipe)) != EOF) {
        if (c == '\n') finish();
        else line.push_back(char(c));
    }
    ::pclose(pipe);
    return dumps;
}

inline std::vector<std::string> CorpusFiles() {
    std::vector<std::string> files;
    std::error_code ignored;
    for (auto& entry : std::filesystem::recursive_directory_iterator(MSGPLUGIN_CORPUS_DIR, ignored))
        if (entry.is_regular_file() && entry.path().extension() == ".msg") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// ---- Checking written trees against olefile ----------------------------------------------

inline std::u16string NumberedName(char16_t prefix, size_t number) {
    std::u16string name(1, prefix);
    name.append(Wide(std::to_string(number)));
    return name;
}

inline std::string HexName(const std::u16string& name) { return Hex(name.data(), name.size() * 2); }

inline std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) fields.push_back(field);
    return fields;
}

inline std::string Join(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) out += (i ? "\t" : "") + fields[i];
    return out;
}

inline std::string CrcText(const std::vector<BYTE>& data) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", Crc32(data));
    return text;
}

// The line of `path` in a dump, or end.
inline std::vector<std::string>::iterator FindLine(std::vector<std::string>& lines, const std::string& path) {
    return std::find_if(lines.begin(), lines.end(), [&](const std::string& line) { return Fields(line)[1] == path; });
}

inline std::vector<std::string> OlefileLines(const std::string& path) {
    int status = 0;
    auto lines = OlefileDump(path, &status);
    EXPECT_EQ(status, 0) << path;
    return lines;
}

inline std::string CheckTree(const std::string& path) {
    int status = 0;
    auto lines = OlefileDump(path, &status, "--check-tree");
    std::string out;
    for (auto& line : lines) out += line + "\n";
    return out;
}

inline std::vector<std::string> CheckTrees(const std::vector<std::string>& paths) {
    if (paths.empty()) return {};
    std::string rest;
    for (size_t i = 1; i < paths.size(); ++i) {
        rest += ShellQuote(paths[i - 1]);
        rest += ' ';
    }
    int status = 0;
    return OlefileDump(paths.back(), &status, ("--check-tree " + rest).c_str());
}

// Top-level streams of a storage, with sizes.
inline std::vector<std::pair<std::u16string, uint64_t>> TopStreams(IStorage* storage) {
    std::vector<std::pair<std::u16string, uint64_t>> out;
    platform::ComPtr<IEnumSTATSTG> elements;
    EXPECT_EQ(storage->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    STATSTG stat;
    while (elements->Next(1, &stat, nullptr) == S_OK) {
        if (stat.type == STGTY_STREAM) out.push_back({stat.pwcsName, stat.cbSize.QuadPart});
        CoTaskMemFree(stat.pwcsName);
    }
    return out;
}

inline std::string PickCorpusFile(const char* name) {
    for (const auto& file : CorpusFiles())
        if (file.size() >= std::strlen(name) && file.compare(file.size() - std::strlen(name), std::string::npos, name) == 0)
            return file;
    return {};
}

}  // namespace storage_test
