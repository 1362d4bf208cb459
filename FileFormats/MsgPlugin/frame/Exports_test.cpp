// The built module's dynamic symbol table, read from the file: exactly the four exports are
// defined and visible; everything else of the module stays inside it.
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <dlfcn.h>

namespace {

struct Symbol {
    std::string name;
    unsigned char binding, type, visibility;
    bool defined;
};

// The symbols of the .dynsym section, names from the section it links to.
std::vector<Symbol> DynamicSymbols(const std::string& path, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(file)), {});
    std::vector<Symbol> symbols;
    if (image.size() < sizeof(Elf64_Ehdr) || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0 ||
        image[EI_CLASS] != ELFCLASS64) {
        *error = "not a 64-bit ELF file";
        return symbols;
    }
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof header);
    auto section = [&](size_t index) {
        Elf64_Shdr shdr{};
        size_t at = header.e_shoff + index * sizeof(Elf64_Shdr);
        if (index < header.e_shnum && at + sizeof shdr <= image.size()) std::memcpy(&shdr, image.data() + at, sizeof shdr);
        return shdr;
    };
    for (size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr dynsym = section(i);
        if (dynsym.sh_type != SHT_DYNSYM) continue;
        Elf64_Shdr strings = section(dynsym.sh_link);
        if (dynsym.sh_offset + dynsym.sh_size > image.size() || strings.sh_offset + strings.sh_size > image.size()) {
            *error = "section out of the file";
            return symbols;
        }
        for (size_t at = dynsym.sh_offset; at + sizeof(Elf64_Sym) <= dynsym.sh_offset + dynsym.sh_size;
             at += sizeof(Elf64_Sym)) {
            Elf64_Sym sym;
            std::memcpy(&sym, image.data() + at, sizeof sym);
            if (sym.st_name >= strings.sh_size) continue;
            const char* name = image.data() + strings.sh_offset + sym.st_name;
            symbols.push_back({std::string(name, strnlen(name, strings.sh_size - sym.st_name)),
                               static_cast<unsigned char>(ELF64_ST_BIND(sym.st_info)),
                               static_cast<unsigned char>(ELF64_ST_TYPE(sym.st_info)),
                               static_cast<unsigned char>(ELF64_ST_VISIBILITY(sym.st_other)),
                               sym.st_shndx != SHN_UNDEF});
        }
        return symbols;
    }
    *error = "no .dynsym section";
    return symbols;
}

TEST(ModuleExports, ExactlyTheFourFunctions) {
    std::string error;
    std::vector<Symbol> symbols = DynamicSymbols(MSGPLUGIN_MODULE_PATH, &error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_FALSE(symbols.empty());
    std::set<std::string> exported;
    for (const Symbol& symbol : symbols) {
        if (!symbol.defined || symbol.name.empty()) continue;
        EXPECT_EQ(symbol.type, STT_FUNC) << symbol.name;
        EXPECT_EQ(symbol.binding, STB_GLOBAL) << symbol.name << " (a unique or weak symbol would pin the module)";
        EXPECT_EQ(symbol.visibility, STV_DEFAULT) << symbol.name;
        exported.insert(symbol.name);
    }
    // C linkage: the plain names, not mangled ones.
    EXPECT_EQ(exported, (std::set<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                               "DllUnregisterServer"}));
}

TEST(ModuleExports, ResolvableByNameAndNothingElse) {
    void* module = dlopen(MSGPLUGIN_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    for (const char* name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
        EXPECT_NE(dlsym(module, name), nullptr) << name;
    // msgplugin::Module(), the module's own: not reachable from outside.
    EXPECT_EQ(dlsym(module, "_ZN9msgplugin6ModuleEv"), nullptr);
    dlclose(module);
}

}  // namespace
