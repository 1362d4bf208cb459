// MsgPlugin.dll on Windows' own system libraries (under Wine): its exports and imports, its
// resources, registration, activation through the registry, and its lifetime.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <set>

#include "frame/HostInterfaces.h"
#include "frame/MsgPluginInterfaces.h"
#include "frame/windows_test_support.h"

using namespace wintest;

namespace {

const WString kMsgFileClsid = L"{8BA22517-EAE8-44C9-BCC9-F6ECBA2F4B47}";
const WString kMsgFormatClsid = L"{9C8F8544-DACC-47E1-A113-10A4B6744B6F}";
const WString kLibid = L"{7E11C994-6343-4C7E-BCFC-0C539CB60D80}";
const WString kMsgFormatIid = L"{567A7172-DDE8-48DE-AB02-864CC86EA58B}";
const WString kMsgFileIid = L"{CAA138E5-71DF-4C5C-AD03-44208BF98751}";
const WString kMapiApps = L"SOFTWARE\\Microsoft\\Windows Messaging Subsystem\\MSMapiApps";

std::string SourceFile(const char* relative) {
    std::ifstream in(std::string(MSGPLUGIN_SOURCE_DIR_WINDOWS "\\") + relative, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

WString Default(const WString& key) {
    WString value = L"(missing)";
    ReadString(HKEY_CLASSES_ROOT, key, nullptr, &value);
    return value;
}

WString Named(const WString& key, LPCWSTR name) {
    WString value = L"(missing)";
    ReadString(HKEY_CLASSES_ROOT, key, name, &value);
    return value;
}

bool SamePath(const WString& a, const WString& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

}  // namespace

TEST(Exports, ExactlyTheFourExports) {
    PeFacts facts;
    ASSERT_TRUE(ReadPeFile(ModulePath(), facts));
    EXPECT_EQ(facts.exportCount, 4u);
    EXPECT_EQ(facts.exportNames,
              (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"}));
}

TEST(Exports, MapiAndTheInstallerAreImportedByOrdinalOnly) {
    PeFacts facts;
    ASSERT_TRUE(ReadPeFile(ModulePath(), facts));
    std::set<int> mapi, msi;
    for (const PeImport& import : facts.imports) {
        const bool isMapi = _stricmp(import.library.c_str(), "mapi32.dll") == 0;
        const bool isMsi = _stricmp(import.library.c_str(), "msi.dll") == 0;
        if (!isMapi && !isMsi) continue;
        EXPECT_TRUE(import.byOrdinal) << import.library << " imported by name: " << import.name;
        (isMapi ? mapi : msi).insert(import.ordinal);
    }
    // MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIInitialize, MAPIUninitialize,
    // MAPIGetDefaultMalloc, HrQueryAllRows, HrGetOneProp, OpenIMsgOnIStg.
    EXPECT_EQ(mapi, (std::set<int>{13, 15, 17, 21, 23, 59, 75, 135, 198}));
    EXPECT_EQ(msi, (std::set<int>{109}));  // the qualified-component lookup
    // Nothing of the compiler's runtime libraries: the DLL needs only the system's.
    for (const PeImport& import : facts.imports) {
        EXPECT_EQ(import.library.find("libstdc++"), std::string::npos);
        EXPECT_EQ(import.library.find("libgcc"), std::string::npos);
        EXPECT_EQ(import.library.find("libwinpthread"), std::string::npos);
    }
}

TEST(Exports, ResourcesAsWindowsHasThem) {
    PeFacts facts;
    ASSERT_TRUE(ReadPeFile(ModulePath(), facts));
    auto text = [&](const std::string& key) {
        const auto& bytes = facts.resources[key];
        return std::string(bytes.begin(), bytes.end());
    };
    EXPECT_EQ(text("REGISTRY/102"), SourceFile("frame\\resources\\MsgFile.rgs"));
    EXPECT_EQ(text("REGISTRY/104"), SourceFile("frame\\resources\\MsgFormat.rgs"));
    EXPECT_EQ(text("TYPELIB/1").substr(0, 4), "MSFT");  // a binary type library
    // Version information marks the library as self-registering.
    const std::string version = text("16/1");
    const WString marker = L"OLESelfRegister";
    const std::string markerBytes(reinterpret_cast<const char*>(marker.data()), marker.size() * sizeof(WCHAR));
    EXPECT_NE(version.find(markerBytes), std::string::npos);
}

// Registration runs as regsvr32 runs it: with COM started in the calling thread.
class Registration : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(module_.Handle(), nullptr);
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    }
    void TearDown() override {
        module_.Unregister();
        CoUninitialize();
    }

    std::vector<WString> OwnKeys() {
        std::vector<WString> keys;
        for (const WString& key : std::vector<WString>{L"MsgPlugin.MsgFile.1", L"MsgPlugin.MsgFile",
                                                      L"MsgPlugin.MsgFormat.1", L"MsgPlugin.MsgFormat",
                                                      L"CLSID\\" + kMsgFileClsid, L"CLSID\\" + kMsgFormatClsid}) {
            auto lines = Snapshot(HKEY_CLASSES_ROOT, key);
            keys.insert(keys.end(), lines.begin(), lines.end());
        }
        return keys;
    }

    LoadedModule module_{ModulePath()};
};

TEST_F(Registration, WritesBothClassesTheMailClientEntryTheTypeLibraryAndTheProxyStub) {
    ASSERT_EQ(module_.Register(), S_OK);
    const WString file = L"CLSID\\" + kMsgFileClsid;
    EXPECT_EQ(Default(L"MsgPlugin.MsgFile.1"), L"MsgFile Class");
    EXPECT_EQ(Default(L"MsgPlugin.MsgFile.1\\CLSID"), kMsgFileClsid);
    EXPECT_EQ(Default(L"MsgPlugin.MsgFile"), L"MsgFile Class");
    EXPECT_EQ(Default(L"MsgPlugin.MsgFile\\CLSID"), kMsgFileClsid);
    EXPECT_EQ(Default(L"MsgPlugin.MsgFile\\CurVer"), L"MsgPlugin.MsgFile.1");
    EXPECT_EQ(Default(file), L"MsgFile Class");
    EXPECT_EQ(Default(file + L"\\ProgID"), L"MsgPlugin.MsgFile.1");
    EXPECT_EQ(Default(file + L"\\VersionIndependentProgID"), L"MsgPlugin.MsgFile");
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, file + L"\\Programmable"));
    EXPECT_TRUE(SamePath(Default(file + L"\\InprocServer32"), ModulePath())) << Narrow(Default(file + L"\\InprocServer32"));
    EXPECT_EQ(Named(file + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(Default(file + L"\\TypeLib"), kLibid);

    const WString format = L"CLSID\\" + kMsgFormatClsid;
    EXPECT_EQ(Default(L"MsgPlugin.MsgFormat.1"), L"MsgFormat Class");
    EXPECT_EQ(Default(L"MsgPlugin.MsgFormat.1\\CLSID"), kMsgFormatClsid);
    EXPECT_EQ(Default(L"MsgPlugin.MsgFormat"), L"MsgFormat Class");
    EXPECT_EQ(Default(L"MsgPlugin.MsgFormat\\CLSID"), kMsgFormatClsid);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"MsgPlugin.MsgFormat\\CurVer"));
    EXPECT_EQ(Default(format), L"MsgFormat Class");
    EXPECT_EQ(Default(format + L"\\ProgID"), L"MsgPlugin.MsgFormat.1");
    EXPECT_EQ(Default(format + L"\\VersionIndependentProgID"), L"MsgPlugin.MsgFormat");
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, format + L"\\Programmable"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, format + L"\\TypeLib"));
    EXPECT_TRUE(SamePath(Default(format + L"\\InprocServer32"), ModulePath()));
    EXPECT_EQ(Named(format + L"\\InprocServer32", L"ThreadingModel"), L"both");

    // The mail-client entry, with its terminating null (36 bytes).
    WString client;
    DWORD bytes = 0;
    EXPECT_TRUE(ReadString(HKEY_LOCAL_MACHINE, kMapiApps, L"MsgPlugin.dll", &client, &bytes));
    EXPECT_EQ(client, L"Microsoft Outlook");
    EXPECT_EQ(bytes, 36u);

    // The type library, loadable through its registration.
    EXPECT_TRUE(SamePath(Default(L"TypeLib\\" + kLibid + L"\\1.0\\0\\win64"), ModulePath()));
    ITypeLib* library = nullptr;
    GUID libid{};
    ASSERT_EQ(CLSIDFromString(kLibid.c_str(), &libid), S_OK);
    ASSERT_EQ(LoadRegTypeLib(libid, 1, 0, 0, &library), S_OK);
    EXPECT_EQ(library->GetTypeInfoCount(), 4u);  // two interfaces, two classes
    library->Release();

    // The proxy/stub: both interfaces marshalled by the module, its class id IID_IMsgFormat.
    for (const WString& iid : {kMsgFormatIid, kMsgFileIid})
        EXPECT_EQ(Default(L"Interface\\" + iid + L"\\ProxyStubClsid32"), kMsgFormatIid) << Narrow(iid);
    EXPECT_TRUE(SamePath(Default(L"CLSID\\" + kMsgFormatIid + L"\\InprocServer32"), ModulePath()));
}

TEST_F(Registration, TwiceGivesTheSameKeysWithoutStaleOnes) {
    ASSERT_EQ(module_.Register(), S_OK);
    const std::vector<WString> once = OwnKeys();
    ASSERT_FALSE(once.empty());
    HKEY stale = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + kMsgFileClsid + L"\\Stale").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &stale, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(stale);
    ASSERT_EQ(module_.Register(), S_OK);
    EXPECT_EQ(OwnKeys(), once);
}

TEST_F(Registration, UnregisterRemovesWhatRegisterWroteAndKeepsTheClsidRoot) {
    ASSERT_EQ(module_.Register(), S_OK);
    ASSERT_EQ(module_.Unregister(), S_OK);
    for (const WString& key : std::vector<WString>{
             L"MsgPlugin.MsgFile.1", L"MsgPlugin.MsgFile", L"MsgPlugin.MsgFormat.1", L"MsgPlugin.MsgFormat",
             L"CLSID\\" + kMsgFileClsid, L"CLSID\\" + kMsgFormatClsid, L"TypeLib\\" + kLibid,
             L"Interface\\" + kMsgFormatIid, L"Interface\\" + kMsgFileIid})
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << Narrow(key);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kMapiApps));
    EXPECT_FALSE(ReadString(HKEY_LOCAL_MACHINE, kMapiApps, L"MsgPlugin.dll", nullptr));
}

// Everything registration may change: the classes and their program ids, the proxy/stub, the type
// library and the mail-client entry, one line per key and value.
std::vector<WString> RegistrationState() {
    std::vector<WString> lines;
    for (const WString& key : std::vector<WString>{
             L"MsgPlugin.MsgFile.1", L"MsgPlugin.MsgFile", L"MsgPlugin.MsgFormat.1", L"MsgPlugin.MsgFormat",
             L"CLSID\\" + kMsgFileClsid, L"CLSID\\" + kMsgFormatClsid, L"CLSID\\" + kMsgFormatIid,
             L"Interface\\" + kMsgFormatIid, L"Interface\\" + kMsgFileIid, L"TypeLib\\" + kLibid}) {
        auto keyLines = Snapshot(HKEY_CLASSES_ROOT, key);
        lines.insert(lines.end(), keyLines.begin(), keyLines.end());
    }
    auto apps = Snapshot(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows Messaging Subsystem");
    lines.insert(lines.end(), apps.begin(), apps.end());
    return lines;
}

WString Lines(const std::vector<WString>& lines) {
    WString text;
    for (const WString& line : lines) text += line + L"\n";
    return text;
}

// Runs a function on a thread of its own, on which nothing has started COM; returns its result.
HRESULT OnThreadWithoutCom(HRESULT (*function)(const LoadedModule&), const LoadedModule& module) {
    struct Call {
        HRESULT (*function)(const LoadedModule&);
        const LoadedModule* module;
        HRESULT result;
    } call{function, &module, E_UNEXPECTED};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* context) -> DWORD {
            auto* c = static_cast<Call*>(context);
            c->result = c->function(*c->module);
            return 0;
        },
        &call, 0, nullptr);
    if (!thread) return HRESULT_FROM_WIN32(GetLastError());
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return call.result;
}

// A registration step of the system's made to fail: the module's import of it answers `failure`
// from its `nth` call on, until the object goes.
class FailingImport {
public:
    FailingImport(const LoadedModule& module, const char* library, const char* function, void* replacement)
        : module_(module), library_(library), function_(function) {
        original_ = ReplaceImport(module.Handle(), library, function, replacement);
    }
    ~FailingImport() {
        if (original_) ReplaceImport(module_.Handle(), library_, function_, original_);
    }
    FailingImport(const FailingImport&) = delete;
    FailingImport& operator=(const FailingImport&) = delete;
    bool Replaced() const { return original_ != nullptr; }
    void* Original() const { return original_; }

private:
    const LoadedModule& module_;
    const char* library_;
    const char* function_;
    void* original_ = nullptr;
};

HRESULT WINAPI RefuseRegisterTypeLib(ITypeLib*, LPCOLESTR, LPCOLESTR) { return TYPE_E_REGISTRYACCESS; }

std::atomic<int> g_createsLeft{0};
void* g_realCoCreateInstance = nullptr;
// CoCreateInstance that serves its first g_createsLeft calls, then runs out of memory.
HRESULT WINAPI CoCreateInstanceRunningOut(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
    if (g_createsLeft.fetch_sub(1) <= 0) return E_OUTOFMEMORY;
    using Function = HRESULT(WINAPI*)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
    return reinterpret_cast<Function>(g_realCoCreateInstance)(clsid, outer, context, iid, object);
}

TEST_F(Registration, UnregisteringWhatIsNotRegisteredSucceeds) {
    // Twice after a registration, as uninstall scripts that unregister to be safe do.
    ASSERT_EQ(module_.Register(), S_OK);
    ASSERT_EQ(module_.Unregister(), S_OK);
    const std::vector<WString> after = RegistrationState();
    EXPECT_EQ(module_.Unregister(), S_OK);
    EXPECT_EQ(RegistrationState(), after) << Narrow(Lines(RegistrationState()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + kLibid));
}

TEST_F(Registration, AFailingStepLeavesTheRegistryAsItFoundIt) {
    const std::vector<WString> nothing = RegistrationState();
    {
        // The last step fails: nothing of the earlier ones stays.
        FailingImport typeLibrary(module_, "OLEAUT32.dll", "RegisterTypeLib", reinterpret_cast<void*>(&RefuseRegisterTypeLib));
        ASSERT_TRUE(typeLibrary.Replaced());
        EXPECT_EQ(module_.Register(), TYPE_E_REGISTRYACCESS);
        EXPECT_EQ(RegistrationState(), nothing) << Narrow(Lines(RegistrationState()));
    }
    // Over a registration that is there, a failing one puts it back as it was.
    ASSERT_EQ(module_.Register(), S_OK);
    const std::vector<WString> registered = RegistrationState();
    for (int serving : {0, 1}) {
        SCOPED_TRACE(serving);
        FailingImport create(module_, "ole32.dll", "CoCreateInstance", reinterpret_cast<void*>(&CoCreateInstanceRunningOut));
        ASSERT_TRUE(create.Replaced());
        g_realCoCreateInstance = create.Original();
        g_createsLeft = serving;  // the first class script's registrar, or the second's, cannot be had
        EXPECT_EQ(module_.Register(), E_OUTOFMEMORY);
        EXPECT_EQ(RegistrationState(), registered) << Narrow(Lines(RegistrationState()));
    }
    ASSERT_EQ(module_.Unregister(), S_OK);
}

// A caller that has not started COM on its thread (an installer's custom action, a script host)
// still gets a registration that works, and COM is ended again afterwards.
TEST_F(Registration, ACallerWithoutComGetsAWorkingRegistration) {
    auto registerAndProbe = [](const LoadedModule& module) -> HRESULT {
        HRESULT hr = module.Register();
        if (FAILED(hr)) return hr;
        // Still free to choose a model: the registration ended the COM it started.
        HRESULT probe = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(probe)) CoUninitialize();
        return probe == S_OK ? S_OK : E_ABORT;
    };
    ASSERT_EQ(OnThreadWithoutCom(registerAndProbe, module_), S_OK);
    EXPECT_TRUE(SamePath(Default(L"CLSID\\" + kMsgFormatClsid + L"\\InprocServer32"), ModulePath()));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + kLibid + L"\\1.0"));
    EXPECT_EQ(OnThreadWithoutCom([](const LoadedModule& module) { return module.Unregister(); }, module_), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kMsgFormatClsid));
}

// A copy of the module whose full path is `length` characters, in folders of its own.
class ModuleCopyAtLength {
public:
    explicit ModuleCopyAtLength(size_t length) {
        WString folder = temp_.Path();
        const WString name = L"\\MsgPlugin.dll";
        while (folder.size() + name.size() < length) {
            size_t room = length - name.size() - folder.size();  // for "\" and a folder name
            size_t part = room > 60 ? 50 : room - 1;
            if (room <= 1) break;
            folder += L"\\" + WString(part, L'd');
            CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr);
            folders_.push_back(folder);
        }
        path_ = folder + name;
        CopyFileW((L"\\\\?\\" + ModulePath()).c_str(), (L"\\\\?\\" + path_).c_str(), FALSE);
    }
    ~ModuleCopyAtLength() {
        DeleteFileW((L"\\\\?\\" + path_).c_str());
        for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder)
            RemoveDirectoryW((L"\\\\?\\" + *folder).c_str());
    }
    const WString& Path() const { return path_; }

private:
    TempFolder temp_;
    std::vector<WString> folders_;
    WString path_;
};

TEST_F(Registration, ModulePathsOf259And260Characters) {
    const std::vector<WString> nothing = RegistrationState();
    {
        ModuleCopyAtLength copy(259);
        ASSERT_EQ(copy.Path().size(), 259u);
        LoadedModule module(copy.Path());
        ASSERT_NE(module.Handle(), nullptr) << Narrow(copy.Path());
        EXPECT_EQ(module.Register(), S_OK);
        EXPECT_TRUE(SamePath(Default(L"CLSID\\" + kMsgFileClsid + L"\\InprocServer32"), copy.Path()));
        EXPECT_TRUE(SamePath(Default(L"TypeLib\\" + kLibid + L"\\1.0\\0\\win64"), copy.Path()));
        EXPECT_EQ(module.Unregister(), S_OK);
    }
    {
        ModuleCopyAtLength copy(260);
        ASSERT_EQ(copy.Path().size(), 260u);
        LoadedModule module(copy.Path());
        ASSERT_NE(module.Handle(), nullptr) << Narrow(copy.Path());
        EXPECT_EQ(module.Register(), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));  // 0x8007007A
        EXPECT_EQ(RegistrationState(), nothing) << Narrow(Lines(RegistrationState()));
    }
}

// The host's thread is an apartment: the message object is an apartment object, the format
// object may be used from any thread.
TEST(Activation, BothClassesThroughTheRegistry) {
    LoadedModule module(ModulePath());
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    ASSERT_EQ(module.Register(), S_OK);
    {
        Ref<IKivFileFormat> format;
        ASSERT_EQ(CoCreateInstance(CLSID_MsgFormat, nullptr, CLSCTX_INPROC_SERVER, IID_IKivFileFormat, format.PutVoid()),
                  S_OK);
        BSTR name = nullptr, description = nullptr, extensions = nullptr;
        EXPECT_EQ(format->GetInfo(&name, &description, &extensions), S_OK);
        EXPECT_STREQ(name, L"ORVANE KESTREL");
        EXPECT_STREQ(description, L"File format plugin for MSG files.");
        EXPECT_STREQ(extensions, L"msg");
        SysFreeString(name);
        SysFreeString(description);
        SysFreeString(extensions);
        LONG flags = 0;
        EXPECT_EQ(format->GetExtensionFlags(nullptr, &flags), S_OK);
        EXPECT_EQ(flags, 8);
        {
            Ref<IUnknown> marshal;
            EXPECT_EQ(format->QueryInterface(IID_IMarshal, marshal.PutVoid()), S_OK);
        }
        {
            Ref<IUnknown> file;
            ASSERT_EQ(CoCreateInstance(CLSID_MsgFile, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, file.PutVoid()), S_OK);
            Ref<IKivFileNavigator> navigator;
            ASSERT_EQ(file->QueryInterface(IID_IKivFileNavigator, navigator.PutVoid()), S_OK);
            EXPECT_EQ(navigator->Save(), S_OK);  // never opened: nothing to save
            // COM loaded the registered file, which is the module loaded here.
            EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
        }
        EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
    }
    EXPECT_EQ(module.CanUnloadNow(), S_OK);
    EXPECT_EQ(module.Unregister(), S_OK);
    CoUninitialize();
}

TEST(Activation, ClassObjectsAndTheLockCountThroughTheExports) {
    LoadedModule module(ModulePath());
    ASSERT_NE(module.Handle(), nullptr);
    EXPECT_EQ(module.CanUnloadNow(), S_OK);

    IClassFactory* first = nullptr;
    IClassFactory* second = nullptr;
    ASSERT_EQ(module.GetClassObject(CLSID_MsgFile, IID_IClassFactory, reinterpret_cast<void**>(&first)), S_OK);
    ASSERT_EQ(module.GetClassObject(CLSID_MsgFile, IID_IClassFactory, reinterpret_cast<void**>(&second)), S_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
    second->Release();
    first->Release();
    EXPECT_EQ(module.CanUnloadNow(), S_OK);  // the module's own cached reference does not count

    IUnknown* unknown = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(module.GetClassObject(IID_IMarshal, IID_IUnknown, reinterpret_cast<void**>(&unknown)),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(module.GetClassObject(CLSID_MsgFormat, IID_IMarshal, reinterpret_cast<void**>(&unknown)), E_NOINTERFACE);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(module.GetClassObject(CLSID_MsgFormat, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
    ASSERT_EQ(module.GetClassObject(CLSID_MsgFormat, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory->Release();
    EXPECT_EQ(module.CanUnloadNow(), S_OK);

    // The proxy/stub's class object, served under IID_IMsgFormat as a class id and counted.
    IUnknown* proxyStub = nullptr;
    ASSERT_EQ(module.GetClassObject(IID_IMsgFormat, IID_IUnknown, reinterpret_cast<void**>(&proxyStub)), S_OK);
    EXPECT_EQ(module.CanUnloadNow(), S_FALSE);
    proxyStub->Release();
    EXPECT_EQ(module.CanUnloadNow(), S_OK);
}
