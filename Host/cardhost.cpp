// cardhost: a command-line vault host. It loads the format plug-in as the vault host does
// (through the registry, or from a named library), and shows, edits and saves the data card of
// message files.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlwapi.h>

#include "HostInterfaces.h"
#include "MsgPluginInterfaces.h"
#include "base/comptr.h"
#include "card_json.h"
#include "errlog.h"
#include "failure_reason.h"
#include "log_location.h"
#include "log_reader.h"
#include "mapi/message_writer.h"
#include "open_log.h"
#include "results.h"
#include "system.h"
#include "text.h"

namespace fs = std::filesystem;
// Keys keep the order they are written in: file, result, then error or variables.
using json = nlohmann::ordered_json;
using platform::ComPtr;

namespace cardhost {
namespace {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitNotAll = 1,     // some variables were not found or were refused
    kExitUsage = 2,
    kExitOpenFailed = 3,  // a file (or the plug-in) could not be opened
    kExitSaveFailed = 4,
};

const char* const kCatalogue[] = {
    "ATTACHMENTS", "SENDER_NAME", "SENT_REPRESENTING_NAME", "DISPLAY_TO", "DISPLAY_CC", "SUBJECT", "BODY",
    "CREATION_TIME", "LAST_MODIFICATION_TIME", "CLIENT_SUBMIT_TIME", "MESSAGE_DELIVERY_TIME",
};

// ---- Small owners ---------------------------------------------------------------------------

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
    explicit Request(const std::vector<std::string>& names) {
        records_.resize(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            const WString name = ToUtf16(names[i]);
            records_[i].attribute = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
            records_[i].block = SysAllocString(OLESTR("MSG"));
            VariantInit(&records_[i].value);
            records_[i].found = -1;  // not served
        }
    }
    ~Request() {
        for (VariableRequest& record : records_) {
            SysFreeString(record.attribute);
            SysFreeString(record.block);
            VariantClear(&record.value);
        }
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    // Ready for the next file: the names stay, the values go.
    void Clear() {
        for (VariableRequest& record : records_) {
            VariantClear(&record.value);
            record.found = -1;
        }
    }
    bool Allocated() const {
        return std::all_of(records_.begin(), records_.end(),
                           [](const VariableRequest& r) { return r.attribute && r.block; });
    }
    VariableRequest* Data() { return records_.data(); }
    LONG Count() const { return static_cast<LONG>(records_.size()); }
    VariableRequest& operator[](size_t i) { return records_[i]; }

private:
    std::vector<VariableRequest> records_;
};

// ---- The format object --------------------------------------------------------------------

// Holds the format object and whatever was loaded for it; everything is released, and unused
// libraries freed, when it goes.
class FormatHost {
public:
    ~FormatHost() {
        format_.Reset();
        if (directModule_) {
            auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(
                reinterpret_cast<void*>(GetProcAddress(directModule_, "DllCanUnloadNow")));
            if (canUnload && canUnload() == S_OK) FreeLibrary(directModule_);
        }
        CoFreeUnusedLibraries();
        if (initialised_) CoUninitialize();
    }

    // The format object from the library at `modulePath`, or through the registry when empty.
    HRESULT Create(const std::string& modulePath, std::string* problem) {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        initialised_ = SUCCEEDED(hr);
        if (modulePath.empty()) {
            hr = CoCreateInstance(CLSID_MsgFormat, nullptr, CLSCTX_INPROC_SERVER, IID_IKivFileFormat, format_.PutVoid());
            if (hr == REGDB_E_CLASSNOTREG)
                *problem = "the plug-in is not registered in " + RegistryLocation() +
                           " (run `cardhost register`, or pass --module PATH)";
            else if (FAILED(hr))
                *problem = "the registered plug-in could not be created";
            return hr;
        }
        const WString path = WideFileName(FileNameOf(fs::absolute(FileSystemPath(modulePath))));
        directModule_ = LoadLibraryW(path.c_str());
        if (!directModule_) {
            *problem = "cannot load " + ShownText(modulePath) + " (missing, or not a library for this platform)";
            return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
        }
        auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(
            reinterpret_cast<void*>(GetProcAddress(directModule_, "DllGetClassObject")));
        if (!getClassObject) {
            *problem = ShownText(modulePath) + " has no DllGetClassObject";
            return CO_E_ERRORINDLL;
        }
        ComPtr<IClassFactory> factory;
        hr = getClassObject(CLSID_MsgFormat, IID_IClassFactory, factory.PutVoid());
        if (FAILED(hr)) {
            *problem = ShownText(modulePath) + " does not serve the message format class";
            return hr;
        }
        hr = factory->CreateInstance(nullptr, IID_IKivFileFormat, format_.PutVoid());
        if (FAILED(hr)) *problem = "the format object could not be created";
        return hr;
    }

    IKivFileFormat* Format() const { return format_.Get(); }

private:
    bool initialised_ = false;
    HMODULE directModule_ = nullptr;
    ComPtr<IKivFileFormat> format_;
};

// Creates the format object or says why not; null on failure.
std::unique_ptr<FormatHost> OpenFormat(const std::string& modulePath) {
    auto host = std::make_unique<FormatHost>();
    std::string problem;
    HRESULT hr = host->Create(modulePath, &problem);
    if (FAILED(hr)) {
        std::cerr << "cardhost: " << problem << "\n  " << DescribeResult(hr) << "\n";
        return nullptr;
    }
    return host;
}

// Opens `file` (a name as the host keeps it); a failure gets the reason the host can find.
HRESULT OpenNavigator(IKivFileFormat* format, const std::string& file, ComPtr<IKivFileNavigator>& navigator,
                      OpenDiagnosis& diagnosis, std::string* reason) {
    const WString wide = WideFileName(file);
    Bstr path(wide);
    if (!path.Get()) return E_OUTOFMEMORY;
    diagnosis.BeforeOpen();
    const HRESULT hr = format->OpenFile(path.Get(), 0, navigator.Put());
    if (FAILED(hr)) *reason = diagnosis.Reason(file, wide, hr);
    return hr;
}

// The card's JSON line, the file named as shown and, when that is not the name itself, as the
// system stores it.
std::string JsonLine(const std::string& file, const Card& card) {
    return CardJsonLine(ShownText(file), IsWellFormedUtf8(file) ? std::string() : StoredNameHex(file), card);
}

// ---- Values -------------------------------------------------------------------------------

const char* TypeName(VARTYPE vt) {
    switch (vt) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_NULL: return "VT_NULL";
    case VT_I2: return "VT_I2";
    case VT_I4: return "VT_I4";
    case VT_R4: return "VT_R4";
    case VT_R8: return "VT_R8";
    case VT_CY: return "VT_CY";
    case VT_DATE: return "VT_DATE";
    case VT_BSTR: return "VT_BSTR";
    case VT_ERROR: return "VT_ERROR";
    case VT_BOOL: return "VT_BOOL";
    case VT_I8: return "VT_I8";
    default: return "VT_OTHER";
    }
}

CardValue ToCardValue(const VARIANT& value) {
    CardValue out;
    out.type = TypeName(value.vt);
    switch (value.vt) {
    case VT_BSTR:
        out.kind = CardValue::Kind::String;
        out.text = BstrToUtf8(value.bstrVal);
        break;
    case VT_I4: out.kind = CardValue::Kind::Integer; out.integer = value.lVal; break;
    case VT_I2: out.kind = CardValue::Kind::Integer; out.integer = value.iVal; break;
    case VT_I8: out.kind = CardValue::Kind::Integer; out.integer = value.llVal; break;
    case VT_R8: out.kind = CardValue::Kind::Real; out.real = value.dblVal; break;
    case VT_R4: out.kind = CardValue::Kind::Real; out.real = value.fltVal; break;
    case VT_BOOL: out.kind = CardValue::Kind::Boolean; out.boolean = value.boolVal != VARIANT_FALSE; break;
    case VT_ERROR:
        out.kind = CardValue::Kind::String;
        out.text = HexCode(value.scode);
        break;
    case VT_DATE:
        out.text = FormatDate(value.date);
        if (out.text.empty()) {
            out.kind = CardValue::Kind::Real;
            out.real = value.date;
        } else {
            out.kind = CardValue::Kind::String;
        }
        break;
    default: break;
    }
    return out;
}

// `request` holds the names (and is cleared for each file).
Card ReadCard(IKivFileFormat* format, const std::string& file, const std::vector<std::string>& names,
              Request& request, OpenDiagnosis& diagnosis) {
    Card card;
    ComPtr<IKivFileNavigator> navigator;
    card.result = OpenNavigator(format, file, navigator, diagnosis, &card.reason);
    if (FAILED(card.result)) return card;
    if (!request.Allocated()) {
        card.result = E_OUTOFMEMORY;
        return card;
    }
    request.Clear();
    card.result = navigator->ReadVariables(0, 0, 0, request.Count(), request.Data());
    if (FAILED(card.result)) return card;
    card.names = names;
    card.values.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const VariableRequest& record = request[i];
        CardValue value;
        if (record.found == 1) {
            value = ToCardValue(record.value);
            value.found = true;
        } else {
            value.type = TypeName(record.value.vt);
        }
        card.values.push_back(std::move(value));
    }
    return card;
}

std::string Shorten(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " bytes; --full shows all)";
}

void PrintCardTable(const std::string& file, const Card& card, bool full) {
    std::cout << ShownText(file) << "\n";
    if (FAILED(card.result)) {
        std::cout << "  cannot read the card: " << DescribeResult(card.result) << "\n";
        if (!card.reason.empty()) std::cout << "  reason: " << card.reason << "\n";
        return;
    }
    size_t width = 0;
    for (const std::string& name : card.names) width = std::max(width, name.size());
    for (size_t i = 0; i < card.names.size(); ++i) {
        const std::string& name = card.names[i];
        std::string pad(width - name.size() + 2, ' ');
        std::cout << "  " << name << pad;
        if (!card.values[i].found) {
            std::cout << "(not found)\n";
            continue;
        }
        const CardValue& value = card.Latest(name);
        std::string text = value.found ? ValueText(value) : "null";
        if (name == "ATTACHMENTS") {
            // One name per line, under each other.
            std::string indent(2 + width + 2, ' ');
            size_t start = 0;
            bool first = true;
            if (text.empty()) std::cout << "(none)";
            while (start < text.size()) {
                size_t end = text.find("\r\n", start);
                if (end == std::string::npos) end = text.size();
                std::cout << (first ? "" : "\n" + indent) << text.substr(start, end - start);
                first = false;
                start = end + 2;
            }
            std::cout << "\n";
            continue;
        }
        if (name == "BODY" && !full) {
            std::string flat;  // one line: each run of line breaks and blanks becomes one blank
            for (char c : text) {
                const bool blank = c == '\r' || c == '\n' || c == '\t' || c == ' ';
                if (!blank) flat += c;
                else if (!flat.empty() && flat.back() != ' ') flat += ' ';
            }
            text = Shorten(flat, 100);
        }
        std::cout << text << "\n";
    }
}

// The variables to read: those given, else the catalogue.
std::vector<std::string> VariableNames(const std::vector<std::string>& given) {
    if (!given.empty()) return given;
    return std::vector<std::string>(std::begin(kCatalogue), std::end(kCatalogue));
}

// ---- Commands -----------------------------------------------------------------------------

int RunRegistration(const std::string& module, bool registering) {
    const std::string kept = FileNameOf(fs::absolute(FileSystemPath(module)));
    const WString widePath = WideFileName(kept);
    const std::string path = ShownText(kept);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool initialised = SUCCEEDED(hr);
    HMODULE library = LoadLibraryW(widePath.c_str());
    int exitCode = kExitSuccess;
    const char* entry = registering ? "DllRegisterServer" : "DllUnregisterServer";
    if (!library) {
        std::cerr << "cardhost: cannot load " << path << "\n  " << DescribeResult(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND))
                  << "\n";
        exitCode = kExitOpenFailed;
    } else {
        using Entry = HRESULT(STDAPICALLTYPE*)();
        auto call = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(library, entry)));
        if (!call) {
            std::cerr << "cardhost: " << path << " has no " << entry << "\n";
            exitCode = kExitOpenFailed;
        } else {
            hr = call();
            if (FAILED(hr)) {
                std::cerr << "cardhost: " << entry << " failed\n  " << DescribeResult(hr) << "\n";
                exitCode = kExitSaveFailed;
            } else {
                std::cout << (registering ? "registered " : "unregistered ") << path << "\n  in "
                          << RegistryLocation() << "\n";
            }
        }
        auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(
            reinterpret_cast<void*>(GetProcAddress(library, "DllCanUnloadNow")));
        if (canUnload && canUnload() == S_OK) FreeLibrary(library);
    }
    CoFreeUnusedLibraries();
    if (initialised) CoUninitialize();
    return exitCode;
}

int RunInfo(const std::string& module) {
    auto host = OpenFormat(module);
    if (!host) return kExitOpenFailed;
    Bstr product, description, extensions;
    HRESULT hr = host->Format()->GetInfo(product.Put(), description.Put(), extensions.Put());
    if (FAILED(hr)) {
        std::cerr << "cardhost: GetInfo failed\n  " << DescribeResult(hr) << "\n";
        return kExitOpenFailed;
    }
    std::cout << "product:     " << BstrToUtf8(product.Get()) << "\n"
              << "description: " << BstrToUtf8(description.Get()) << "\n"
              << "extensions:  " << BstrToUtf8(extensions.Get()) << "\n";
    // The list may name several extensions, separated by ';', ',' or spaces.
    std::string list = BstrToUtf8(extensions.Get());
    for (char& c : list)
        if (c == ';' || c == ',') c = ' ';
    std::istringstream words(list);
    for (std::string extension; words >> extension;) {
        Bstr name(ToUtf16(extension));
        LONG flags = 0;
        hr = host->Format()->GetExtensionFlags(name.Get(), &flags);
        if (FAILED(hr))
            std::cout << "flags of ." << extension << ": " << DescribeResult(hr) << "\n";
        else
            std::cout << "flags of ." << extension << ": " << HexCode(flags) << "\n";
    }
    // The plug-in shows 8-bit text of a message in this code page.
    std::cout << "code page:   " << GetACP() << " (ANSI, for 8-bit text)\n";
    return kExitSuccess;
}

int RunShow(const std::string& module, const std::vector<std::string>& files, const std::vector<std::string>& vars,
            bool asJson, bool full) {
    auto host = OpenFormat(module);
    if (!host) return kExitOpenFailed;
    const std::vector<std::string> names = VariableNames(vars);
    Request request(names);
    OpenDiagnosis diagnosis;
    int exitCode = kExitSuccess;
    for (const std::string& file : files) {
        Card card = ReadCard(host->Format(), file, names, request, diagnosis);
        if (asJson)
            std::cout << JsonLine(file, card) << "\n";
        else
            PrintCardTable(file, card, full);
        if (FAILED(card.result)) {
            if (!asJson) {
                std::cerr << "cardhost: " << ShownText(file) << ": " << DescribeResult(card.result) << "\n";
                if (!card.reason.empty()) std::cerr << "  reason: " << card.reason << "\n";
            }
            exitCode = kExitOpenFailed;
        } else if (!vars.empty() &&
                   std::any_of(card.values.begin(), card.values.end(), [](const CardValue& v) { return !v.found; }) &&
                   exitCode == kExitSuccess) {
            exitCode = kExitNotAll;  // a variable asked for by name is missing
        }
    }
    std::cout.flush();
    return exitCode;
}

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

int RunScan(const std::string& module, const std::string& folder, bool asJson) {
    std::error_code error;
    if (!fs::is_directory(FileSystemPath(folder), error)) {
        std::cerr << "cardhost: " << ShownText(folder) << " is not a folder\n";
        return kExitUsage;
    }
    std::vector<std::string> files;
    for (auto it = fs::recursive_directory_iterator(FileSystemPath(folder), fs::directory_options::skip_permission_denied,
                                                    error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (!it->is_regular_file(error)) continue;
        const std::string name = FileNameOf(it->path());  // whatever its bytes
        std::string extension = name.size() >= 4 ? name.substr(name.size() - 4) : name;
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (extension == ".msg") files.push_back(name);
    }
    std::sort(files.begin(), files.end());

    auto host = OpenFormat(module);
    if (!host) return kExitOpenFailed;
    const std::vector<std::string> names = VariableNames({});
    Request request(names);
    OpenDiagnosis diagnosis;
    const bool progress = StandardErrorIsTerminal();
    std::map<HRESULT, std::map<std::string, size_t>> failures;  // by code, then by reason
    for (size_t i = 0; i < files.size(); ++i) {
        if (progress) {
            const size_t width = 30;
            const size_t done = files.size() ? (i * width) / files.size() : width;
            std::cerr << "\r[" << std::string(done, '#') << std::string(width - done, '.') << "] " << i << "/"
                      << files.size() << std::flush;
        }
        Card card = ReadCard(host->Format(), files[i], names, request, diagnosis);
        if (FAILED(card.result)) ++failures[card.result][card.reason];
        if (progress) std::cerr << "\r\033[K" << std::flush;  // the bar gives way to the line
        if (asJson) {
            std::cout << JsonLine(files[i], card) << "\n";
        } else {
            const CardValue& subject = card.Latest("SUBJECT");
            std::cout << (FAILED(card.result) ? "FAILED " + HexCode(card.result) : std::string("ok    "))
                      << "  " << ShownText(files[i]);
            if (SUCCEEDED(card.result) && subject.found && subject.kind == CardValue::Kind::String)
                std::cout << "  " << Shorten(subject.text, 60);
            if (!card.reason.empty()) std::cout << "  (" << card.reason << ")";
            std::cout << "\n";
        }
        std::cout.flush();
    }
    if (progress) std::cerr << "\r\033[K";
    std::cout.flush();
    size_t failed = 0;
    for (const auto& [code, reasons] : failures)
        for (const auto& [reason, count] : reasons) failed += count;
    std::cerr << "scanned " << files.size() << " message" << (files.size() == 1 ? "" : "s") << ", " << failed
              << " failed\n";
    for (const auto& [code, reasons] : failures) {
        size_t count = 0;
        for (const auto& [reason, n] : reasons) count += n;
        std::cerr << "  " << count << " x " << DescribeResult(code) << "\n";
        for (const auto& [reason, n] : reasons)
            std::cerr << "      " << n << " x " << (reason.empty() ? "no reason found" : reason) << "\n";
    }
    return failed ? kExitOpenFailed : kExitSuccess;
}

std::string CategoryName(DWORD category) {
    switch (category) {
    case kLogCategoryNotice: return "notice";
    case kLogCategoryBody: return "body";
    case kLogCategoryOpening: return "opening";
    default: return HexCode(static_cast<HRESULT>(category));
    }
}

void PrintLogEntry(const LogEntry& entry, bool asJson) {
    const std::string time = FormatSystemTime(entry.localTime);
    if (asJson) {
        json line = {{"offset", entry.offset},
                     {"time", time},
                     {"result", HexCode(entry.resultCode)},
                     {"name", ResultName(entry.resultCode)},
                     {"category", CategoryName(entry.category)},
                     {"module", ToUtf8(entry.moduleName)},
                     {"function", ToUtf8(entry.functionName)},
                     {"message", ToUtf8(entry.message)}};
        if (entry.stringsCut) line["cut"] = true;
        std::cout << line.dump() << "\n";
        return;
    }
    std::string name = ResultName(entry.resultCode);
    std::cout << time << "  " << HexCode(entry.resultCode) << (name.empty() ? "" : " " + name) << "  ["
              << CategoryName(entry.category) << "]  " << ToUtf8(entry.moduleName) << "  "
              << ToUtf8(entry.functionName) << "\n";
    std::string message = ToUtf8(entry.message);
    size_t start = 0;
    while (start <= message.size()) {
        size_t end = message.find('\n', start);
        if (end == std::string::npos) end = message.size();
        std::cout << "    " << message.substr(start, end - start) << "\n";
        start = end + 1;
    }
    if (entry.stringsCut) std::cout << "    (strings cut)\n";
}

int RunLog(size_t tail, bool follow, bool asJson) {
    const WString path = LogPath();
    if (path.empty()) {
        std::cerr << "cardhost: no folder for the log (set HOME or XDG_DATA_HOME)\n";
        return kExitOpenFailed;
    }
    const std::string shownPath = ToUtf8(path);
    const fs::path filePath = FileSystemPath(FileNameFromWide(path));
    if (!asJson) std::cerr << "log: " << shownPath << "\n";
    std::vector<LogEntry> entries;
    LogSummary summary;
    DecodeLogFile(path.c_str(), [&](const LogEntry& entry) {
        entries.push_back(entry);
        if (tail && entries.size() > 4 * tail + 64) entries.erase(entries.begin(), entries.end() - tail);
        return true;
    }, summary);
    if (!summary.opened && !follow) {
        std::cerr << "cardhost: there is no log at " << shownPath << " (nothing was logged yet)\n";
        return kExitSuccess;
    }
    size_t first = tail && entries.size() > tail ? entries.size() - tail : 0;
    for (size_t i = first; i < entries.size(); ++i) PrintLogEntry(entries[i], asJson);
    std::cout.flush();
    auto reportDamage = [&](const LogSummary& s) {
        if (s.readError) std::cerr << "cardhost: reading the log stopped on a read error\n";
        if (s.DamagedTail())
            std::cerr << "cardhost: the last " << s.DamagedBytes() << " bytes of the log are damaged (from offset "
                      << s.soundLength << ")\n";
    };
    reportDamage(summary);
    if (!follow) return kExitSuccess;

    ULONGLONG seen = entries.empty() ? 0 : entries.back().offset + 1;
    ULONGLONG lastLength = summary.fileLength;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::error_code error;
        const auto length = fs::file_size(filePath, error);
        if (error || length == lastLength) continue;
        if (length < lastLength) seen = 0;  // replaced by a new log
        lastLength = length;
        LogSummary now;
        DecodeLogFile(path.c_str(), [&](const LogEntry& entry) {
            if (entry.offset >= seen) {
                PrintLogEntry(entry, asJson);
                seen = entry.offset + 1;
            }
            return true;
        }, now);
        std::cout.flush();
    }
}

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

}  // namespace
}  // namespace cardhost

int main(int argc, char** argv) {
    using namespace cardhost;
    UseBinaryStandardStreams();
    CLI::App app{"cardhost: shows, edits and saves the data card of .msg files through the format plug-in", "cardhost"};
    app.set_version_flag("--version", std::string("cardhost ") + MSGPLUGIN_VERSION, "the version of cardhost and the plug-in");
    app.require_subcommand(1);
    app.fallthrough();  // --module may come after the command too
    std::string module;
    app.add_option("--module", module,
                   "load the plug-in from this library directly instead of through the registry");

    // The library to (un)register: MODULE, else --module, else the one built beside cardhost.
    auto* reg = app.add_subcommand("register", "register the plug-in (DllRegisterServer)");
    std::string regModule;
    const std::string regHelp = "the plug-in library (default: --module, else " + DefaultModule() + ")";
    reg->add_option("MODULE", regModule, regHelp);
    auto* unreg = app.add_subcommand("unregister", "unregister the plug-in (DllUnregisterServer)");
    unreg->add_option("MODULE", regModule, regHelp);

    auto* info = app.add_subcommand("info", "the plug-in's product, description, extensions and their flags");

    auto* show = app.add_subcommand("show", "show the card of each file");
    std::vector<std::string> showFiles, showVars;
    bool showJson = false, showFull = false;
    show->add_option("FILE", showFiles, "message files")->required();
    show->add_option("--var", showVars, "a catalogue name or decimal property tag (repeatable)")
        ->allow_extra_args(false);  // one name per --var, so the files after it stay files
    show->add_flag("--json", showJson, "one JSON object per line and file");
    show->add_flag("--full", showFull, "the whole body");

    auto* set = app.add_subcommand("set", "write variables and save the file");
    std::string setFile, setType = "str";
    std::vector<std::string> setAssignments;
    int holdMilliseconds = 0;
    set->add_option("FILE", setFile, "the message file")->required();
    set->add_option("ASSIGNMENT", setAssignments, "NAME=VALUE (NAME: catalogue name or decimal tag)")->required();
    set->add_option("--type", setType, "the values' type")
        ->check(CLI::IsMember({"str", "int", "real", "date", "bool"}))
        ->capture_default_str();
    set->add_option("--hold", holdMilliseconds, "keep the file open this many milliseconds before writing")
        ->check(CLI::Range(0, 600000))
        ->group("");

    auto* scan = app.add_subcommand("scan", "the card of every .msg below a folder");
    std::string scanFolder;
    bool scanJson = false;
    scan->add_option("DIR", scanFolder, "the folder")->required();
    scan->add_flag("--json", scanJson, "one JSON object per line and file");

    auto* log = app.add_subcommand("log", "the plug-in's diagnostics log, decoded");
    size_t tail = 0;
    bool follow = false, logJson = false;
    log->add_option("--tail", tail, "only the last N entries");
    log->add_flag("--follow", follow, "keep watching for new entries");
    log->add_flag("--json", logJson, "one JSON object per line and entry");

    auto* sample = app.add_subcommand("sample", "write a sample message");
    std::string sampleFile;
    sample->add_option("FILE", sampleFile, "the file to write (replaced when it exists)")->required();

    try {
        std::vector<std::string> arguments = Utf8Arguments(argc, argv);
        std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first, without the program
        arguments.pop_back();
        app.parse(arguments);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitSuccess : kExitUsage;
    }
    try {
        if (reg->parsed() || unreg->parsed()) {
            if (!regModule.empty() && !module.empty() &&
                fs::absolute(FileSystemPath(regModule)) != fs::absolute(FileSystemPath(module))) {
                std::cerr << "cardhost: two different libraries named: " << ShownText(regModule) << " and --module "
                          << ShownText(module) << "\n";
                return kExitUsage;
            }
            const std::string library = !regModule.empty() ? regModule : !module.empty() ? module : DefaultModule();
            return RunRegistration(library, reg->parsed());
        }
        if (info->parsed()) return RunInfo(module);
        if (show->parsed()) return RunShow(module, showFiles, showVars, showJson, showFull);
        if (set->parsed()) return RunSet(module, setFile, setAssignments, setType, holdMilliseconds);
        if (scan->parsed()) return RunScan(module, scanFolder, scanJson);
        if (log->parsed()) return RunLog(tail, follow, logJson);
        if (sample->parsed()) return RunSample(sampleFile);
    } catch (const std::exception& e) {
        std::cerr << "cardhost: " << e.what() << "\n";
        return kExitOpenFailed;
    }
    return kExitUsage;
}
