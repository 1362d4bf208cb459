// The module loaded into the test program, and interposing on its imports.
#include "frame/windows_test_support.h"

#include <cstring>

#include "frame/MsgPluginInterfaces.h"

namespace wintest {

LoadedModule::LoadedModule(const WString& path) : module_(LoadLibraryW(path.c_str())) {}

LoadedModule::~LoadedModule() {
    if (module_) FreeLibrary(module_);
}

FARPROC LoadedModule::Export(const char* name) const { return module_ ? GetProcAddress(module_, name) : nullptr; }

HRESULT LoadedModule::GetClassObject(REFCLSID clsid, REFIID iid, void** object) const {
    auto function = reinterpret_cast<LPFNGETCLASSOBJECT>(reinterpret_cast<void*>(Export("DllGetClassObject")));
    return function ? function(clsid, iid, object) : E_UNEXPECTED;
}

HRESULT LoadedModule::CanUnloadNow() const {
    using Function = HRESULT(STDAPICALLTYPE*)();
    auto function = reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllCanUnloadNow")));
    return function ? function() : E_UNEXPECTED;
}

HRESULT LoadedModule::Register() const {
    using Function = HRESULT(STDAPICALLTYPE*)();
    auto function = reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllRegisterServer")));
    return function ? function() : E_UNEXPECTED;
}

HRESULT LoadedModule::Unregister() const {
    using Function = HRESULT(STDAPICALLTYPE*)();
    auto function = reinterpret_cast<Function>(reinterpret_cast<void*>(Export("DllUnregisterServer")));
    return function ? function() : E_UNEXPECTED;
}

HRESULT LoadedModule::CreateFormat(IKivFileFormat** format) const {
    *format = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = GetClassObject(CLSID_MsgFormat, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(nullptr, IID_IKivFileFormat, reinterpret_cast<void**>(format));
    factory->Release();
    return hr;
}

void* ReplaceImport(HMODULE module, const char* library, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         descriptor->Name; ++descriptor) {
        if (_stricmp(reinterpret_cast<const char*>(base + descriptor->Name), library) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (names->u1.Ordinal & IMAGE_ORDINAL_FLAG64) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
            void* old = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONGLONG>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            return old;
        }
    }
    return nullptr;
}

}  // namespace wintest
