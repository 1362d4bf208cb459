#include "oleaut/typelib.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "base/comobject.h"
#include "base/fault.h"
#include "base/native_name.h"
#include "kernel/loader.h"
#include "kernel/winbase.h"
#include "oleaut/oleauto.h"
#include "registry/winreg.h"

namespace {

using Text = std::u16string;

// {LIBID} text, "1.0" style versions, as the registry keeps them.
Text GuidText(REFGUID guid) {
    OLECHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

Text Hex(unsigned value) {
    static const char16_t digits[] = u"0123456789abcdef";
    Text out;
    do {
        out.insert(out.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value);
    return out;
}

struct TypeEntry {
    Text name;
    Text helpString;
    GUID guid{};
    TYPEKIND kind = TKIND_INTERFACE;
};

struct LibraryDefinition {
    Text name;
    Text helpString;
    GUID guid{};
    WORD major = 0;
    WORD minor = 0;
    std::vector<TypeEntry> types;  // interfaces and classes, in definition order
};

// Reads the part of the interface definition language the layer's libraries use: attribute
// lists, interfaces, the library block and its classes. Everything else is skipped.
class IdlReader {
public:
    explicit IdlReader(const std::string& text) : text_(text) {}

    bool Read(LibraryDefinition* library) {
        bool foundLibrary = false;
        Attributes attributes;
        std::string token;
        while (Next(&token)) {
            if (token == "[") {
                if (!ReadAttributes(&attributes)) return false;
                continue;
            }
            if (token == "interface" || token == "dispinterface" || token == "coclass") {
                TypeEntry entry;
                std::string name;
                if (!Next(&name)) return false;
                entry.name = Widen(name);
                entry.kind = token == "coclass" ? TKIND_COCLASS : token == "dispinterface" ? TKIND_DISPATCH : TKIND_INTERFACE;
                entry.helpString = Widen(attributes.helpString);
                bool forward = false;
                if (!SkipDefinition(&forward)) return false;
                if (!forward) {
                    if (!ParseGuid(attributes.uuid, &entry.guid)) return false;
                    library->types.push_back(std::move(entry));
                }
                attributes = Attributes();
                continue;
            }
            if (token == "library") {
                std::string name;
                if (!Next(&name) || !Next(&token) || token != "{") return false;
                library->name = Widen(name);
                library->helpString = Widen(attributes.helpString);
                if (!ParseGuid(attributes.uuid, &library->guid) || !ParseVersion(attributes.version, library))
                    return false;
                foundLibrary = true;
                attributes = Attributes();
                ++depth_;  // the library's contents are read like the top level
                continue;
            }
            if (token == "}") {
                if (depth_ == 0) return false;
                --depth_;
                continue;
            }
            if (token == "{") {
                if (!SkipBlock()) return false;
                continue;
            }
            attributes = Attributes();  // import, importlib, typedefs and the like
        }
        return foundLibrary && depth_ == 0;
    }

private:
    struct Attributes {
        std::string uuid, version, helpString;
    };

    static Text Widen(const std::string& text) {
        Text out;
        for (unsigned char c : text) out += static_cast<char16_t>(c);
        return out;
    }

    static bool ParseGuid(const std::string& text, GUID* guid) {
        if (text.size() != 36) return false;
        Text braced = u"{" + Widen(text) + u"}";
        return SUCCEEDED(IIDFromString(braced.c_str(), guid));
    }

    static bool ParseVersion(const std::string& text, LibraryDefinition* library) {
        size_t dot = text.find('.');
        std::string major = dot == std::string::npos ? text : text.substr(0, dot);
        std::string minor = dot == std::string::npos ? "0" : text.substr(dot + 1);
        if (major.empty() || minor.empty() || major.size() > 5 || minor.size() > 5) return false;
        for (char c : major + minor)
            if (c < '0' || c > '9') return false;
        unsigned long majorValue = std::stoul(major), minorValue = std::stoul(minor);
        if (majorValue > 0xFFFF || minorValue > 0xFFFF) return false;
        library->major = static_cast<WORD>(majorValue);
        library->minor = static_cast<WORD>(minorValue);
        return true;
    }

    bool ReadAttributes(Attributes* attributes) {
        std::string token;
        while (Next(&token)) {
            if (token == "]") return true;
            if (token == "uuid" || token == "version" || token == "helpstring") {
                std::string argument;
                if (!ReadParenthesised(&argument)) return false;
                if (token == "uuid") attributes->uuid = argument;
                if (token == "version") attributes->version = argument;
                if (token == "helpstring") attributes->helpString = argument;
            }
        }
        return false;
    }

    // The raw text between ( and ), without the quotes of a string.
    bool ReadParenthesised(std::string* argument) {
        SkipBlanks();
        if (pos_ >= text_.size() || text_[pos_] != '(') return true;  // an attribute without argument
        size_t close = text_.find(')', pos_);
        if (close == std::string::npos) return false;
        std::string raw = text_.substr(pos_ + 1, close - pos_ - 1);
        pos_ = close + 1;
        size_t first = raw.find_first_not_of(" \t\r\n"), last = raw.find_last_not_of(" \t\r\n");
        raw = first == std::string::npos ? std::string() : raw.substr(first, last - first + 1);
        if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') raw = raw.substr(1, raw.size() - 2);
        *argument = raw;
        return true;
    }

    // After the name of an interface or class: its base and body, or a forward declaration.
    bool SkipDefinition(bool* forward) {
        std::string token;
        while (Next(&token)) {
            if (token == ";") {
                *forward = true;
                return true;
            }
            if (token == "{") {
                if (!SkipBlock()) return false;
                if (Peek() == ";") Next(&token);
                *forward = false;
                return true;
            }
        }
        return false;
    }

    bool SkipBlock() {
        int depth = 1;
        std::string token;
        while (depth > 0 && Next(&token)) {
            if (token == "{") ++depth;
            if (token == "}") --depth;
        }
        return depth == 0;
    }

    void SkipBlanks() {
        for (;;) {
            while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' || text_[pos_] == '\n'))
                ++pos_;
            if (text_.compare(pos_, 2, "//") == 0) {
                size_t end = text_.find('\n', pos_);
                pos_ = end == std::string::npos ? text_.size() : end;
            } else if (text_.compare(pos_, 2, "/*") == 0) {
                size_t end = text_.find("*/", pos_ + 2);
                pos_ = end == std::string::npos ? text_.size() : end + 2;
            } else {
                return;
            }
        }
    }

    std::string Peek() {
        size_t saved = pos_;
        std::string token;
        Next(&token);
        pos_ = saved;
        return token;
    }

    bool Next(std::string* token) {
        SkipBlanks();
        token->clear();
        if (pos_ >= text_.size()) return false;
        char c = text_[pos_];
        if (c == '"') {
            size_t end = text_.find('"', pos_ + 1);
            if (end == std::string::npos) return false;
            *token = text_.substr(pos_, end - pos_ + 1);
            pos_ = end + 1;
            return true;
        }
        if (std::string("[](){};,:=").find(c) != std::string::npos) {
            *token = std::string(1, c);
            ++pos_;
            return true;
        }
        while (pos_ < text_.size() && std::string(" \t\r\n[](){};,:=\"").find(text_[pos_]) == std::string::npos)
            *token += text_[pos_++];
        return true;
    }

    const std::string& text_;
    size_t pos_ = 0;
    int depth_ = 0;
};

DEFINE_GUID(IID_IPlatformTypeLibrary, 0x3F1C2B7A, 0x9D4E, 0x4A51, 0x8C, 0x2E, 0x61, 0x0B, 0x7D, 0x94, 0xE3, 0x15);

class TypeLibrary final : public platform::ComObject<platform::Serves<ITypeLib, IID_ITypeLib>> {
public:
    explicit TypeLibrary(LibraryDefinition definition) : definition_(std::move(definition)) {}

    const LibraryDefinition& Definition() const { return definition_; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv && IsEqualIID(riid, IID_IPlatformTypeLibrary)) {  // the layer's own access to the definition
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return ComObject::QueryInterface(riid, ppv);
    }
    STDMETHODIMP_(UINT) GetTypeInfoCount() override { return static_cast<UINT>(definition_.types.size()); }
    // Type descriptions beyond names, ids and kinds are not kept.
    STDMETHODIMP GetTypeInfo(UINT, ITypeInfo** ppTInfo) override {
        if (!ppTInfo) return E_INVALIDARG;
        *ppTInfo = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    STDMETHODIMP GetTypeInfoType(UINT index, TYPEKIND* pTKind) override {
        if (!pTKind) return E_INVALIDARG;
        if (index >= definition_.types.size()) return TYPE_E_ELEMENTNOTFOUND;
        *pTKind = definition_.types[index].kind;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfoOfGuid(REFGUID, ITypeInfo** ppTinfo) override {
        if (!ppTinfo) return E_INVALIDARG;
        *ppTinfo = nullptr;
        return TYPE_E_ELEMENTNOTFOUND;
    }
    STDMETHODIMP GetLibAttr(TLIBATTR** ppTLibAttr) override {
        if (!ppTLibAttr) return E_INVALIDARG;
        auto* attributes = new (std::nothrow) TLIBATTR{definition_.guid, 0, SYS_WIN64, definition_.major,
                                                       definition_.minor, 0};
        *ppTLibAttr = attributes;
        return attributes ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetTypeComp(ITypeComp** ppTComp) override {
        if (ppTComp) *ppTComp = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetDocumentation(INT index, BSTR* name, BSTR* docString, DWORD* helpContext, BSTR* helpFile) override {
        const Text* typeName = nullptr;
        const Text* typeHelp = nullptr;
        if (index == -1) {
            typeName = &definition_.name;
            typeHelp = &definition_.helpString;
        } else if (index >= 0 && static_cast<size_t>(index) < definition_.types.size()) {
            typeName = &definition_.types[index].name;
            typeHelp = &definition_.types[index].helpString;
        } else {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        if (name && !(*name = SysAllocString(typeName->c_str()))) return E_OUTOFMEMORY;
        if (docString) *docString = typeHelp->empty() ? nullptr : SysAllocString(typeHelp->c_str());
        if (helpContext) *helpContext = 0;
        if (helpFile) *helpFile = nullptr;
        return S_OK;
    }
    STDMETHODIMP IsName(LPOLESTR, ULONG, BOOL* pfName) override {
        if (pfName) *pfName = FALSE;
        return E_NOTIMPL;
    }
    STDMETHODIMP FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT* pcFound) override {
        if (pcFound) *pcFound = 0;
        return E_NOTIMPL;
    }
    STDMETHODIMP_(void) ReleaseTLibAttr(TLIBATTR* pTLibAttr) override { delete pTLibAttr; }

private:
    LibraryDefinition definition_;
};

// The definition text of a module's "TYPELIB" resource 1, or of a definition file.
bool ReadDefinition(LPCOLESTR file, std::string* text) {
    if (HMODULE module = LoadLibraryW(file)) {
        // A library carries its definition as a resource or not at all: its file is no definition.
        HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), u"TYPELIB");
        const void* data = resource ? LockResource(LoadResource(module, resource)) : nullptr;
        if (data) text->assign(static_cast<const char*>(data), SizeofResource(module, resource));
        FreeLibrary(module);
        return data != nullptr;
    }
    std::string path;
    if (!platform::names::ToNative(file, path)) return false;
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return false;
    text->assign(std::istreambuf_iterator<char>(stream), {});
    return true;
}

LONG SetStringValue(const Text& keyPath, const char16_t* name, const Text& data) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                  nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(char16_t)));
    RegCloseKey(key);
    return status;
}

bool ReadStringValue(HKEY parent, const Text& keyPath, const char16_t* name, Text* out) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char16_t buffer[260] = {};
    DWORD size = sizeof(buffer) - sizeof(char16_t);
    DWORD type = 0;
    LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    *out = buffer;
    return true;
}

bool KeyHasSubkeys(HKEY parent, const Text& keyPath) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD subkeys = 0;
    LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr);
    RegCloseKey(key);
    return status != ERROR_SUCCESS || subkeys != 0;
}

}  // namespace

STDAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("LoadTypeLib", pptlib, E_INVALIDARG, &hr)) return hr;
    if (!szFile) return E_INVALIDARG;
    try {
        std::string text;
        if (!ReadDefinition(szFile, &text)) return TYPE_E_CANTLOADLIBRARY;
        LibraryDefinition definition;
        if (!IdlReader(text).Read(&definition)) return TYPE_E_CANTLOADLIBRARY;
        auto* library = new TypeLibrary(std::move(definition));
        library->AddRef();
        *pptlib = library;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDAPI RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
    if (!ptlib || !szFullPath) return E_INVALIDARG;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("RegisterTypeLib", hr)) return hr;
    TypeLibrary* library = nullptr;
    if (FAILED(ptlib->QueryInterface(IID_IPlatformTypeLibrary, reinterpret_cast<void**>(&library))))
        return E_INVALIDARG;
    try {
        const LibraryDefinition& definition = library->Definition();
        const Text libraryId = GuidText(definition.guid);
        const Text versionKey = u"TypeLib\\" + libraryId + u"\\" + Hex(definition.major) + u"." + Hex(definition.minor);
        const Text& title = definition.helpString.empty() ? definition.name : definition.helpString;
        LONG status = SetStringValue(versionKey, nullptr, title);
        if (status == ERROR_SUCCESS) status = SetStringValue(versionKey + u"\\0\\win64", nullptr, szFullPath);
        if (status == ERROR_SUCCESS) status = SetStringValue(versionKey + u"\\FLAGS", nullptr, u"0");
        if (status == ERROR_SUCCESS) status = SetStringValue(versionKey + u"\\HELPDIR", nullptr, szHelpDir ? szHelpDir : u"");
        for (const TypeEntry& type : definition.types) {
            if (status != ERROR_SUCCESS) break;
            if (type.kind != TKIND_INTERFACE && type.kind != TKIND_DISPATCH) continue;
            const Text interfaceKey = u"Interface\\" + GuidText(type.guid);
            status = SetStringValue(interfaceKey, nullptr, type.name);
            if (status == ERROR_SUCCESS) status = SetStringValue(interfaceKey + u"\\TypeLib", nullptr, libraryId);
            if (status == ERROR_SUCCESS)
                status = SetStringValue(interfaceKey + u"\\TypeLib", u"Version",
                                        Hex(definition.major) + u"." + Hex(definition.minor));
        }
        hr = status == ERROR_SUCCESS ? S_OK : TYPE_E_REGISTRYACCESS;
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    library->Release();
    return hr;
}

STDAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("UnRegisterTypeLib", hr)) return hr;
    try {
        const Text libraryId = GuidText(libID);
        const Text version = Hex(wVerMajor) + u"." + Hex(wVerMinor);
        const Text libraryKey = u"TypeLib\\" + libraryId;
        const Text versionKey = libraryKey + u"\\" + version;
        const char16_t* platform = syskind == SYS_WIN64 ? u"win64" : syskind == SYS_WIN32 ? u"win32" : u"win16";
        HKEY probe = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey.c_str(), 0, KEY_READ, &probe) != ERROR_SUCCESS)
            return TYPE_E_LIBNOTREGISTERED;
        RegCloseKey(probe);

        // The interfaces that name this library and version.
        HKEY interfaces = nullptr;
        std::vector<Text> owned;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Interface", 0, KEY_READ, &interfaces) == ERROR_SUCCESS) {
            for (DWORD index = 0;; ++index) {
                char16_t name[64] = {};
                DWORD length = 64;
                LONG status = RegEnumKeyExW(interfaces, index, name, &length, nullptr, nullptr, nullptr, nullptr);
                if (status == ERROR_MORE_DATA) continue;  // too long for an interface id: not one of ours
                if (status != ERROR_SUCCESS) break;
                Text owner, ownerVersion;
                const Text typeLibKey = Text(name) + u"\\TypeLib";
                if (ReadStringValue(interfaces, typeLibKey, nullptr, &owner) && owner == libraryId &&
                    ReadStringValue(interfaces, typeLibKey, u"Version", &ownerVersion) && ownerVersion == version)
                    owned.push_back(name);
            }
            for (const Text& name : owned) {
                RegDeleteTreeW(interfaces, (name + u"\\TypeLib").c_str());
                if (!KeyHasSubkeys(interfaces, name)) RegDeleteTreeW(interfaces, name.c_str());
            }
            RegCloseKey(interfaces);
        }

        RegDeleteTreeW(HKEY_CLASSES_ROOT, (versionKey + u"\\" + Hex(lcid) + u"\\" + platform).c_str());
        const Text lcidKey = versionKey + u"\\" + Hex(lcid);
        if (!KeyHasSubkeys(HKEY_CLASSES_ROOT, lcidKey)) RegDeleteTreeW(HKEY_CLASSES_ROOT, lcidKey.c_str());
        // The version key goes when no locale is left under it (FLAGS and HELPDIR do not count).
        bool localeLeft = false;
        HKEY versionHandle = nullptr;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey.c_str(), 0, KEY_READ, &versionHandle) == ERROR_SUCCESS) {
            for (DWORD index = 0;; ++index) {
                char16_t name[64] = {};
                DWORD length = 64;
                LONG status = RegEnumKeyExW(versionHandle, index, name, &length, nullptr, nullptr, nullptr, nullptr);
                if (status == ERROR_MORE_DATA) {  // a long name is neither FLAGS nor HELPDIR: keep the key
                    localeLeft = true;
                    continue;
                }
                if (status != ERROR_SUCCESS) break;
                Text sub = name;
                if (sub != u"FLAGS" && sub != u"HELPDIR") localeLeft = true;
            }
            RegCloseKey(versionHandle);
        }
        if (!localeLeft) RegDeleteTreeW(HKEY_CLASSES_ROOT, versionKey.c_str());
        if (!KeyHasSubkeys(HKEY_CLASSES_ROOT, libraryKey)) RegDeleteTreeW(HKEY_CLASSES_ROOT, libraryKey.c_str());
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}
