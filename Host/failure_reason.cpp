#include "failure_reason.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>

#include <objbase.h>
#include <share.h>
#include <stdio.h>

#include <HostInterfaces.h>

#include "base/comptr.h"
#include "results.h"
#include "system.h"

namespace cardhost {

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Field names are ASCII: only A-Z fold.
bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    auto folded = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, {}, folded, folded);
}

// Fields that mail messages carry.
bool IsMailField(const std::string& name) {
    for (const char* field : {"From", "To", "Cc", "Subject", "Date", "Message-ID", "MIME-Version", "Received",
                              "Return-Path", "Content-Type", "Reply-To", "Sender", "Delivered-To"})
        if (EqualIgnoringCase(name, field)) return true;
    return false;
}

bool IsShareConflict(HRESULT code) { return code == STG_E_SHAREVIOLATION || code == STG_E_LOCKVIOLATION; }

}  // namespace

FileFacts ExamineFile(const std::string& name) {
    FileFacts facts;
    std::error_code error;
    const auto status = std::filesystem::status(FileSystemPath(name), error);
    if (status.type() == std::filesystem::file_type::not_found) facts.kind = FileFacts::Kind::Missing;
    else if (status.type() == std::filesystem::file_type::directory) facts.kind = FileFacts::Kind::Folder;
    else if (!error) facts.kind = FileFacts::Kind::File;
    if (facts.kind != FileFacts::Kind::File) return facts;

    facts.readOnly = FileIsReadOnly(name);
    facts.folderRefusesSaves = FolderRefusesSaves(name);
    const WString wide = WideFileName(name);
    // Another program's open that denies others makes even a reader that denies nobody fail.
    platform::ComPtr<IStorage> storage;
    const HRESULT opened =
        StgOpenStorage(wide.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_NONE, nullptr, 0, storage.Put());
    facts.heldElsewhere = IsShareConflict(opened);
    storage.Reset();

    std::unique_ptr<FILE, FileCloser> file(_wfsopen(wide.c_str(), OLESTR("rb"), _SH_DENYNO));
    if (file) {
        facts.head.resize(kHeadBytes);
        const size_t got = std::fread(facts.head.data(), 1, kHeadBytes, file.get());
        facts.readable = !std::ferror(file.get());
        facts.head.resize(got);
    }
    return facts;
}

bool IsCompoundFileHeader(const std::string& head) {
    static const char signature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
    return head.size() >= 8 && head.compare(0, 8, signature, 8) == 0;
}

bool LooksLikeMailHeaders(const std::string& head) {
    size_t at = 0;
    size_t fields = 0;
    bool mailField = false;
    bool first = true;
    while (at < head.size()) {
        size_t end = head.find('\n', at);
        const bool whole = end != std::string::npos;  // the last line may be cut where the bytes end
        if (!whole) end = head.size();
        std::string line = head.substr(at, end - at);
        at = whole ? end + 1 : end;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;  // the end of the header
        if (first && line.compare(0, 5, "From ") == 0) {  // an mbox separator
            first = false;
            continue;
        }
        first = false;
        if (line[0] == ' ' || line[0] == '\t') {
            if (fields == 0) return false;  // a folded line continues a field
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos) {
            if (!whole) break;  // cut before its colon
            return false;
        }
        if (colon == 0 || colon > 76) return false;
        for (size_t i = 0; i < colon; ++i)
            if (line[i] < 33 || line[i] > 126) return false;
        ++fields;
        mailField = mailField || IsMailField(line.substr(0, colon));
    }
    return fields >= 2 && mailField;
}

std::string FailureReason(HRESULT result, const FileFacts& facts, const std::optional<LoggedFailure>& logged) {
    if (facts.kind == FileFacts::Kind::Missing) return kReasonMissing;
    if (facts.kind == FileFacts::Kind::Folder) return kReasonFolder;
    if (result == E_MSG_FILE_LOCKED) {
        if (facts.readOnly) return kReasonReadOnlyFile;
        if (facts.folderRefusesSaves) return kReasonReadOnlyFolder;
        if (facts.heldElsewhere || (logged && IsShareConflict(logged->code))) return kReasonHeldElsewhere;
    }
    if (facts.kind == FileFacts::Kind::File && facts.readable && !IsCompoundFileHeader(facts.head)) {
        if (facts.head.empty()) return kReasonEmpty;
        return LooksLikeMailHeaders(facts.head) ? kReasonMime : kReasonNotCompound;
    }
    if (logged) return logged->call + " failed: " + DescribeResult(logged->code);
    return "";
}

OpenDiagnosis::OpenDiagnosis() : logPath_(LogPath()) {}

void OpenDiagnosis::BeforeOpen() { mark_ = MarkLog(logPath_); }

std::string OpenDiagnosis::Reason(const std::string& name, const WString& handed, HRESULT result) const {
    return FailureReason(result, ExamineFile(name), FindLoggedFailure(logPath_, mark_, handed));
}

}  // namespace cardhost
