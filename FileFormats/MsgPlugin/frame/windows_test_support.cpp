#include "frame/windows_test_support.h"

#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "frame/MsgPluginInterfaces.h"

namespace wintest {

std::string Narrow(const WString& text) {
    if (text.empty()) return {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}

WString Widen(const std::string& text) {
    if (text.empty()) return {};
    int chars = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    WString wide(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
    return wide;
}

WString ProgramPath() {
    WCHAR path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

WString ProgramFolder() {
    WString path = ProgramPath();
    return path.substr(0, path.find_last_of(L'\\'));
}

WString ModulePath() { return ProgramFolder() + L"\\MsgPlugin.dll"; }

TempFolder::TempFolder() {
    static std::atomic<int> counter{0};
    WCHAR base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    path_ = WString(base) + L"msgplugin-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            WString name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            SetFileAttributesW(File(name).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(File(name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path_.c_str());
}

void WriteFile(const WString& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// ---- PE files ------------------------------------------------------------------------------

namespace {

class PeReader {
public:
    explicit PeReader(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    bool Parse() {
        uint32_t peOffset = 0;
        if (!Read(0x3C, &peOffset) || !Has(peOffset, 4) || std::memcmp(&bytes_[peOffset], "PE\0\0", 4) != 0)
            return false;
        IMAGE_FILE_HEADER file{};
        if (!Read(peOffset + 4, &file)) return false;
        const size_t optional = peOffset + 4 + sizeof(IMAGE_FILE_HEADER);
        IMAGE_OPTIONAL_HEADER64 header{};
        if (file.SizeOfOptionalHeader < sizeof header || !Read(optional, &header) ||
            header.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC)
            return false;
        std::copy(std::begin(header.DataDirectory), std::end(header.DataDirectory), directories_);
        size_t sectionTable = optional + file.SizeOfOptionalHeader;
        for (WORD i = 0; i < file.NumberOfSections; ++i) {
            IMAGE_SECTION_HEADER section{};
            if (!Read(sectionTable + i * sizeof section, &section)) return false;
            sections_.push_back(section);
        }
        return true;
    }

    const IMAGE_DATA_DIRECTORY& Directory(int index) const { return directories_[index]; }

    // The file offset of an RVA, or 0 when no section holds it.
    size_t Offset(uint32_t rva) const {
        for (const IMAGE_SECTION_HEADER& s : sections_) {
            uint32_t size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size)
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return 0;
    }

    template <class T>
    bool ReadRva(uint32_t rva, T* out) const {
        size_t offset = Offset(rva);
        return offset && Read(offset, out);
    }

    std::string StringAt(uint32_t rva) const {
        std::string text;
        for (size_t offset = Offset(rva); offset && offset < bytes_.size() && bytes_[offset]; ++offset)
            text.push_back(static_cast<char>(bytes_[offset]));
        return text;
    }

    std::vector<uint8_t> BytesAt(uint32_t rva, uint32_t size) const {
        size_t offset = Offset(rva);
        if (!offset || !Has(offset, size)) return {};
        return {bytes_.begin() + static_cast<ptrdiff_t>(offset), bytes_.begin() + static_cast<ptrdiff_t>(offset + size)};
    }

    template <class T>
    bool Read(size_t offset, T* out) const {
        if (!Has(offset, sizeof(T))) return false;
        std::memcpy(out, &bytes_[offset], sizeof(T));
        return true;
    }

private:
    bool Has(size_t offset, size_t size) const { return offset <= bytes_.size() && size <= bytes_.size() - offset; }

    std::vector<uint8_t> bytes_;
    IMAGE_DATA_DIRECTORY directories_[IMAGE_NUMBEROF_DIRECTORY_ENTRIES] = {};
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

// A resource directory entry's name: its number, or its text.
std::string ResourceName(const PeReader& pe, uint32_t resourceBase, const IMAGE_RESOURCE_DIRECTORY_ENTRY& entry) {
    if (!(entry.Name & IMAGE_RESOURCE_NAME_IS_STRING)) return std::to_string(entry.Name & 0xFFFF);
    uint32_t at = resourceBase + (entry.Name & 0x7FFFFFFF);
    WORD length = 0;
    if (!pe.ReadRva(at, &length)) return {};
    WString name;
    for (WORD i = 0; i < length; ++i) {
        WCHAR c = 0;
        if (!pe.ReadRva(at + 2 + i * 2, &c)) return {};
        name.push_back(c);
    }
    return Narrow(name);
}

std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> ResourceEntries(const PeReader& pe, uint32_t rva) {
    IMAGE_RESOURCE_DIRECTORY directory{};
    std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> entries;
    if (!pe.ReadRva(rva, &directory)) return entries;
    int count = directory.NumberOfNamedEntries + directory.NumberOfIdEntries;
    for (int i = 0; i < count; ++i) {
        IMAGE_RESOURCE_DIRECTORY_ENTRY entry{};
        if (!pe.ReadRva(rva + sizeof directory + i * sizeof entry, &entry)) break;
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace

bool ReadPeFile(const WString& path, PeFacts& facts) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PeReader pe(std::move(bytes));
    if (!pe.Parse()) return false;
    facts = PeFacts{};

    const IMAGE_DATA_DIRECTORY& exports = pe.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (exports.VirtualAddress) {
        IMAGE_EXPORT_DIRECTORY directory{};
        if (!pe.ReadRva(exports.VirtualAddress, &directory)) return false;
        facts.exportCount = directory.NumberOfFunctions;
        for (DWORD i = 0; i < directory.NumberOfNames; ++i) {
            uint32_t nameRva = 0;
            if (!pe.ReadRva(directory.AddressOfNames + i * 4, &nameRva)) return false;
            facts.exportNames.push_back(pe.StringAt(nameRva));
        }
        std::sort(facts.exportNames.begin(), facts.exportNames.end());
    }

    const IMAGE_DATA_DIRECTORY& imports = pe.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    for (uint32_t at = imports.VirtualAddress; at; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        IMAGE_IMPORT_DESCRIPTOR descriptor{};
        if (!pe.ReadRva(at, &descriptor)) return false;
        if (descriptor.Name == 0) break;
        std::string library = pe.StringAt(descriptor.Name);
        uint32_t thunks = descriptor.OriginalFirstThunk ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
        for (uint32_t slot = thunks;; slot += 8) {
            uint64_t thunk = 0;
            if (!pe.ReadRva(slot, &thunk)) return false;
            if (thunk == 0) break;
            PeImport import;
            import.library = library;
            if (thunk & IMAGE_ORDINAL_FLAG64) {
                import.byOrdinal = true;
                import.ordinal = static_cast<uint16_t>(thunk & 0xFFFF);
            } else {
                import.name = pe.StringAt(static_cast<uint32_t>(thunk) + 2);  // after the hint
            }
            facts.imports.push_back(import);
        }
    }

    const IMAGE_DATA_DIRECTORY& resources = pe.Directory(IMAGE_DIRECTORY_ENTRY_RESOURCE);
    const uint32_t base = resources.VirtualAddress;
    if (base) {
        for (const auto& type : ResourceEntries(pe, base)) {
            if (!(type.OffsetToData & IMAGE_RESOURCE_DATA_IS_DIRECTORY)) continue;
            for (const auto& id : ResourceEntries(pe, base + (type.OffsetToData & 0x7FFFFFFF))) {
                if (!(id.OffsetToData & IMAGE_RESOURCE_DATA_IS_DIRECTORY)) continue;
                auto languages = ResourceEntries(pe, base + (id.OffsetToData & 0x7FFFFFFF));
                if (languages.empty() || (languages[0].OffsetToData & IMAGE_RESOURCE_DATA_IS_DIRECTORY)) continue;
                IMAGE_RESOURCE_DATA_ENTRY data{};
                if (!pe.ReadRva(base + languages[0].OffsetToData, &data)) continue;
                facts.resources[ResourceName(pe, base, type) + "/" + ResourceName(pe, base, id)] =
                    pe.BytesAt(data.OffsetToData, data.Size);
            }
        }
    }
    return true;
}

// ---- Registry --------------------------------------------------------------------------------

bool ReadString(HKEY root, const WString& key, LPCWSTR name, WString* value, DWORD* bytes) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    WCHAR buffer[1024] = {};
    DWORD size = sizeof buffer - sizeof(WCHAR);
    DWORD type = 0;
    LONG status = RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    if (value) *value = buffer;
    if (bytes) *bytes = size;
    return true;
}

bool KeyExists(HKEY root, const WString& key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
}

namespace {

void SnapshotInto(HKEY root, const WString& key, std::vector<WString>& lines) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return;
    lines.push_back(key);
    for (DWORD index = 0;; ++index) {
        WCHAR name[256] = {};
        DWORD nameLength = 256;
        BYTE data[2048] = {};
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueW(opened, index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        WString line = key + L" [" + name + L"] type " + std::to_wstring(type) + L" = ";
        if (type == REG_SZ) line += reinterpret_cast<const WCHAR*>(data);
        lines.push_back(line);
    }
    std::vector<WString> subkeys;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256] = {};
        DWORD nameLength = 256;
        if (RegEnumKeyExW(opened, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.push_back(name);
    }
    RegCloseKey(opened);
    for (const WString& subkey : subkeys) SnapshotInto(root, key + L"\\" + subkey, lines);
}

}  // namespace

std::vector<WString> Snapshot(HKEY root, const WString& key) {
    std::vector<WString> lines;
    SnapshotInto(root, key, lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// ---- Module ----------------------------------------------------------------------------------

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

// ---- Helper processes ------------------------------------------------------------------------

namespace {

// Moves what the pipe holds now into output; false when the pipe is closed or broken.
bool DrainPipe(HANDLE pipe, std::string* output) {
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) return true;
        char buffer[4096];
        DWORD read = 0;
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &read, nullptr) || read == 0)
            return false;
        output->append(buffer, read);
    }
}

}  // namespace

std::string ChildResult::Describe() const {
    char ending[64];
    std::snprintf(ending, sizeof ending, timedOut ? "ended at the timeout" : "exit code 0x%08lX",
                  static_cast<unsigned long>(exitCode));
    return std::string(ending) + ", output:\n" + output;
}

ChildResult RunChild(const WString& program, const WString& arguments, DWORD timeoutMs) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    WString commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(writeEnd);
    if (started) {
        // The output is read while the child runs and once more when it has ended; the end of the
        // pipe is not waited for, since a process the child started (Wine's desktop, say) may hold
        // it open long after. A child still running at the timeout is ended.
        const ULONGLONG deadline = GetTickCount64() + timeoutMs;
        for (;;) {
            DrainPipe(readEnd, &result.output);
            if (WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) {
                GetExitCodeProcess(process.hProcess, &result.exitCode);
                break;
            }
            if (GetTickCount64() >= deadline) {
                TerminateProcess(process.hProcess, 1);
                WaitForSingleObject(process.hProcess, 10000);
                result.timedOut = true;
                break;
            }
        }
        DrainPipe(readEnd, &result.output);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(readEnd);
    return result;
}

namespace {

WString EventName(const wchar_t* role) {
    static std::atomic<int> counter{0};
    return WString(L"msgplugin-test-") + role + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

}  // namespace

FileHeldElsewhere::FileHeldElsewhere(const WString& path) {
    WString readyName = EventName(L"ready");
    WString releaseName = EventName(L"release");
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    release_ = CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str());
    WString program = ProgramPath();
    WString commandLine = L"\"" + program + L"\" " + kHoldRole + L" \"" + path + L"\" " + readyName + L" " + releaseName;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process_)) {
        HANDLE waits[] = {ready, process_.hProcess};
        holding_ = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    }
    CloseHandle(ready);
}

FileHeldElsewhere::~FileHeldElsewhere() {
    SetEvent(release_);
    if (process_.hProcess) {
        WaitForSingleObject(process_.hProcess, 30000);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    CloseHandle(release_);
}

WString DefaultLogPath() {
    WCHAR folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder);
    return WString(folder) + L"\\ORVANE\\ORVANE KESTREL\\ORVANE KESTREL.mlg";
}

namespace {

int HoldFile(const WString& path, const WString& readyName, const WString& releaseName) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName.c_str());
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, releaseName.c_str());
    if (ready) SetEvent(ready);
    if (release) WaitForSingleObject(release, 60000);
    CloseHandle(file);
    if (ready) CloseHandle(ready);
    if (release) CloseHandle(release);
    return 0;
}

// What the module's message box and its waits were asked for, in this process.
std::atomic<int> g_boxes{0};
std::atomic<int> g_sleeps{0};
WString g_boxCaption;
WString g_boxText;

int WINAPI RecordMessageBox(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
    ++g_boxes;
    g_boxText = text ? text : L"";
    g_boxCaption = caption ? caption : L"";
    return IDOK;
}

void WINAPI RecordSleep(DWORD) { ++g_sleeps; }

// Opens a missing file through the module while this process holds the log shared with nobody,
// with the module's message box and waits recorded instead of made; prints what happened.
int LogWhileUnopenable(const WString& modulePath) {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in \n alone
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        LoadedModule module(modulePath);
        if (!module.Handle()) return 3;
        bool patched = ReplaceImport(module.Handle(), "USER32.dll", "MessageBoxW", reinterpret_cast<void*>(&RecordMessageBox)) &&
                       ReplaceImport(module.Handle(), "KERNEL32.dll", "Sleep", reinterpret_cast<void*>(&RecordSleep));
        if (!patched) return 4;
        WString log = DefaultLogPath();
        WString folder = log.substr(0, log.find_last_of(L'\\'));
        SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        HANDLE held = CreateFileW(log.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE) return 5;
        IKivFileFormat* format = nullptr;
        HRESULT created = module.CreateFormat(&format);
        HRESULT opened = E_UNEXPECTED;
        if (SUCCEEDED(created)) {
            BSTR missing = SysAllocString((ProgramFolder() + L"\\no such message.msg").c_str());
            IKivFileNavigator* navigator = nullptr;
            opened = format->OpenFile(missing, 0, &navigator);
            SysFreeString(missing);
            format->Release();
        }
        CloseHandle(held);
        std::printf("open=0x%08lX boxes=%d sleeps=%d\ncaption=%s\ntext=%s\n", static_cast<unsigned long>(opened),
                    g_boxes.load(), g_sleeps.load(), Narrow(g_boxCaption).c_str(), Narrow(g_boxText).c_str());
        std::fflush(stdout);
    }
    CoUninitialize();
    return 0;
}

}  // namespace

int RunChildRole(int argc, wchar_t** argv) {
    if (argc >= 5 && WString(argv[1]) == kHoldRole) return HoldFile(argv[2], argv[3], argv[4]);
    if (argc >= 3 && WString(argv[1]) == kUnopenableLogRole) return LogWhileUnopenable(argv[2]);
    return -1;
}

}  // namespace wintest
