// set: writes variables given on the command line into a file and saves it.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <thread>

#include <windows.h>
#include <oleauto.h>

#include "commands.h"
#include "format_host.h"
#include "results.h"
#include "text.h"

using platform::ComPtr;

namespace cardhost {

namespace {

// A VARIANT from the command line's text; false when the text does not read as that type.
bool MakeValue(const std::string& text, const std::string& type, VARIANT* value, std::string* problem) {
    VariantInit(value);
    if (type == "str") {
        const WString wide = ToUtf16(text);
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (!value->bstrVal) {
            value->vt = VT_EMPTY;
            *problem = "out of memory";
            return false;
        }
        return true;
    }
    if (type == "int") {
        try {
            size_t used = 0;
            long long number = std::stoll(text, &used, 10);
            if (used != text.size() || number < INT32_MIN || number > INT32_MAX) throw std::out_of_range(text);
            value->vt = VT_I4;
            value->lVal = static_cast<LONG>(number);
            return true;
        } catch (const std::exception&) {
            *problem = "'" + text + "' is not a 32-bit integer";
            return false;
        }
    }
    if (type == "real") {
        try {
            size_t used = 0;
            double number = std::stod(text, &used);
            if (used != text.size()) throw std::invalid_argument(text);
            value->vt = VT_R8;
            value->dblVal = number;
            return true;
        } catch (const std::exception&) {
            *problem = "'" + text + "' is not a number";
            return false;
        }
    }
    if (type == "date") {
        std::optional<DATE> date = ParseDate(text);
        if (!date) {
            *problem = "'" + text + "' is not a local date YYYY-MM-DD[THH:MM[:SS]]";
            return false;
        }
        value->vt = VT_DATE;
        value->date = *date;
        return true;
    }
    if (type == "bool") {
        std::string lower = text;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        bool yes = lower == "true" || lower == "1" || lower == "yes";
        bool no = lower == "false" || lower == "0" || lower == "no";
        if (!yes && !no) {
            *problem = "'" + text + "' is not true or false";
            return false;
        }
        value->vt = VT_BOOL;
        value->boolVal = yes ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    *problem = "unknown type " + type;
    return false;
}

}  // namespace

int RunSet(const std::string& module, const std::string& file, const std::vector<std::string>& assignments,
           const std::string& type, int holdMilliseconds) {
    std::vector<std::string> names, texts;
    for (const std::string& assignment : assignments) {
        size_t equals = assignment.find('=');
        if (equals == std::string::npos || equals == 0) {
            std::cerr << "cardhost: '" << assignment << "' is not NAME=VALUE\n";
            return kExitUsage;
        }
        names.push_back(assignment.substr(0, equals));
        texts.push_back(assignment.substr(equals + 1));
    }
    auto host = OpenFormat(module);
    if (!host) return kExitOpenFailed;
    Request request(names);
    if (!request.Allocated()) return kExitOpenFailed;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string problem;
        if (!MakeValue(texts[i], type, &request[i].value, &problem)) {
            std::cerr << "cardhost: " << names[i] << ": " << problem << "\n";
            return kExitUsage;
        }
    }

    ComPtr<IKivFileNavigator> navigator;
    OpenDiagnosis diagnosis;
    std::string reason;
    HRESULT hr = OpenNavigator(host->Format(), file, navigator, diagnosis, &reason);
    if (FAILED(hr)) {
        std::cerr << "cardhost: cannot open " << ShownText(file) << "\n  " << DescribeResult(hr) << "\n";
        if (!reason.empty()) std::cerr << "  reason: " << reason << "\n";
        return kExitOpenFailed;
    }
    if (holdMilliseconds > 0) {
        std::cerr << "holding " << ShownText(file) << " open for " << holdMilliseconds << " ms" << std::endl;
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMilliseconds));
    }
    hr = navigator->WriteVariables(0, 0, 0, request.Count(), request.Data());
    if (FAILED(hr)) {
        std::cerr << "cardhost: writing the variables failed\n  " << DescribeResult(hr) << "\n";
        return kExitSaveFailed;
    }
    size_t written = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        const LONG found = request[i].found;
        if (found == 1) {
            ++written;
            std::cout << "written:     " << names[i] << "\n";
        } else if (found == 0) {
            std::cout << "refused:     " << names[i] << " (not in the message, or a value of another type)\n";
        } else {
            std::cout << "not written: " << names[i] << " (read-only, or not a catalogue name or property tag)\n";
        }
    }
    hr = navigator->Save();
    if (FAILED(hr)) {
        std::cerr << "cardhost: saving " << ShownText(file) << " failed; the file is unchanged\n  " << DescribeResult(hr)
                  << "\n";
        return kExitSaveFailed;
    }
    if (written > 0) std::cout << "saved " << ShownText(file) << "\n";
    return written == names.size() ? kExitSuccess : kExitNotAll;
}

}  // namespace cardhost
