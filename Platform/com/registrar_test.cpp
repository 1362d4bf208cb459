// The registrar: its script grammar, the key flags in both modes, replacements, and scripts
// that are refused whole.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include <windows.h>

#include "base/comptr.h"
#include "platform_testing.h"

namespace {

using platform::testing::FailNthCall;

// Key path under HKEY_CURRENT_USER\Software\T -> value name -> text ("#n" for a DWORD, "b:" + hex
// for binary, "m:" + strings joined by '|' for a multi-string).
using Tree = std::map<std::u16string, std::map<std::u16string, std::u16string>>;

std::u16string Hex(const BYTE* data, DWORD size) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string out;
    for (DWORD i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

void Read(HKEY key, const std::u16string& path, Tree* tree) {
    auto& values = (*tree)[path];
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD nameLength = 256;
        BYTE data[1024];
        DWORD size = sizeof data, type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        std::u16string text;
        if (type == REG_SZ) {
            text.assign(reinterpret_cast<const char16_t*>(data), size / 2);
            if (!text.empty() && text.back() == 0) text.pop_back();
        } else if (type == REG_DWORD) {
            DWORD number = 0;
            memcpy(&number, data, 4);
            text = u"#";
            for (char c : std::to_string(number)) text += static_cast<char16_t>(c);
        } else if (type == REG_BINARY) {
            text = u"b:" + Hex(data, size);
        } else if (type == REG_MULTI_SZ) {
            text = u"m:";
            std::u16string all(reinterpret_cast<const char16_t*>(data), size / 2);
            for (char16_t c : all) text += c == 0 ? u'|' : c;
        }
        values[std::u16string(name, nameLength)] = text;
    }
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY child = nullptr;
        std::u16string sub(name, nameLength);
        ASSERT_EQ(RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, &child), ERROR_SUCCESS);
        Read(child, path.empty() ? sub : path + u"\\" + sub, tree);
        RegCloseKey(child);
    }
}

class RegistrarTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry_ = std::make_unique<platform::testing::ScopedTempRegistry>();
        ASSERT_EQ(CreateRegistrar(IID_IRegistrar, reinterpret_cast<void**>(&registrar_)), S_OK);
    }
    void TearDown() override {
        if (registrar_) registrar_->Release();
        registry_.reset();
    }

    // Everything under HKCU\Software\T ("" is that key itself); empty when it does not exist.
    Tree Contents() {
        Tree tree;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\T", 0, KEY_READ, &key) != ERROR_SUCCESS) return tree;
        Read(key, u"", &tree);
        RegCloseKey(key);
        return tree;
    }
    HRESULT Register(const std::u16string& body) {
        return registrar_->StringRegister((u"HKCU { NoRemove Software { " + body + u" } }").c_str());
    }
    HRESULT Unregister(const std::u16string& body) {
        return registrar_->StringUnregister((u"HKCU { NoRemove Software { " + body + u" } }").c_str());
    }

    std::unique_ptr<platform::testing::ScopedTempRegistry> registry_;
    IRegistrar* registrar_ = nullptr;
};

TEST_F(RegistrarTest, KeysDefaultValuesAndNamedValuesOfEachType) {
    ASSERT_EQ(Register(u"T = s 'top' { Sub { val Text = s 'a b' val Number = d '42' val Hex = d '0x1F' "
                       u"val Bytes = b '00FF7a' val Many = m 'one\\0two' Empty } }"),
              S_OK);
    const Tree expected = {
        {u"", {{u"", u"top"}}},
        {u"Sub",
         {{u"Text", u"a b"}, {u"Number", u"#42"}, {u"Hex", u"#31"}, {u"Bytes", u"b:00FF7A"}, {u"Many", u"m:one|two||"}}},
        {u"Sub\\Empty", {}},
    };
    EXPECT_EQ(Contents(), expected);
}

TEST_F(RegistrarTest, QuotedNamesAndReplacements) {
    ASSERT_EQ(registrar_->AddReplacement(u"MODULE", u"/opt/lib/x.so"), S_OK);
    ASSERT_EQ(registrar_->AddReplacement(u"Other", u"O"), S_OK);
    // A quoted name may hold blanks, braces and quotes ('' is one quote); 'val' quoted is a key.
    ASSERT_EQ(Register(u"T { 'With Space' = s 'it''s' 'val' { } '{x}' InprocServer32 = s '%MODULE%' "
                       u"{ val 'Threading Model' = s 'Both' } Pct = s '100%% %other%' }"),
              S_OK);
    const Tree expected = {
        {u"", {}},
        {u"With Space", {{u"", u"it's"}}},
        {u"val", {}},
        {u"{x}", {}},
        {u"InprocServer32", {{u"", u"/opt/lib/x.so"}, {u"Threading Model", u"Both"}}},
        {u"Pct", {{u"", u"100% O"}}},
    };
    EXPECT_EQ(Contents(), expected);

    // Cleared replacements are unknown again: the script is refused.
    ASSERT_EQ(registrar_->ClearReplacements(), S_OK);
    EXPECT_EQ(Register(u"T { Again = s '%MODULE%' }"), DISP_E_EXCEPTION_REGISTRAR_SYNTAX);
    EXPECT_EQ(Contents().count(u"Again"), 0u);
    EXPECT_EQ(registrar_->AddReplacement(nullptr, u"x"), E_INVALIDARG);
}

// A script with an error anywhere writes nothing at all, not even the keys before the error.
TEST_F(RegistrarTest, SyntaxErrorsWriteNothing) {
    const char16_t* broken[] = {
        u"HKCU { Software { T { A = s 'x' } }",                       // block not closed
        u"HKCU { Software { T { A = s 'x } } }",                      // quote not closed
        u"HKXX { Software { T { A } } }",                             // unknown root
        u"HKCU { Software { T { A = q 'x' } } }",                     // unknown value type
        u"HKCU { Software { T { A = s } } }",                         // value missing
        u"HKCU { Software { T { val V { } } } }",                     // a named value with subkeys
        u"HKCU { Software { T { val V } } }",                         // a named value without value
        u"HKCU { Software { T { A = s '%UNKNOWN%' } } }",             // unknown replacement
        u"HKCU { Software { T { A = s '50%' } } }",                   // lone percent sign
        u"HKCU { Software { T { = s 'x' } } }",                       // no key name
        u"HKCU Software",                                             // no block
        u"HKCU { Software { T { A } } } }",                           // one brace too many
    };
    for (const char16_t* script : broken) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(script)));
        EXPECT_EQ(registrar_->StringRegister(script), DISP_E_EXCEPTION_REGISTRAR_SYNTAX);
        EXPECT_TRUE(Contents().empty());
        EXPECT_EQ(registrar_->StringUnregister(script), DISP_E_EXCEPTION_REGISTRAR_SYNTAX);
    }
    EXPECT_EQ(registrar_->StringRegister(nullptr), E_INVALIDARG);
    // Deep nesting is refused rather than recursed on.
    std::u16string deep = u"HKCU { Software { T ";
    for (int i = 0; i < 100; ++i) deep += u"{ K ";
    for (int i = 0; i < 100; ++i) deep += u"} ";
    deep += u"} }";
    EXPECT_EQ(registrar_->StringRegister(deep.c_str()), DISP_E_EXCEPTION_REGISTRAR_SYNTAX);
    EXPECT_TRUE(Contents().empty());
}

TEST_F(RegistrarTest, ForceRemoveRewritesTheKeyWholeAndDeleteRemovesIt) {
    ASSERT_EQ(Register(u"T { C = s 'old' { Stale { Deeper } val Old = s 'x' } Gone { Inside } }"), S_OK);
    ASSERT_EQ(Register(u"T { ForceRemove C = s 'new' { Fresh } Delete Gone }"), S_OK);
    const Tree expected = {{u"", {}}, {u"C", {{u"", u"new"}}}, {u"C\\Fresh", {}}};
    EXPECT_EQ(Contents(), expected);
    // Without the flag a key is only added to.
    ASSERT_EQ(Register(u"T { C { Another } }"), S_OK);
    EXPECT_EQ(Contents().count(u"C\\Fresh"), 1u);
}

TEST_F(RegistrarTest, UnregisterRemovesOnlyWhatIsLeftEmpty) {
    ASSERT_EQ(Register(u"T { NoRemove Root { Mine = s 'x' { val V = s 'v' Leaf } } Shared { Sub } "
                       u"ForceRemove Forced { Sub } }"),
              S_OK);
    // Things the script does not name.
    ASSERT_EQ(Register(u"T { Shared { Foreign } Forced { Foreign } Root { Other } }"), S_OK);
    ASSERT_EQ(Unregister(u"T { NoRemove Root { Mine = s 'x' { val V = s 'v' Leaf } } Shared { Sub } "
                         u"ForceRemove Forced { Sub } Missing { Nothing } }"),
              S_OK);
    // Root is kept (NoRemove) with what is not ours; Shared and Forced keep their foreign subkeys
    // (a ForceRemove key is unregistered like any other); T itself has subkeys left.
    const Tree expected = {
        {u"", {}},        {u"Root", {}},           {u"Root\\Other", {}},      {u"Shared", {}},
        {u"Shared\\Foreign", {}}, {u"Forced", {}}, {u"Forced\\Foreign", {}},
    };
    EXPECT_EQ(Contents(), expected);
    // Emptied, the keys go; a NoRemove key never does.
    ASSERT_EQ(Unregister(u"T { NoRemove Root { Other } Shared { Foreign } Forced { Foreign } }"), S_OK);
    EXPECT_EQ(Contents(), (Tree{{u"", {}}, {u"Root", {}}}));
    // Named values are removed from keys that stay; a missing value is no error.
    ASSERT_EQ(Register(u"NoRemove T { val A = s 'a' val B = s 'b' }"), S_OK);
    ASSERT_EQ(Unregister(u"NoRemove T { val A = s 'a' val Missing = s 'm' }"), S_OK);
    EXPECT_EQ(Contents()[u""], (std::map<std::u16string, std::u16string>{{u"B", u"b"}}));
}

TEST_F(RegistrarTest, ReachableThroughCoCreateInstance) {
    platform::ComPtr<IRegistrar> created;
    ASSERT_EQ(CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar, created.PutVoid()),
              S_OK);
    ASSERT_TRUE(created);
    EXPECT_EQ(created->StringRegister(u"HKCU { Software { T { ViaCom } } }"), S_OK);
    EXPECT_EQ(Contents().count(u"ViaCom"), 1u);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(CreateRegistrar(IID_IClassFactory, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    FailNthCall("CreateRegistrar", 1, E_OUTOFMEMORY);
    EXPECT_EQ(CreateRegistrar(IID_IRegistrar, &other), E_OUTOFMEMORY);
    EXPECT_EQ(other, nullptr);
}

TEST_F(RegistrarTest, ScriptsFromALibraryResource) {
    const std::string narrow = RESOURCE_TESTLIB;
    const std::u16string library(narrow.begin(), narrow.end());
    auto read = [] {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\ResourceTest", 0, KEY_READ, &key) != ERROR_SUCCESS)
            return std::u16string(u"<no key>");
        WCHAR data[64] = {};
        DWORD size = sizeof data - 2;
        RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        return std::u16string(data);
    };
    ASSERT_EQ(registrar_->ResourceRegister(library.c_str(), 7, u"REGISTRY"), S_OK);
    EXPECT_EQ(read(), u"from a resource");
    ASSERT_EQ(registrar_->ResourceUnregisterSz(library.c_str(), u"#7", u"REGISTRY"), S_OK);
    EXPECT_EQ(read(), u"<no key>");
    ASSERT_EQ(registrar_->ResourceRegisterSz(library.c_str(), MAKEINTRESOURCEW(7), u"REGISTRY"), S_OK);
    EXPECT_EQ(read(), u"from a resource");
    EXPECT_EQ(registrar_->ResourceRegister(library.c_str(), 8, u"REGISTRY"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    // Not a script: the resource is refused whole.
    EXPECT_EQ(registrar_->ResourceRegister(library.c_str(), 1, u"TYPELIB"), DISP_E_EXCEPTION_REGISTRAR_SYNTAX);
    EXPECT_EQ(registrar_->ResourceRegister(nullptr, 7, u"REGISTRY"), E_INVALIDARG);
}

TEST_F(RegistrarTest, RegistryFailuresAreReturned) {
    FailNthCall("RegCreateKeyExW", 3, ERROR_ACCESS_DENIED);  // the registry returns the code as its status
    EXPECT_EQ(Register(u"T { A { B } }"), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(registrar_->ResourceRegister(u"/nonexistent/library.so", 101, u"REGISTRY"),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
}

}  // namespace
