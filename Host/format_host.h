// The format object as the host holds it, the strings and request records handed to it, and the
// opening of a file through it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "HostInterfaces.h"
#include "MsgPluginInterfaces.h"
#include "base/comptr.h"
#include "failure_reason.h"
#include "wide_string.h"

namespace cardhost {

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const WString& text) : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR Get() const { return value_; }
    BSTR* Put() {
        SysFreeString(value_);
        value_ = nullptr;
        return &value_;
    }

private:
    BSTR value_ = nullptr;
};

// The records of one read or write request; clears every VARIANT and string at the end.
class Request {
public:
    explicit Request(const std::vector<std::string>& names);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    // Ready for the next file: the names stay, the values go.
    void Clear();
    bool Allocated() const;
    VariableRequest* Data() { return records_.data(); }
    LONG Count() const { return static_cast<LONG>(records_.size()); }
    VariableRequest& operator[](size_t i) { return records_[i]; }

private:
    std::vector<VariableRequest> records_;
};

// Holds the format object and whatever was loaded for it; everything is released, and unused
// libraries freed, when it goes.
class FormatHost {
public:
    ~FormatHost();
    // The format object from the library at `modulePath`, or through the registry when empty.
    HRESULT Create(const std::string& modulePath, std::string* problem);
    IKivFileFormat* Format() const { return format_.Get(); }

private:
    bool initialised_ = false;
    HMODULE directModule_ = nullptr;
    platform::ComPtr<IKivFileFormat> format_;
};

// Creates the format object or says why not; null on failure.
std::unique_ptr<FormatHost> OpenFormat(const std::string& modulePath);

// Opens `file` (a name as the host keeps it); a failure gets the reason the host can find.
HRESULT OpenNavigator(IKivFileFormat* format, const std::string& file, platform::ComPtr<IKivFileNavigator>& navigator,
                      OpenDiagnosis& diagnosis, std::string* reason);

}  // namespace cardhost
