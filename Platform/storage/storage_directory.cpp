// The directory of an open compound file: the stored entries in one array, checked once when
// the file opens, names looked up through the stored sibling trees.
#include <algorithm>
#include <bit>
#include <cstring>

#include "base/clock.h"
#include "storage/storage_internal.h"

namespace platform::storage {

// ---- Names ---------------------------------------------------------------------------------

char16_t UpperCaseBeyondAscii(char16_t c) {
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c == 0xB5) return 0x39C;
    if (c >= 0x100 && c <= 0x17F) {
        if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
            return (c & 1) ? char16_t(c - 1) : c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
            return (c & 1) ? c : char16_t(c - 1);
        return c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return char16_t(c - 0x20);
    if (c == 0x3C2) return 0x3A3;
    if (c >= 0x430 && c <= 0x44F) return char16_t(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A) return char16_t(c - 0x20);
    return c;
}

namespace {

// Two names of `length` units each: `a` in memory, `b` as the directory stores it
// (little-endian UTF-16).
[[gnu::always_inline]] inline int CompareUnits(const char16_t* a, const BYTE* b, size_t length) {
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        // Names in one storage mostly share a long start ("__substg1.0_"): skip equal runs.
        for (; i + 4 <= length; i += 4) {
            uint64_t x, y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + 2 * i, 8);
            if (x != y) break;
        }
    }
    for (; i < length; ++i) {
        char16_t x = a[i], y = char16_t(Load16(b + 2 * i));
        if (x == y) continue;
        x = UpperCase(x);
        y = UpperCase(y);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

// Two stored names of `length` units each, as CompareUnits compares them.
int CompareStoredNames(const BYTE* a, const BYTE* b, size_t length) {
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        uint64_t x, y;
        std::memcpy(&x, a + 2 * i, 8);
        std::memcpy(&y, b + 2 * i, 8);
        if (x != y) break;
    }
    for (; i < length; ++i) {
        char16_t x = char16_t(Load16(a + 2 * i)), y = char16_t(Load16(b + 2 * i));
        if (x == y) continue;
        x = UpperCase(x);
        y = UpperCase(y);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

// The units of a stored name before its first null, among its first `units`.
unsigned NameUnits(const BYTE* entry, unsigned units) {
    unsigned n = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; n + 4 <= units; n += 4) {
            uint64_t x;
            std::memcpy(&x, entry + 2 * n, 8);
            if ((x - 0x0001000100010001ull) & ~x & 0x8000800080008000ull) break;  // a null among these four
        }
    }
    while (n < units && Load16(entry + 2 * n) != 0) ++n;
    return n;
}

void LoadName(const BYTE* entry, size_t length, char16_t* out) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, entry, 2 * length);
    } else {
        for (size_t i = 0; i < length; ++i) out[i] = char16_t(Load16(entry + 2 * i));
    }
}

}  // namespace

int CompareNames(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = UpperCase(a[i]), y = UpperCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

// ---- Reading the entries -------------------------------------------------------------------

uint64_t Directory::StoredSize(uint32_t id) const {
    const BYTE* e = Entry(id);
    return sizesAre64Bit_ ? Load64(e + 120) : Load32(e + 120);
}

std::u16string Directory::Name(uint32_t id) const {
    std::u16string name(elements_[id].nameLength, u'\0');
    LoadName(Entry(id), name.size(), name.data());
    return name;
}

int Directory::Compare(const char16_t* name, size_t length, uint32_t id) const {
    const size_t other = elements_[id].nameLength;
    if (length != other) return length < other ? -1 : 1;
    return CompareUnits(name, Entry(id), length);
}

HRESULT Directory::Load(std::vector<BYTE> bytes, bool sizesAre64Bit, uint64_t sourceSize) {
    bytes_ = std::move(bytes);
    sizesAre64Bit_ = sizesAre64Bit;
    const uint32_t count = uint32_t(std::min<uint64_t>(bytes_.size() / kDirectoryEntrySize, kNoStream));
    elements_.clear();
    lists_.clear();
    contents_.clear();
    if (count == 0 || Type(0) != kTypeRoot) return STG_E_DOCFILECORRUPT;
    elements_.resize(count);

    // The root's name is never looked up: it is kept as stored, to its first null.
    {
        const BYTE* e = Entry(0);
        const unsigned stored = std::min<unsigned>(Load16(e + 64) & ~1u, 64);
        elements_[0].nameLength = uint8_t(NameUnits(e, stored >= 2 ? stored / 2 - 1 : 0));
        if (StoredSize(0) > sourceSize) return STG_E_DOCFILECORRUPT;
    }
    auto checkEntry = [&](uint32_t id) -> HRESULT {
        const BYTE* e = Entry(id);
        const uint16_t stored = Load16(e + 64);
        if (stored < 2 || stored > 64 || (stored & 1)) return STG_E_DOCFILECORRUPT;
        // Names end at their first null character, as callers pass them.
        const unsigned n = NameUnits(e, stored / 2 - 1);
        if (n == 0) return STG_E_DOCFILECORRUPT;
        elements_[id].nameLength = uint8_t(n);
        if (e[66] == kTypeStream) {
            if (StoredSize(id) > sourceSize) return STG_E_DOCFILECORRUPT;
        } else if (e[66] != kTypeStorage) {
            return STG_E_DOCFILECORRUPT;
        }
        return S_OK;
    };
    auto compareIds = [&](uint32_t a, uint32_t b) {
        const size_t length = elements_[a].nameLength, other = elements_[b].nameLength;
        if (length != other) return length < other ? -1 : 1;
        return CompareStoredNames(Entry(a), Entry(b), length);
    };

    // Each storage's children form a binary tree through the left and right sibling fields,
    // walked here in order. Every entry may be reached once: a second visit is a cycle or an
    // entry shared by two places, either of which would make walks endless or the tree
    // ambiguous. Being reached is having a parent; nothing may lead back to the root.
    std::vector<uint32_t> storages{0};
    std::vector<std::pair<uint32_t, uint32_t>> pending;  // (entry, depth) whose right side is next
    std::vector<uint32_t> sequence;
    pending.reserve(count);
    sequence.reserve(count);
    while (!storages.empty()) {
        const uint32_t storage = storages.back();
        storages.pop_back();
        pending.clear();
        sequence.clear();
        bool ordered = true;
        uint32_t deepest = 0, depth = 1;
        uint32_t id = Link(Entry(storage), 76);
        for (;;) {
            for (; id != kNoStream; ++depth) {
                if (id >= count || id == 0 || elements_[id].parent != kNoStream) return STG_E_DOCFILECORRUPT;
                elements_[id].parent = storage;
                HRESULT hr = checkEntry(id);
                if (FAILED(hr)) return hr;
                pending.push_back({id, depth});
                id = Link(Entry(id), 68);
            }
            if (pending.empty()) break;
            auto [next, at] = pending.back();
            pending.pop_back();
            deepest = std::max(deepest, at);
            if (!sequence.empty()) {
                const int order = compareIds(sequence.back(), next);
                if (order == 0) return STG_E_DOCFILECORRUPT;  // two children with one name
                if (order > 0) ordered = false;
            }
            sequence.push_back(next);
            if (Type(next) == kTypeStorage) storages.push_back(next);
            id = Link(Entry(next), 72);
            depth = at + 1;
        }
        Element& element = elements_[storage];
        element.childCount = uint32_t(sequence.size());
        // A sound sibling tree is searched as it is stored. One out of order, or too deep to
        // be a balanced one, is replaced by a sorted list of the children.
        if (ordered && deepest <= 2 * uint32_t(std::bit_width(sequence.size())) + 1) {
            element.treeUsable = true;
            continue;
        }
        if (!ordered) {
            std::sort(sequence.begin(), sequence.end(), [&](uint32_t a, uint32_t b) { return compareIds(a, b) < 0; });
            for (size_t i = 1; i < sequence.size(); ++i)
                if (compareIds(sequence[i - 1], sequence[i]) == 0) return STG_E_DOCFILECORRUPT;
        }
        element.list = lists_.Add();
        lists_[element.list] = sequence;
    }
    return S_OK;
}

namespace {

void WriteName(BYTE* entry, const std::u16string& name) {
    std::memset(entry, 0, 64);
    const size_t length = std::min(name.size(), kMaxNameChars);
    for (size_t i = 0; i < length; ++i) Store16(entry + 2 * i, name[i]);
    Store16(entry + 64, uint16_t((length + 1) * 2));
}

// A new entry (its bytes zero): named, typed, black, linked to nothing, holding no sectors.
void InitEntry(BYTE* e, const std::u16string& name, BYTE type) {
    WriteName(e, name);
    e[66] = type;
    e[67] = 1;
    Store32(e + 68, kNoStream);
    Store32(e + 72, kNoStream);
    Store32(e + 76, kNoStream);
    Store32(e + 116, kEndOfChain);
}

}  // namespace

void Directory::InitEmpty() {
    bytes_.assign(kDirectoryEntrySize, 0);
    const std::u16string name = u"Root Entry";
    InitEntry(Entry(0), name, kTypeRoot);
    elements_.assign(1, Element{});
    lists_.clear();
    contents_.clear();
    elements_[0].nameLength = uint8_t(name.size());
    elements_[0].list = lists_.Add();
}

// ---- Children ------------------------------------------------------------------------------

std::vector<uint32_t> Directory::InOrder(uint32_t storage) const {
    // The tree was checked when the file opened: in range, acyclic, every entry once.
    std::vector<uint32_t> out, pending;
    out.reserve(elements_[storage].childCount);
    pending.reserve(elements_[storage].childCount);
    uint32_t id = Link(Entry(storage), 76);
    for (;;) {
        for (; id != kNoStream; id = Link(Entry(id), 68)) pending.push_back(id);
        if (pending.empty()) break;
        out.push_back(pending.back());
        pending.pop_back();
        id = Link(Entry(out.back()), 72);
    }
    return out;
}

std::vector<uint32_t>& Directory::List(uint32_t storage) {
    if (elements_[storage].list == kNoStream) {
        const uint32_t list = lists_.Add();
        lists_[list] = InOrder(storage);
        elements_[storage].list = list;
    }
    return lists_[elements_[storage].list];
}

const std::vector<uint32_t>& Directory::Children(uint32_t storage) { return List(storage); }

uint32_t Directory::Find(uint32_t storage, const char16_t* name, size_t length) const {
    const Element& element = elements_[storage];
    if (element.list != kNoStream) {
        const std::vector<uint32_t>& children = lists_[element.list];
        auto it = std::lower_bound(children.begin(), children.end(), 0,
                                   [&](uint32_t id, int) { return Compare(name, length, id) > 0; });
        return it != children.end() && Compare(name, length, *it) == 0 ? *it : kNoStream;
    }
    if (!element.treeUsable) return kNoStream;
    uint32_t id = Link(Entry(storage), 76);
    while (id != kNoStream) {
        const int order = Compare(name, length, id);
        if (order == 0) return id;
        id = Link(Entry(id), order < 0 ? 68 : 72);
    }
    return kNoStream;
}

uint32_t Directory::Add(uint32_t storage, const std::u16string& name, BYTE type) {
    List(storage);
    const uint32_t id = Count();
    bytes_.resize(bytes_.size() + kDirectoryEntrySize, 0);
    BYTE* e = Entry(id);
    InitEntry(e, name, type);
    if (type == kTypeStorage) {
        ULONGLONG now = clock::NowFileTime();
        for (size_t at : {100, 108}) Store64(e + at, now);
    }
    Element added;
    added.parent = storage;
    added.nameLength = uint8_t(std::min(name.size(), kMaxNameChars));
    if (type == kTypeStorage) {
        added.list = lists_.Add();
    } else {
        added.content = contents_.Add();
        contents_[added.content].extentsResolved = true;
    }
    elements_.push_back(added);
    std::vector<uint32_t>& children = lists_[elements_[storage].list];
    auto it = std::lower_bound(children.begin(), children.end(), 0,
                               [&](uint32_t other, int) { return Compare(name.data(), name.size(), other) > 0; });
    children.insert(it, id);
    return id;
}

void Directory::Remove(uint32_t id) {
    const uint32_t storage = elements_[id].parent;
    if (storage != kNoStream) {
        std::vector<uint32_t>& children = List(storage);
        children.erase(std::remove(children.begin(), children.end(), id), children.end());
    }
    elements_[id].parent = kNoStream;
    // Everything below goes with it; objects still open on any of it are reverted.
    std::vector<uint32_t> pending{id};
    while (!pending.empty()) {
        const uint32_t next = pending.back();
        pending.pop_back();
        if (IsStorage(next)) {
            std::vector<uint32_t>& children = List(next);
            pending.insert(pending.end(), children.begin(), children.end());
            children = {};
        } else {
            bool made = false;
            StreamContent& content = ContentAt(next, &made);
            content = StreamContent{};
            content.extentsResolved = true;
        }
        elements_[next].destroyed = true;
    }
}

void Directory::Rename(uint32_t id, const std::u16string& name) {
    std::vector<uint32_t>& children = List(elements_[id].parent);
    children.erase(std::remove(children.begin(), children.end(), id), children.end());
    WriteName(Entry(id), name);
    elements_[id].nameLength = uint8_t(std::min(name.size(), kMaxNameChars));
    auto it = std::lower_bound(children.begin(), children.end(), 0,
                               [&](uint32_t other, int) { return Compare(name.data(), name.size(), other) > 0; });
    children.insert(it, id);
}

}  // namespace platform::storage
