#include "message/RecordResolution.h"

#include <stdlib.h>
#include <wchar.h>

#include "message/TagFinder.h"

namespace msgplugin {

bool ResolveRecord(const VariableRequest& record, ULONG* tag, bool* readOnly) {
    if (readOnly) *readOnly = false;
    if (_wcsicmp(record.block ? record.block : OLESTR(""), OLESTR("MSG")) != 0) return false;
    LPCWSTR attribute = record.attribute ? record.attribute : OLESTR("");
    ULONG named = TagFinder::TagFromName(attribute, readOnly);
    if (named != TAG_NOT_IN_CATALOGUE) {
        *tag = named;
        return true;
    }
    int number = _wtoi(attribute);
    if (number == 0 || number == -1) return false;
    *tag = static_cast<ULONG>(number);
    return true;
}

}  // namespace msgplugin
