// Why the plug-in could not open a file, as far as the host can tell: the plug-in answers with
// one of two result codes, but the host can look at the file itself, and at the log entry the
// plug-in wrote for that very open (with the storage's own error).
#pragma once

#include <optional>
#include <string>

#include <windows.h>

#include "open_log.h"
#include "wide_string.h"

namespace cardhost {

// What the file system says about a file.
struct FileFacts {
    enum class Kind { Missing, Folder, File, Unknown };
    Kind kind = Kind::Unknown;
    bool readOnly = false;            // the file refuses writing
    bool folderRefusesSaves = false;  // its folder cannot take the new image of a save
    bool heldElsewhere = false;       // another program holds it open, denying others
    bool readable = false;            // its first bytes could be read
    std::string head;                 // its first bytes, at most kHeadBytes
};

constexpr size_t kHeadBytes = 4096;

FileFacts ExamineFile(const std::string& name);

// Whether the bytes begin as a compound file does.
bool IsCompoundFileHeader(const std::string& head);

// Whether the bytes begin with the header lines of a mail message (an .eml file): header fields
// ("Name: value", folded lines after them) up to the first empty line or the end of the bytes,
// at least two fields, one of them a field every mail message has, and nothing else; an mbox
// "From " line may come first.
bool LooksLikeMailHeaders(const std::string& head);

// The reasons, as the host writes them.
inline constexpr const char* kReasonMissing = "no such file";
inline constexpr const char* kReasonFolder = "a folder, not a file";
inline constexpr const char* kReasonReadOnlyFile = "permission denied: the file is read-only";
inline constexpr const char* kReasonReadOnlyFolder = "permission denied: the folder is read-only";
inline constexpr const char* kReasonHeldElsewhere = "held open by another program";
inline constexpr const char* kReasonNotCompound = "not a compound file";
inline constexpr const char* kReasonEmpty = "not a compound file: the file is empty";
inline constexpr const char* kReasonMime = "not a compound file: looks like a MIME message (an .eml saved as .msg)";

// Why an open that failed with `result` failed; "" when neither the file nor the log tells.
// In this order: the file is missing or a folder; for a locked file, the file or its folder is
// read-only, or another program holds the file; the file is no compound file (a mail message?);
// else the failure the plug-in logged for the open ("StgOpenStorage failed: 0x80030109
// STG_E_DOCFILECORRUPT: ...").
std::string FailureReason(HRESULT result, const FileFacts& facts, const std::optional<LoggedFailure>& logged);

// The reasons of failed opens of one run: mark the log before each open, ask after a failure.
class OpenDiagnosis {
public:
    OpenDiagnosis();
    void BeforeOpen();
    // `name` as the host keeps it; `handed` as it was handed to the plug-in.
    std::string Reason(const std::string& name, const WString& handed, HRESULT result) const;

private:
    WString logPath_;
    LogMark mark_;
};

}  // namespace cardhost
