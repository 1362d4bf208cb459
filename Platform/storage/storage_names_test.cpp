// Element names compare as compound files fold them: letters beyond ASCII too (Latin-1, Latin
// Extended-A, Greek, Cyrillic, full-width Latin) are equal in either case. On seeded random names
// drawn from every folded range, an element made under one mix of cases is found under any other,
// a second element under another mix is refused, and characters outside the table keep their
// case.
#include "storage/storage_test_util.h"

#include <random>
#include <string>
#include <utility>
#include <vector>

using namespace storage_test;
using platform::ComPtr;

namespace {

// Lower-case letters and their capitals, as Unicode pairs them (the ranges the format folds).
std::vector<std::pair<char16_t, char16_t>> CasePairs() {
    std::vector<std::pair<char16_t, char16_t>> pairs;
    for (char16_t c = 0xE0; c <= 0xFE; ++c)
        if (c != 0xF7) pairs.emplace_back(c, char16_t(c - 0x20));  // à..þ, not ÷
    pairs.emplace_back(0xFF, 0x178);                               // ÿ Ÿ
    pairs.emplace_back(0xB5, 0x39C);                               // µ Μ
    for (char16_t c = 0x101; c <= 0x137; c += 2) pairs.emplace_back(c, char16_t(c - 1));  // ā Ā ...
    for (char16_t c = 0x13A; c <= 0x148; c += 2) pairs.emplace_back(c, char16_t(c - 1));  // ĺ Ĺ ...
    for (char16_t c = 0x14B; c <= 0x177; c += 2) pairs.emplace_back(c, char16_t(c - 1));  // ŋ Ŋ ...
    for (char16_t c = 0x17A; c <= 0x17E; c += 2) pairs.emplace_back(c, char16_t(c - 1));  // ź Ź ...
    for (char16_t c = 0x3B1; c <= 0x3CB; ++c)
        if (c != 0x3C2) pairs.emplace_back(c, char16_t(c - 0x20));  // α Α ...
    pairs.emplace_back(0x3C2, 0x3A3);                               // final ς Σ
    for (char16_t c = 0x430; c <= 0x44F; ++c) pairs.emplace_back(c, char16_t(c - 0x20));  // а А ...
    for (char16_t c = 0x450; c <= 0x45F; ++c) pairs.emplace_back(c, char16_t(c - 0x50));  // ѐ Ѐ ...
    for (char16_t c = 0xFF41; c <= 0xFF5A; ++c) pairs.emplace_back(c, char16_t(c - 0x20));  // ａ Ａ ...
    return pairs;
}

TEST(StorageNames, LettersOfEveryFoldedRangeMatchInEitherCase) {
    const auto pairs = CasePairs();
    TempDir dir;
    ComPtr<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(Wide(dir.File("names.stg")).c_str(), STGM_CREATE | kReadWriteExclusive, 0, root.Put()),
              S_OK);
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        // A name of up to 31 letters, each taken in a random case, and another mix of it.
        const size_t length = 1 + random() % 31;
        std::u16string made, sought;
        for (size_t i = 0; i < length; ++i) {
            const auto& [lower, upper] = pairs[random() % pairs.size()];
            made.push_back(random() % 2 ? lower : upper);
            sought.push_back(random() % 2 ? lower : upper);
        }
        SCOPED_TRACE(round);
        ComPtr<IStream> stream, found, twin;
        ASSERT_EQ(root->CreateStream(made.c_str(), kReadWriteExclusive, 0, 0, stream.Put()), S_OK);
        ASSERT_EQ(stream->Write("x", 1, nullptr), S_OK);
        stream.Reset();
        ASSERT_EQ(root->OpenStream(sought.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, found.Put()), S_OK);
        EXPECT_EQ(root->CreateStream(sought.c_str(), kReadWriteExclusive, 0, 0, twin.Put()), STG_E_FILEALREADYEXISTS);
        STATSTG stat{};
        ASSERT_EQ(found->Stat(&stat, STATFLAG_DEFAULT), S_OK);
        EXPECT_EQ(std::u16string(stat.pwcsName), made) << "the name keeps the case it was made with";
        CoTaskMemFree(stat.pwcsName);
        found.Reset();
        ASSERT_EQ(root->DestroyElement(sought.c_str()), S_OK);
    }
    // Outside the table a character is its own capital: these are different names.
    for (auto [a, b] : {std::pair<char16_t, char16_t>{0xF7, 0xD7}, {0x138, 0x137}, {0x149, 0x148}, {0x17F, 0x17E},
                        {0x4E00, 0x4E01}}) {
        const char16_t first[] = {a, 0}, second[] = {b, 0};
        ComPtr<IStream> one, two;
        ASSERT_EQ(root->CreateStream(first, kReadWriteExclusive, 0, 0, one.Put()), S_OK);
        EXPECT_EQ(root->CreateStream(second, kReadWriteExclusive, 0, 0, two.Put()), S_OK) << std::hex << int(a);
    }
    // The folded names survive the file: reopened, they are found the same way.
    root.Reset();
    ASSERT_EQ(StgOpenStorage(Wide(dir.File("names.stg")).c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                             root.Put()),
              S_OK);
    ComPtr<IStream> stream;
    const char16_t capital[] = {0x17E, 0};  // ž
    EXPECT_EQ(root->OpenStream(capital, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()), S_OK)
        << "the element made as \u017e is found again";
}

}  // namespace
