#include "format_host.h"

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "results.h"
#include "system.h"
#include "text.h"

namespace fs = std::filesystem;
using platform::ComPtr;

namespace cardhost {

Request::Request(const std::vector<std::string>& names) {
    records_.resize(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        const WString name = ToUtf16(names[i]);
        records_[i].attribute = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
        records_[i].block = SysAllocString(OLESTR("MSG"));
        VariantInit(&records_[i].value);
        records_[i].found = -1;  // not served
    }
}

Request::~Request() {
    for (VariableRequest& record : records_) {
        SysFreeString(record.attribute);
        SysFreeString(record.block);
        VariantClear(&record.value);
    }
}

void Request::Clear() {
    for (VariableRequest& record : records_) {
        VariantClear(&record.value);
        record.found = -1;
    }
}

bool Request::Allocated() const {
    return std::all_of(records_.begin(), records_.end(),
                       [](const VariableRequest& r) { return r.attribute && r.block; });
}

FormatHost::~FormatHost() {
    format_.Reset();
    if (directModule_) {
        auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(
            reinterpret_cast<void*>(GetProcAddress(directModule_, "DllCanUnloadNow")));
        if (canUnload && canUnload() == S_OK) FreeLibrary(directModule_);
    }
    CoFreeUnusedLibraries();
    if (initialised_) CoUninitialize();
}

HRESULT FormatHost::Create(const std::string& modulePath, std::string* problem) {
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

}  // namespace cardhost
