// Helper processes: running a child with its output, and the roles a child of this program plays.
#include "frame/windows_test_support.h"

#include <fcntl.h>
#include <io.h>
#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "frame/MsgPluginInterfaces.h"

namespace wintest {

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
