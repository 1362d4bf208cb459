// What a .msg file holds for the card's values, as an independent reader sees it: the values
// read with olefile by card_values.py, outside the platform's storage and message store. The
// reader follows neither the store nor the plug-in; the tests decide how the card shows each
// value.
#pragma once

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "message/msgfile_test_support.h"

namespace msgtest {

// One stored value.
struct StoredValue {
    bool present = false;
    ULONG type = 0;     // the stored property type
    ULONG size = 0;     // a string's size as its property entry gives it, terminator included
    std::string form;   // "text" (UTF-16), "bytes" (8-bit), "nostream" (a string without its
                        // value stream), "value" (any other type)
    std::string data;   // text: UTF-16LE hex; bytes: hex; value: the 8 value bytes in decimal
    std::map<UINT, std::string> decoded;  // 8-bit text in each code page asked for, as UTF-16LE
                                          // hex; "?" where the reader has no such code page
};

struct StoredMessage {
    std::optional<UINT> internetCodePage;  // PR_INTERNET_CPID
    std::optional<UINT> messageCodePage;   // PR_MESSAGE_CODEPAGE
    std::map<std::string, StoredValue> values;  // by catalogue name (ATTACHMENTS aside)
    std::vector<StoredValue> attachmentNames;   // one per attachment storage, in storage order
};

inline StoredValue ParseStoredValue(std::istringstream& fields) {
    StoredValue value;
    std::string type;
    if (!(fields >> type) || type == "none") return value;
    value.present = true;
    value.type = static_cast<ULONG>(std::stoul(type, nullptr, 16));
    fields >> value.size >> value.form >> value.data;
    if (value.data == "-") value.data.clear();
    for (std::string decoding; fields >> decoding;) {
        const size_t equals = decoding.find('=');
        std::string text = decoding.substr(equals + 1);
        value.decoded[static_cast<UINT>(std::stoul(decoding.substr(0, equals)))] = text == "-" ? "" : text;
    }
    return value;
}

// Reads `path` with card_values.py; 8-bit text is decoded in each of `codePages`.
inline StoredMessage ReadIndependently(const std::string& path, const std::vector<UINT>& codePages) {
    std::string command = std::string(MSGPLUGIN_PYTHON) + " '" + MSGPLUGIN_SOURCE_DIR +
                          "/FileFormats/MsgPlugin/message/card_values.py' '" + path + "'";
    for (UINT codePage : codePages) command.append(1, ' ').append(std::to_string(codePage));
    StoredMessage message;
    std::istringstream lines(RunCommand(command));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string key, number;
        fields >> key;
        if (key == "INTERNET_CPID" || key == "MESSAGE_CODEPAGE") {
            fields >> number;
            std::optional<UINT>& codePage = key == "INTERNET_CPID" ? message.internetCodePage : message.messageCodePage;
            if (number != "none") codePage = static_cast<UINT>(std::stoul(number));
        } else if (key == "ATTACHMENT") {
            message.attachmentNames.push_back(ParseStoredValue(fields));
        } else {
            message.values[key] = ParseStoredValue(fields);
        }
    }
    return message;
}

}  // namespace msgtest
