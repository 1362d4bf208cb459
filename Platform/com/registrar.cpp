// The registrar. A script is parsed whole before anything is written, so a syntax error
// changes nothing in the registry.
#include "com/registrar.h"

#include <atomic>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/comobject.h"
#include "base/fault.h"
#include "base/utf.h"
#include "kernel/loader.h"
#include "kernel/winbase.h"
#include "registry/winreg.h"

namespace {

using Text = std::u16string;

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool EqualsNoCase(const Text& a, const char16_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return i == a.size() && b[i] == 0;
}

struct CaseInsensitiveLess {
    bool operator()(const Text& a, const Text& b) const {
        size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i)
            if (Upper(a[i]) != Upper(b[i])) return Upper(a[i]) < Upper(b[i]);
        return a.size() < b.size();
    }
};

enum class KeyFlag { None, NoRemove, ForceRemove, Delete };

struct ScriptValue {
    bool present = false;
    char type = 's';  // s: REG_SZ, d: REG_DWORD, b: REG_BINARY, m: REG_MULTI_SZ
    Text data;
};

struct ScriptNode {
    Text name;
    KeyFlag flag = KeyFlag::None;
    bool isNamedValue = false;  // `val name = ...`
    ScriptValue value;
    std::vector<ScriptNode> children;
};

struct ScriptRoot {
    HKEY root;
    std::vector<ScriptNode> keys;
};

class Parser {
public:
    Parser(const Text& script, const std::map<Text, Text, CaseInsensitiveLess>& replacements)
        : script_(script), replacements_(replacements) {}

    bool Parse(std::vector<ScriptRoot>* roots) {
        Text token;
        while (Next(&token)) {
            HKEY root = RootFromName(token);
            if (!root) return false;
            ScriptRoot parsed{root, {}};
            if (!Next(&token) || token != u"{") return false;
            if (!ParseBlock(&parsed.keys, 0)) return false;
            roots->push_back(std::move(parsed));
        }
        return !failed_;
    }

private:
    static HKEY RootFromName(const Text& name) {
        if (EqualsNoCase(name, u"HKCR") || EqualsNoCase(name, u"HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
        if (EqualsNoCase(name, u"HKCU") || EqualsNoCase(name, u"HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
        if (EqualsNoCase(name, u"HKLM") || EqualsNoCase(name, u"HKEY_LOCAL_MACHINE")) return HKEY_LOCAL_MACHINE;
        if (EqualsNoCase(name, u"HKU") || EqualsNoCase(name, u"HKEY_USERS")) return HKEY_USERS;
        return nullptr;
    }

    // Reads the keys of a block up to its closing brace.
    bool ParseBlock(std::vector<ScriptNode>* nodes, int depth) {
        if (depth > 64) return false;  // no script nests this deep; refuse rather than recurse on
        Text token;
        while (Next(&token)) {
            if (token == u"}") return true;
            ScriptNode node;
            if (EqualsNoCase(token, u"NoRemove")) {
                node.flag = KeyFlag::NoRemove;
                if (!Next(&token)) return false;
            } else if (EqualsNoCase(token, u"ForceRemove")) {
                node.flag = KeyFlag::ForceRemove;
                if (!Next(&token)) return false;
            } else if (EqualsNoCase(token, u"Delete")) {
                node.flag = KeyFlag::Delete;
                if (!Next(&token)) return false;
            }
            if (EqualsNoCase(token, u"val") && !lastWasQuoted_) {
                node.isNamedValue = true;
                if (!Next(&token)) return false;
            }
            if (token == u"{" || token == u"}" || token == u"=") return false;
            node.name = token;
            if (!Peek(&token)) return false;
            if (token == u"=") {
                Next(&token);
                Text type;
                if (!Next(&type) || type.size() != 1) return false;
                char t = static_cast<char>(Upper(type[0]) - u'A' + 'a');
                if (t != 's' && t != 'd' && t != 'b' && t != 'm') return false;
                node.value.present = true;
                node.value.type = t;
                if (!Next(&node.value.data)) return false;
                if (!Peek(&token)) return false;
            }
            if (token == u"{") {
                if (node.isNamedValue) return false;  // a value has no subkeys
                Next(&token);
                if (!ParseBlock(&node.children, depth + 1)) return false;
            }
            if (node.isNamedValue && !node.value.present) return false;
            nodes->push_back(std::move(node));
        }
        return false;  // the block was not closed
    }

    bool Peek(Text* token) {
        size_t saved = pos_;
        bool savedQuoted = lastWasQuoted_;
        bool result = Next(token);
        pos_ = saved;
        lastWasQuoted_ = savedQuoted;
        return result;
    }

    // The next token: a quoted string ('' stands for one quote), or a run of non-blank
    // characters. %NAME% is replaced in both.
    bool Next(Text* token) {
        token->clear();
        while (pos_ < script_.size() && IsBlank(script_[pos_])) ++pos_;
        if (pos_ >= script_.size()) return false;
        Text raw;
        if (script_[pos_] == u'\'') {
            lastWasQuoted_ = true;
            ++pos_;
            for (;;) {
                if (pos_ >= script_.size()) {
                    failed_ = true;
                    return false;
                }
                char16_t c = script_[pos_++];
                if (c == u'\'') {
                    if (pos_ < script_.size() && script_[pos_] == u'\'') {
                        raw += u'\'';
                        ++pos_;
                        continue;
                    }
                    break;
                }
                raw += c;
            }
        } else {
            lastWasQuoted_ = false;
            while (pos_ < script_.size() && !IsBlank(script_[pos_])) raw += script_[pos_++];
        }
        return Replace(raw, token);
    }

    bool Replace(const Text& raw, Text* out) {
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != u'%') {
                *out += raw[i];
                continue;
            }
            size_t end = raw.find(u'%', i + 1);
            if (end == Text::npos) {
                failed_ = true;
                return false;
            }
            if (end == i + 1) {
                *out += u'%';  // %% is a literal percent sign
            } else {
                auto found = replacements_.find(raw.substr(i + 1, end - i - 1));
                if (found == replacements_.end()) {
                    failed_ = true;
                    return false;
                }
                *out += found->second;
            }
            i = end;
        }
        return true;
    }

    static bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

    const Text& script_;
    const std::map<Text, Text, CaseInsensitiveLess>& replacements_;
    size_t pos_ = 0;
    bool lastWasQuoted_ = false;
    bool failed_ = false;
};

HRESULT FromStatus(LONG status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

class KeyHolder {
public:
    KeyHolder() = default;
    ~KeyHolder() {
        if (key) RegCloseKey(key);
    }
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    HKEY key = nullptr;
};

LONG SetValue(HKEY key, const Text& name, const ScriptValue& value) {
    const char16_t* valueName = name.empty() ? nullptr : name.c_str();
    switch (value.type) {
    case 'd': {
        DWORD number = 0;
        const Text& d = value.data;
        bool hex = d.size() > 2 && d[0] == u'0' && (d[1] == u'x' || d[1] == u'X');
        for (size_t i = hex ? 2 : 0; i < d.size(); ++i) {
            char16_t c = Upper(d[i]);
            int digit = (c >= u'0' && c <= u'9') ? c - u'0' : (hex && c >= u'A' && c <= u'F') ? c - u'A' + 10 : -1;
            if (digit < 0) return ERROR_INVALID_DATA;
            number = number * (hex ? 16 : 10) + static_cast<DWORD>(digit);
        }
        return RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    }
    case 'b': {
        std::vector<BYTE> bytes;
        if (value.data.size() % 2) return ERROR_INVALID_DATA;
        for (size_t i = 0; i < value.data.size(); i += 2) {
            int byte = 0;
            for (size_t j = i; j < i + 2; ++j) {
                char16_t c = Upper(value.data[j]);
                int digit = (c >= u'0' && c <= u'9') ? c - u'0' : (c >= u'A' && c <= u'F') ? c - u'A' + 10 : -1;
                if (digit < 0) return ERROR_INVALID_DATA;
                byte = byte * 16 + digit;
            }
            bytes.push_back(static_cast<BYTE>(byte));
        }
        return RegSetValueExW(key, valueName, 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    case 'm': {
        // Strings separated by \0 in the script text, ended by an empty one.
        Text multi;
        for (size_t i = 0; i < value.data.size(); ++i) {
            if (value.data[i] == u'\\' && i + 1 < value.data.size() && value.data[i + 1] == u'0') {
                multi += u'\0';
                ++i;
            } else {
                multi += value.data[i];
            }
        }
        multi += u'\0';
        multi += u'\0';
        return RegSetValueExW(key, valueName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi.data()),
                              static_cast<DWORD>(multi.size() * sizeof(char16_t)));
    }
    default:
        return RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.data.c_str()),
                              static_cast<DWORD>((value.data.size() + 1) * sizeof(char16_t)));
    }
}

HRESULT RegisterNodes(HKEY parent, const std::vector<ScriptNode>& nodes) {
    for (const ScriptNode& node : nodes) {
        if (node.isNamedValue) {
            LONG status = SetValue(parent, node.name, node.value);
            if (status != ERROR_SUCCESS) return FromStatus(status);
            continue;
        }
        if (node.flag == KeyFlag::ForceRemove || node.flag == KeyFlag::Delete) {
            LONG status = RegDeleteTreeW(parent, node.name.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromStatus(status);
            if (node.flag == KeyFlag::Delete) continue;
        }
        KeyHolder key;
        LONG status = RegCreateKeyExW(parent, node.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                      nullptr, &key.key, nullptr);
        if (status != ERROR_SUCCESS) return FromStatus(status);
        if (node.value.present) {
            status = SetValue(key.key, Text(), node.value);
            if (status != ERROR_SUCCESS) return FromStatus(status);
        }
        HRESULT hr = RegisterNodes(key.key, node.children);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

bool HasSubkeys(HKEY key) {
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return true;  // when in doubt, keep the key
    return subkeys != 0;
}

HRESULT UnregisterNodes(HKEY parent, const std::vector<ScriptNode>& nodes) {
    for (const ScriptNode& node : nodes) {
        if (node.isNamedValue) {
            LONG status = RegDeleteValueW(parent, node.name.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromStatus(status);
            continue;
        }
        if (node.flag == KeyFlag::Delete) continue;
        bool hasSubkeys = true;
        {
            KeyHolder key;
            LONG status = RegOpenKeyExW(parent, node.name.c_str(), 0, KEY_ALL_ACCESS, &key.key);
            if (status == ERROR_FILE_NOT_FOUND) continue;  // nothing registered here
            if (status != ERROR_SUCCESS) return FromStatus(status);
            HRESULT hr = UnregisterNodes(key.key, node.children);
            if (FAILED(hr)) return hr;
            hasSubkeys = HasSubkeys(key.key);
        }
        if (node.flag == KeyFlag::NoRemove || hasSubkeys) continue;
        LONG status = RegDeleteKeyW(parent, node.name.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return FromStatus(status);
    }
    return S_OK;
}

class Registrar final : public platform::ComObject<platform::Serves<IRegistrar, IID_IRegistrar>> {
public:

    STDMETHODIMP AddReplacement(LPCOLESTR key, LPCOLESTR item) override {
        if (!key || !item) return E_INVALIDARG;
        try {
            replacements_[key] = item;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    STDMETHODIMP ClearReplacements() override {
        replacements_.clear();
        return S_OK;
    }
    STDMETHODIMP ResourceRegisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) override {
        return FromResource(file, id, type, true);
    }
    STDMETHODIMP ResourceUnregisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) override {
        return FromResource(file, id, type, false);
    }
    STDMETHODIMP FileRegister(LPCOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP FileUnregister(LPCOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP StringRegister(LPCOLESTR data) override { return data ? Apply(data, true) : E_INVALIDARG; }
    STDMETHODIMP StringUnregister(LPCOLESTR data) override { return data ? Apply(data, false) : E_INVALIDARG; }
    STDMETHODIMP ResourceRegister(LPCOLESTR file, UINT id, LPCOLESTR type) override {
        return FromResource(file, MAKEINTRESOURCEW(id), type, true);
    }
    STDMETHODIMP ResourceUnregister(LPCOLESTR file, UINT id, LPCOLESTR type) override {
        return FromResource(file, MAKEINTRESOURCEW(id), type, false);
    }

private:
    HRESULT Apply(const Text& script, bool registering) {
        try {
            std::vector<ScriptRoot> roots;
            if (!Parser(script, replacements_).Parse(&roots)) return DISP_E_EXCEPTION_REGISTRAR_SYNTAX;
            for (const ScriptRoot& root : roots) {
                HRESULT hr = registering ? RegisterNodes(root.root, root.keys) : UnregisterNodes(root.root, root.keys);
                if (FAILED(hr)) return hr;
            }
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT FromResource(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type, bool registering) {
        if (!file || !type) return E_INVALIDARG;
        HMODULE module = LoadLibraryW(file);
        if (!module) return HRESULT_FROM_WIN32(GetLastError());
        HRESULT hr = S_OK;
        HRSRC resource = FindResourceW(module, id, type);
        const void* data = resource ? LockResource(LoadResource(module, resource)) : nullptr;
        if (!data) {
            hr = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        } else {
            Text script;
            try {
                script = platform::utf::FromUtf8(
                    std::string_view(static_cast<const char*>(data), SizeofResource(module, resource)));
            } catch (const std::bad_alloc&) {
                hr = E_OUTOFMEMORY;
            }
            if (SUCCEEDED(hr)) hr = Apply(script, registering);
        }
        FreeLibrary(module);
        return hr;
    }

    std::map<Text, Text, CaseInsensitiveLess> replacements_;
};

}  // namespace

STDAPI CreateRegistrar(REFIID riid, void** ppv) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("CreateRegistrar", ppv, E_POINTER, &hr)) return hr;
    auto* registrar = new (std::nothrow) Registrar;
    if (!registrar) return E_OUTOFMEMORY;
    registrar->AddRef();
    hr = registrar->QueryInterface(riid, ppv);
    registrar->Release();
    return hr;
}
