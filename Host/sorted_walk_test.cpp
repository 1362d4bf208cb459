// The walk finds every message file below a folder, and nothing else, in the order of the whole
// names sorted, while holding only the folders on its way down.
#include "sorted_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "system.h"

namespace fs = std::filesystem;

namespace {

using cardhost::HasMessageExtension;
using cardhost::SortedWalk;

class SortedWalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("cardhost_walk_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                 std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    static void Touch(const fs::path& file) { std::ofstream(file) << "x"; }

    // The plain model: every regular .msg file a recursive listing finds, the names sorted.
    std::vector<std::string> Model() const {
        std::vector<std::string> files;
        for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator(); ++it)
            if (it->is_regular_file() && HasMessageExtension(it->path().filename().native()))
                files.push_back(cardhost::FileNameOf(it->path()));
        std::sort(files.begin(), files.end());
        return files;
    }
    std::vector<std::string> Walked() const {
        std::vector<std::string> files;
        SortedWalk walk(root_);
        for (std::string file; walk.Next(file);) files.push_back(file);
        EXPECT_TRUE(walk.TakeProblems().empty());
        return files;
    }

    fs::path root_;
};

TEST_F(SortedWalkTest, FindsWhatASortedListingFindsOnSeededRandomTrees) {
    // Names that are each other's beginnings and that sort around the separator ('-' and '.'
    // before '/', letters after it), in both cases, with and without the extension.
    const std::vector<std::string> stems = {"a", "a-", "a.", "a b", "A", "ab", "b", "a0", "\xC3\xA9t\xC3\xA9", "z"};
    const std::vector<std::string> endings = {"", ".msg", ".MSG", ".Msg", ".txt", ".msgx", "-x.msg"};
    for (unsigned seed = 1; seed <= 25; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        fs::remove_all(root_);
        fs::create_directories(root_);
        std::mt19937 random(seed);
        std::vector<fs::path> folders = {root_};
        const int entries = std::uniform_int_distribution<int>(0, 60)(random);
        for (int i = 0; i < entries; ++i) {
            const fs::path& parent = folders[std::uniform_int_distribution<size_t>(0, folders.size() - 1)(random)];
            const std::string name = stems[std::uniform_int_distribution<size_t>(0, stems.size() - 1)(random)] +
                                     endings[std::uniform_int_distribution<size_t>(0, endings.size() - 1)(random)];
            const fs::path path = parent / name;
            if (fs::exists(path)) continue;
            if (std::uniform_int_distribution<int>(0, 2)(random) == 0) {
                fs::create_directory(path);  // a folder, whatever its name ends in
                folders.push_back(path);
            } else {
                Touch(path);
            }
        }
        EXPECT_EQ(Walked(), Model());
    }
}

TEST_F(SortedWalkTest, FollowsLinksToFilesButNotToFolders) {
    fs::create_directories(root_ / "real");
    Touch(root_ / "real" / "one.msg");
    fs::create_directory_symlink(root_ / "real", root_ / "linked");
    fs::create_symlink(root_ / "real" / "one.msg", root_ / "alias.msg");
    fs::create_symlink(root_ / "nowhere.msg", root_ / "dangling.msg");
    const std::vector<std::string> expected = {cardhost::FileNameOf(root_ / "alias.msg"),
                                               cardhost::FileNameOf(root_ / "real" / "one.msg")};
    EXPECT_EQ(Walked(), expected);
    EXPECT_EQ(Model(), expected);
}

TEST_F(SortedWalkTest, AnEmptyOrMissingFolderGivesNothing) {
    EXPECT_TRUE(Walked().empty());
    SortedWalk missing(root_ / "missing");
    std::string file;
    EXPECT_FALSE(missing.Next(file));
    EXPECT_EQ(missing.TakeProblems().size(), 1u);  // told, not passed over in silence
}

TEST_F(SortedWalkTest, AFolderThatCannotBeListedIsToldAndTheWalkGoesOn) {
    for (const char* folder : {"a", "b", "c"}) {
        fs::create_directories(root_ / folder);
        Touch(root_ / folder / "one.msg");
    }
    SortedWalk walk(root_);
    std::string file;
    ASSERT_TRUE(walk.Next(file));
    EXPECT_EQ(file, cardhost::FileNameOf(root_ / "a" / "one.msg"));
    // Gone between the listing of its parent and the walk's way into it.
    fs::remove_all(root_ / "b");
    EXPECT_TRUE(walk.TakeProblems().empty());
    ASSERT_TRUE(walk.Next(file));
    EXPECT_EQ(file, cardhost::FileNameOf(root_ / "c" / "one.msg"));
    const std::vector<std::string> problems = walk.TakeProblems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("cannot list"), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find(cardhost::FileNameOf(root_ / "b")), std::string::npos) << problems[0];
    EXPECT_FALSE(walk.Next(file));
    EXPECT_TRUE(walk.TakeProblems().empty()) << "each problem is told once";
}

TEST(MessageExtension, AnyCaseOfTheLastFourCharacters) {
    EXPECT_TRUE(HasMessageExtension("a.msg"));
    EXPECT_TRUE(HasMessageExtension(".MsG"));
    EXPECT_FALSE(HasMessageExtension("a.msgx"));
    EXPECT_FALSE(HasMessageExtension("amsg"));
    EXPECT_FALSE(HasMessageExtension("msg"));
    EXPECT_FALSE(HasMessageExtension("a.ms"));
}

}  // namespace
