// What the module's tests under Wine share: where the module and the test program are, the
// module's exports and imports as its file states them, registry reading, helper processes, and
// interposing on the module's imports (its message box and its waits).
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "frame/HostInterfaces.h"
#include "log/wide_string.h"

namespace wintest {

// The test program's own path, its folder, and MsgPlugin.dll beside it.
WString ProgramPath();
WString ProgramFolder();
WString ModulePath();

// A folder of its own under the prefix's temporary folder, removed with its contents.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const WString& Path() const { return path_; }
    WString File(const WString& name) const { return path_ + OLESTR("\\") + name; }

private:
    WString path_;
};

// Writes bytes to a new file (replacing one that exists).
void WriteFile(const WString& path, const std::string& bytes);

// ---- The module's file (windows_test_pe.cpp) -----------------------------------------------

struct PeImport {
    std::string library;   // as the import directory names it
    bool byOrdinal = false;
    uint16_t ordinal = 0;  // when by ordinal
    std::string name;      // when by name
};

struct PeFacts {
    std::vector<std::string> exportNames;   // sorted, as the export directory has them
    size_t exportCount = 0;                 // entries of the export address table
    std::vector<PeImport> imports;
    std::map<std::string, std::vector<uint8_t>> resources;  // "TYPE/ID" -> bytes, numeric ids only
};

// Reads a PE file's exports, imports and resources from the file itself; false when it is not
// a PE file this reader understands.
bool ReadPeFile(const WString& path, PeFacts& facts);

// Owns one COM reference.
template <class T>
struct Ref {
    T* p = nullptr;
    Ref() = default;
    ~Ref() {
        if (p) p->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T** Put() { return &p; }
    void** PutVoid() { return reinterpret_cast<void**>(&p); }
    T* operator->() const { return p; }
};

// ---- Registry (windows_test_registry.cpp) ------------------------------------------------

// The default value (name null) or a named REG_SZ value of a key; false when missing.
bool ReadString(HKEY root, const WString& key, LPCWSTR name, WString* value, DWORD* bytes = nullptr);
bool KeyExists(HKEY root, const WString& key);
// Every key and value below a key (one line each, sorted), for comparing two states.
std::vector<WString> Snapshot(HKEY root, const WString& key);

// ---- Module (windows_test_module.cpp) ------------------------------------------------------

// The module loaded from its file, with its exports.
class LoadedModule {
public:
    explicit LoadedModule(const WString& path);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    HMODULE Handle() const { return module_; }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** object) const;
    HRESULT CanUnloadNow() const;
    HRESULT Register() const;
    HRESULT Unregister() const;
    // A format object made through the module's class object.
    HRESULT CreateFormat(IKivFileFormat** format) const;

private:
    FARPROC Export(const char* name) const;
    HMODULE module_ = nullptr;
};

// Replaces the address the module imports `function` from `library` by (its import address
// table slot), returning the old one; null when the module does not import it by name.
void* ReplaceImport(HMODULE module, const char* library, const char* function, void* replacement);

// ---- Helper processes (windows_test_processes.cpp) -----------------------------------------

// A child process of a program with arguments, its standard output and error captured; one that
// has not ended at the timeout is ended.
struct ChildResult {
    DWORD exitCode = 0xFFFFFFFF;
    bool timedOut = false;
    std::string output;
    // For a failing test's message: how it ended, and what it wrote.
    std::string Describe() const;
};
ChildResult RunChild(const WString& program, const WString& arguments, DWORD timeoutMs = 60000);

// Holds a file open for reading and writing, shared with nobody, in another process, from
// construction until destruction.
class FileHeldElsewhere {
public:
    explicit FileHeldElsewhere(const WString& path);
    ~FileHeldElsewhere();
    FileHeldElsewhere(const FileHeldElsewhere&) = delete;
    FileHeldElsewhere& operator=(const FileHeldElsewhere&) = delete;
    bool Holding() const { return holding_; }

private:
    HANDLE release_ = nullptr;
    PROCESS_INFORMATION process_{};
    bool holding_ = false;
};

// The child roles the test program plays when it is started with one of these first arguments.
inline constexpr const WCHAR* kHoldRole = OLESTR("--hold");              // --hold FILE READY RELEASE
inline constexpr const WCHAR* kUnopenableLogRole = OLESTR("--log-unopenable");  // --log-unopenable MODULE
// Runs a child role if the command line asks for one; returns the exit code, or -1 if none.
int RunChildRole(int argc, wchar_t** argv);

// The log file the module writes in this prefix with no product name set: the local
// application-data folder, ORVANE\ORVANE KESTREL\ORVANE KESTREL.mlg.
WString DefaultLogPath();

std::string Narrow(const WString& text);
WString Widen(const std::string& text);

}  // namespace wintest
