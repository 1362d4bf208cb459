// Reading a PE file's exports, imports and resources from the file itself.
#include "frame/windows_test_support.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace wintest {

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

}  // namespace wintest
