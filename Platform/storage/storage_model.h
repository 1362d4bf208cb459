// Tests and fuzzing only: a plain in-memory model of a compound file (a tree of storages and
// streams, each stream a byte vector), the rules its element names follow, and the choices
// that drive random operations, from a seed or from fuzz bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "windows.h"

namespace storage_model {

// ---- Choices -------------------------------------------------------------------------------

// Where the random decisions come from.
class Choices {
public:
    virtual ~Choices() = default;
    // A number below n (0 when n is 0).
    virtual uint64_t Below(uint64_t n) = 0;
    // True once a byte source has run dry (its choices are all 0 from then on).
    virtual bool Exhausted() const { return false; }
    bool Percent(unsigned p) { return Below(100) < p; }
    uint64_t Between(uint64_t low, uint64_t high) { return low + Below(high - low + 1); }
};

class SeededChoices final : public Choices {
public:
    explicit SeededChoices(uint64_t seed) : random_(seed) {}
    uint64_t Below(uint64_t n) override { return n ? random_() % n : 0; }

private:
    std::mt19937_64 random_;
};

// Each decision takes as many bytes as it needs (1 for up to 256 outcomes, and so on).
class ByteChoices final : public Choices {
public:
    ByteChoices(const uint8_t* data, size_t size) : data_(data), left_(size) {}
    uint64_t Below(uint64_t n) override {
        if (n <= 1) return 0;
        uint64_t value = 0;
        for (uint64_t span = 1; span < n && span != 0; span <<= 8) {
            if (left_ == 0) {
                exhausted_ = true;
                return 0;
            }
            value = (value << 8) | *data_++;
            --left_;
        }
        return value % n;
    }
    bool Exhausted() const override { return exhausted_; }

private:
    const uint8_t* data_;
    size_t left_;
    bool exhausted_ = false;
};

// ---- Names ---------------------------------------------------------------------------------

// Letters with their capital: the names the model makes are built from these, from letters
// without case and from characters outside the Basic Multilingual Plane, so that their case-blind
// comparison is known without a case table. Two small letters may share a capital (final and
// medial sigma).
struct CasePair {
    char16_t small, capital;
};
inline constexpr CasePair kCasePairs[] = {
    {u'a', u'A'}, {u'k', u'K'}, {u'q', u'Q'}, {u'z', u'Z'},
    {u'\u00e9', u'\u00c9'},  // e acute
    {u'\u00f8', u'\u00d8'},  // o slash
    {u'\u00ff', u'\u0178'},  // y diaeresis, whose capital lies in Latin Extended-A
    {u'\u0101', u'\u0100'},  // a macron
    {u'\u0142', u'\u0141'},  // l stroke
    {u'\u03c3', u'\u03a3'},  // sigma
    {u'\u03c2', u'\u03a3'},  // final sigma: the same capital
    {u'\u0436', u'\u0416'},  // zhe
    {u'\u0451', u'\u0401'},  // io
    {u'\uff41', u'\uff21'},  // fullwidth a
};
// Characters without case (digits, signs, a CJK ideograph, sharp s).
inline constexpr char16_t kCaseless[] = {u'0', u'7', u'_', u'.', u'-', u' ', u'\u00df', u'\u20ac', u'\u4e2d', u'\u00d7'};
// Characters outside the Basic Multilingual Plane, as surrogate pairs: a mail sign, and a
// Deseret capital and small letter, which the format's per-unit comparison keeps apart.
inline constexpr char16_t kSupplementary[][2] = {{0xD83D, 0xDCE7}, {0xD801, 0xDC00}, {0xD801, 0xDC28}};
// What a new element's name may not hold.
inline constexpr char16_t kReserved[] = {u'/', u'\\', u':', u'!'};

inline char16_t Capital(char16_t c) {
    // A table of all units, made once (names are compared often).
    static const std::vector<char16_t> capitals = [] {
        std::vector<char16_t> table(0x10000);
        for (size_t i = 0; i < table.size(); ++i) table[i] = char16_t(i);
        for (const CasePair& pair : kCasePairs) table[pair.small] = pair.capital;
        return table;
    }();
    return capitals[c];
}

inline bool SameName(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Capital(a[i]) != Capital(b[i])) return false;
    return true;
}

// The order of a storage's children: the shorter name first, then by capitals, unit by unit.
inline bool NameBefore(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    for (size_t i = 0; i < a.size(); ++i) {
        const char16_t x = Capital(a[i]), y = Capital(b[i]);
        if (x != y) return x < y;
    }
    return false;
}

inline bool ValidNewName(const std::u16string& name) {
    if (name.empty() || name.size() > 31) return false;
    for (char16_t c : name)
        for (char16_t reserved : kReserved)
            if (c == reserved) return false;
    return true;
}

// A new name of 1 to 31 units (rarely an invalid one: too long, or holding a reserved character).
inline std::u16string RandomName(Choices& choices) {
    std::u16string name;
    size_t length = choices.Percent(10) ? 31 : choices.Percent(3) ? 32 : size_t(choices.Between(1, 8));
    while (name.size() < length) {
        const uint64_t kind = choices.Below(100);
        if (kind < 55) {
            const CasePair& pair = kCasePairs[choices.Below(std::size(kCasePairs))];
            name.push_back(choices.Percent(50) ? pair.small : pair.capital);
        } else if (kind < 85) {
            name.push_back(kCaseless[choices.Below(std::size(kCaseless))]);
        } else if (kind < 98) {
            if (name.size() + 2 > length) continue;
            const char16_t* pair = kSupplementary[choices.Below(std::size(kSupplementary))];
            name.append(pair, 2);
        } else {
            name.push_back(kReserved[choices.Below(std::size(kReserved))]);
        }
    }
    return name;
}

// The same name with the case of some letters changed.
inline std::u16string CaseVariant(const std::u16string& name, Choices& choices) {
    std::u16string out = name;
    for (char16_t& c : out) {
        if (!choices.Percent(50)) continue;
        for (const CasePair& pair : kCasePairs) {
            if (c == pair.small) {
                c = pair.capital;
                break;
            }
            if (c == pair.capital) {
                // Any small letter of that capital.
                std::vector<char16_t> smalls;
                for (const CasePair& other : kCasePairs)
                    if (other.capital == c) smalls.push_back(other.small);
                c = smalls[choices.Below(smalls.size())];
                break;
            }
        }
    }
    return out;
}

// ---- The model -----------------------------------------------------------------------------

struct Node {
    bool storage = false;
    std::u16string name;
    std::vector<BYTE> data;                       // a stream's bytes
    std::vector<std::shared_ptr<Node>> children;  // a storage's children, in no order
    Node* parent = nullptr;
    CLSID clsid{};
    DWORD stateBits = 0;
    unsigned openCount = 0;  // stream objects open on it
    bool gone = false;       // destroyed or replaced (objects on it are reverted)

    std::shared_ptr<Node> Find(const std::u16string& child) const {
        for (const auto& node : children)
            if (SameName(node->name, child)) return node;
        return nullptr;
    }
    std::vector<std::shared_ptr<Node>> Sorted() const {
        auto out = children;
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return NameBefore(a->name, b->name); });
        return out;
    }
    // Takes a child out, and marks it and all below it gone.
    void Remove(const std::shared_ptr<Node>& child) {
        children.erase(std::find(children.begin(), children.end(), child));
        MarkGone(*child);
    }
    static void MarkGone(Node& node) {
        node.gone = true;
        for (auto& child : node.children) MarkGone(*child);
    }
    // Streams opened anywhere below (or on) this node.
    bool AnyOpen() const {
        if (openCount) return true;
        for (const auto& child : children)
            if (child->AnyOpen()) return true;
        return false;
    }
};

inline std::shared_ptr<Node> AddChild(Node& parent, const std::u16string& name, bool storage) {
    auto node = std::make_shared<Node>();
    node->storage = storage;
    node->name = name;
    node->parent = &parent;
    parent.children.push_back(node);
    return node;
}

// Every storage of the tree with its path of names from the root.
inline void Storages(const std::shared_ptr<Node>& node, std::vector<std::u16string>& path,
                     std::vector<std::pair<std::vector<std::u16string>, std::shared_ptr<Node>>>& out) {
    out.push_back({path, node});
    for (const auto& child : node->children) {
        if (!child->storage) continue;
        path.push_back(child->name);
        Storages(child, path, out);
        path.pop_back();
    }
}

// Bytes that differ with their seed and place.
inline std::vector<BYTE> Fill(uint64_t seed, size_t size) {
    std::vector<BYTE> out(size);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = BYTE(x);
    }
    return out;
}

inline std::string Utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace storage_model
