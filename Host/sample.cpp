// sample: writes a sample message, with a body, recipients, dates and two attachments.
#include <filesystem>
#include <iostream>

#include <windows.h>
#include <objbase.h>

#include "base/comptr.h"
#include "commands.h"
#include "mapi/message_writer.h"
#include "results.h"
#include "system.h"
#include "text.h"

namespace fs = std::filesystem;
using platform::ComPtr;

namespace cardhost {

namespace {

// The sample message's content.
constexpr ULONG kPrDisplayCc = PROP_TAG(PT_UNICODE, 0x0E03);
constexpr ULONG kPrSentRepresentingName = PROP_TAG(PT_UNICODE, 0x0042);
constexpr ULONG kPrMessageDeliveryTime = PROP_TAG(PT_SYSTIME, 0x0E06);
constexpr ULONG kPrImportance = PROP_TAG(PT_LONG, 0x0017);
constexpr ULONG kPrAttachExtension = PROP_TAG(PT_UNICODE, 0x3703);

// FILETIME ticks of a UTC time.
ULONGLONG Ticks(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME t{};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    FILETIME ft{};
    SystemTimeToFileTime(&t, &ft);
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

msgwriter::AttachmentSpec SampleAttachment(const WString& name, const WString& extension,
                                           const std::string& content) {
    msgwriter::AttachmentSpec attachment;
    attachment.props = {
        msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE),
        msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, name),
        msgwriter::Unicode(PR_ATTACH_FILENAME_W, name),
        msgwriter::Unicode(PR_DISPLAY_NAME_W, name),
        msgwriter::Unicode(kPrAttachExtension, extension),
        msgwriter::Binary(PR_ATTACH_DATA_BIN, std::vector<BYTE>(content.begin(), content.end())),
        msgwriter::Long(PR_ATTACH_SIZE, static_cast<LONG>(content.size())),
    };
    return attachment;
}

}  // namespace

int RunSample(const std::string& file) {
    msgwriter::MessageSpec spec;
    spec.props = {
        msgwriter::Unicode(PR_MESSAGE_CLASS_W, OLESTR("IPM.Note")),
        msgwriter::Unicode(PR_SUBJECT_W, OLESTR("Quarterly figures \u2013 draft for review")),
        msgwriter::Unicode(PR_SENDER_NAME_W, OLESTR("Ada Lindqvist")),
        msgwriter::Unicode(PR_SENDER_EMAIL_ADDRESS_W, OLESTR("ada.lindqvist@example.com")),
        msgwriter::Unicode(kPrSentRepresentingName, OLESTR("Ada Lindqvist")),
        msgwriter::Unicode(PR_DISPLAY_TO_W, OLESTR("Bruno Marchetti; Chen Wei")),
        msgwriter::Unicode(kPrDisplayCc, OLESTR("Dana O'Neill")),
        msgwriter::Unicode(PR_BODY_W,
                           OLESTR("Hello Bruno, hello Chen,\r\n\r\nattached are the draft figures for the quarter and the ")
                           OLESTR("notes from Tuesday's meeting. Please send corrections by Friday.\r\n\r\nRegards,\r\nAda")),
        msgwriter::Time(PR_CREATION_TIME, Ticks(2026, 3, 14, 9, 26, 53)),
        msgwriter::Time(PR_LAST_MODIFICATION_TIME, Ticks(2026, 3, 14, 9, 30, 5)),
        msgwriter::Time(PR_CLIENT_SUBMIT_TIME, Ticks(2026, 3, 14, 9, 28, 0)),
        msgwriter::Time(kPrMessageDeliveryTime, Ticks(2026, 3, 14, 9, 28, 2)),
        msgwriter::Long(kPrImportance, 1),
        msgwriter::Long(PR_MESSAGE_FLAGS, 1),
    };
    spec.attachments.push_back(SampleAttachment(OLESTR("figures-q1.csv"), OLESTR(".csv"), "quarter,revenue\r\nQ1,1250000\r\n"));
    spec.attachments.push_back(SampleAttachment(OLESTR("meeting notes.txt"), OLESTR(".txt"), "Tuesday: agreed the draft.\r\n"));

    const WString path = WideFileName(file);
    ComPtr<IStorage> storage;
    HRESULT hr = StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, storage.Put());
    if (SUCCEEDED(hr)) hr = msgwriter::WriteMessage(storage.Get(), spec);
    if (SUCCEEDED(hr)) hr = storage->Commit(0);
    storage.Reset();
    if (FAILED(hr)) {
        std::cerr << "cardhost: cannot write " << ShownText(file) << "\n  " << DescribeResult(hr) << "\n";
        std::error_code ignored;
        fs::remove(FileSystemPath(file), ignored);
        return kExitSaveFailed;
    }
    std::cout << "wrote " << ShownText(file) << "\n";
    return kExitSuccess;
}


}  // namespace cardhost
