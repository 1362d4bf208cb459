// The module's classes, in registration order.
#include "frame/ComObjects.h"
#include "frame/MsgFormat.h"
#include "message/MsgFile.h"

namespace msgplugin {

ObjectMapEntry* ObjectMap() {
    static ObjectMapEntry map[] = {
        {&CLSID_MsgFile, 102, &CreateObject<CMsgFile>, nullptr, nullptr},
        {&CLSID_MsgFormat, 104, &CreateObject<CMsgFormat>, nullptr, nullptr},
        {nullptr, 0, nullptr, nullptr, nullptr},
    };
    return map;
}

}  // namespace msgplugin
