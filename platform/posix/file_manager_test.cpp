#include "platform/posix/file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/files.h"

namespace fs = std::filesystem;
using tests::read_file;
using tests::write_file;

namespace {

class FileManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::path("/tmp/file_manager_test");
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string at(const std::string& relative) const { return (root_ / relative).string(); }

    static mode_t mode_of(const std::string& path) {
        struct stat info {};
        EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
        return info.st_mode & 07777;
    }

    fs::path root_;
};

TEST_F(FileManagerTest, CopyKeepsTreeLinksAndModesAndDropsSetId) {
    fs::create_directories(at("src.app/Contents/MacOS"));
    write_file(at("src.app/Contents/MacOS/Corvana"), "#!/bin/sh\n", fs::perms(0755));
    write_file(at("src.app/Contents/Info.plist"), "info", fs::perms(0600));
    write_file(at("src.app/Contents/setuid"), "x", fs::perms(04755));
    // Nobody but the copier may write into the copy while it is made: the tree is not yet root's
    // alone until its modes are set after the copy.
    write_file(at("src.app/Contents/Shared/everyone"), "x", fs::perms(0666));
    ::chmod(at("src.app/Contents/Shared").c_str(), 0777);
    fs::create_symlink("MacOS/Corvana", at("src.app/Contents/link"));
    fs::create_symlink("/nonexistent/target", at("src.app/dangling"));
    ::chmod(at("src.app/Contents").c_str(), 0750);

    auto result = file_manager::copy_item(at("src.app"), at("dst.app"));
    ASSERT_TRUE(result) << result.description();
    EXPECT_TRUE(result.description().empty());

    EXPECT_EQ(read_file(at("dst.app/Contents/MacOS/Corvana")), "#!/bin/sh\n");
    EXPECT_EQ(mode_of(at("dst.app/Contents/MacOS/Corvana")), 0755u);
    EXPECT_EQ(mode_of(at("dst.app/Contents/Info.plist")), 0600u);
    EXPECT_EQ(mode_of(at("dst.app/Contents")), 0750u);
    EXPECT_EQ(mode_of(at("dst.app/Contents/setuid")), 0755u);
    EXPECT_EQ(mode_of(at("dst.app/Contents/Shared")), 0755u);
    EXPECT_EQ(mode_of(at("dst.app/Contents/Shared/everyone")), 0644u);
    ASSERT_TRUE(fs::is_symlink(at("dst.app/Contents/link")));
    EXPECT_EQ(fs::read_symlink(at("dst.app/Contents/link")), "MacOS/Corvana");
    ASSERT_TRUE(fs::is_symlink(at("dst.app/dangling")));
    EXPECT_EQ(fs::read_symlink(at("dst.app/dangling")), "/nonexistent/target");
}

TEST_F(FileManagerTest, CopyNeverOverwritesNorWritesThroughALink) {
    write_file(at("a.conf"), "new");
    write_file(at("b.conf"), "old");
    auto onto_file = file_manager::copy_item(at("a.conf"), at("b.conf"));
    EXPECT_FALSE(onto_file);
    EXPECT_NE(onto_file.description().find(at("b.conf")), std::string::npos)
        << onto_file.description();
    EXPECT_NE(onto_file.description().find("File exists"), std::string::npos);
    EXPECT_EQ(read_file(at("b.conf")), "old");

    write_file(at("victim"), "keep");
    fs::create_symlink(at("victim"), at("planted.conf"));
    EXPECT_FALSE(file_manager::copy_item(at("a.conf"), at("planted.conf")));
    EXPECT_EQ(read_file(at("victim")), "keep");
}

TEST_F(FileManagerTest, FailedCopyLeavesNothingBehind) {
    fs::create_directories(at("src.app/Contents/Resources"));
    write_file(at("src.app/Contents/Resources/a"), "a");
    ASSERT_EQ(::mkfifo(at("src.app/Contents/Resources/pipe").c_str(), 0644), 0);

    auto result = file_manager::copy_item(at("src.app"), at("dst.app"));
    EXPECT_FALSE(result);
    EXPECT_NE(result.description().find(at("src.app/Contents/Resources/pipe")), std::string::npos)
        << result.description();
    EXPECT_FALSE(fs::exists(fs::symlink_status(at("dst.app"))));

    auto missing = file_manager::copy_item(at("nothing.app"), at("dst.app"));
    EXPECT_FALSE(missing);
    EXPECT_NE(missing.description().find("No such file or directory"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(at("dst.app"))));
}

TEST_F(FileManagerTest, RemoveDeletesTreeButNotWhatItsLinksPointAt) {
    fs::create_directories(at("outside/keep"));
    write_file(at("outside/keep/file"), "keep");
    fs::create_directories(at("bundle.app/Contents/deep/deeper"));
    write_file(at("bundle.app/Contents/deep/deeper/f"), "x", fs::perms(0));
    ::chmod(at("bundle.app/Contents/deep").c_str(), 0);
    fs::create_symlink(at("outside"), at("bundle.app/Contents/link_to_dir"));
    fs::create_symlink(at("outside/keep/file"), at("bundle.app/link_to_file"));

    auto result = file_manager::remove_item(at("bundle.app"));
    ASSERT_TRUE(result) << result.description();
    EXPECT_FALSE(fs::exists(fs::symlink_status(at("bundle.app"))));
    EXPECT_EQ(read_file(at("outside/keep/file")), "keep");

    // A link given as the item itself is removed, not its target.
    fs::create_symlink(at("outside"), at("link.app"));
    ASSERT_TRUE(file_manager::remove_item(at("link.app")));
    EXPECT_TRUE(fs::exists(at("outside/keep/file")));
}

TEST_F(FileManagerTest, RemoveReportsWhatFailed) {
    auto missing = file_manager::remove_item(at("nothing"));
    EXPECT_FALSE(missing);
    EXPECT_NE(missing.description().find(at("nothing")), std::string::npos);
    EXPECT_NE(missing.description().find("No such file or directory"), std::string::npos);

    EXPECT_FALSE(file_manager::remove_item("/"));
    EXPECT_FALSE(file_manager::remove_item(at("x/..")));
    EXPECT_TRUE(fs::exists(root_));
}

TEST_F(FileManagerTest, CreateFileRefusesAnythingAlreadyThere) {
    ASSERT_TRUE(file_manager::create_file(at("trace")));
    EXPECT_EQ(fs::file_size(at("trace")), 0u);
    EXPECT_FALSE(file_manager::create_file(at("trace")));

    write_file(at("victim"), "keep");
    fs::create_symlink(at("victim"), at("link"));
    EXPECT_FALSE(file_manager::create_file(at("link")));
    EXPECT_EQ(read_file(at("victim")), "keep");
}

TEST_F(FileManagerTest, CreateDirectoryMakesParentsAndAcceptsExisting) {
    ASSERT_TRUE(file_manager::create_directory(at("a/b/c/")));
    EXPECT_TRUE(fs::is_directory(at("a/b/c")));
    EXPECT_EQ(mode_of(at("a/b")), 0755u);
    EXPECT_TRUE(file_manager::create_directory(at("a/b/c")));

    write_file(at("file"), "");
    auto result = file_manager::create_directory(at("file/sub"));
    EXPECT_FALSE(result);
    EXPECT_NE(result.description().find(at("file")), std::string::npos);
}

TEST_F(FileManagerTest, ExistenceQueriesTellLinksApart) {
    fs::create_directories(at("dir"));
    write_file(at("file"), "");
    fs::create_symlink(at("dir"), at("dir_link"));
    fs::create_symlink(at("none"), at("dangling"));

    EXPECT_TRUE(file_manager::exists(at("dir_link")));
    EXPECT_FALSE(file_manager::exists(at("dangling")));
    EXPECT_TRUE(file_manager::exists_no_follow(at("dangling")));
    EXPECT_FALSE(file_manager::exists(""));
    EXPECT_TRUE(file_manager::is_directory_no_follow(at("dir")));
    EXPECT_FALSE(file_manager::is_directory_no_follow(at("dir_link")));
    EXPECT_TRUE(file_manager::is_regular_file_no_follow(at("file")));
    EXPECT_FALSE(file_manager::is_regular_file_no_follow(at("dir")));
}

TEST_F(FileManagerTest, SubpathsWalkInNameOrderWithoutEnteringLinks) {
    fs::create_directories(at("top/b/inner"));
    fs::create_directories(at("elsewhere"));
    write_file(at("elsewhere/secret"), "");
    write_file(at("top/a"), "");
    write_file(at("top/b/inner/x"), "");
    write_file(at("top/c"), "");
    fs::create_symlink(at("elsewhere"), at("top/link"));

    const std::vector<std::string> expected = {"a", "b", "b/inner", "b/inner/x", "c", "link"};
    EXPECT_EQ(file_manager::subpaths(at("top")).value(), expected);
    EXPECT_FALSE(file_manager::subpaths(at("missing")));
    EXPECT_FALSE(file_manager::subpaths(at("top/a")));
}

TEST_F(FileManagerTest, SubpathsStopAtTheDepthBound) {
    std::string path = at("deep");
    for (int level = 0; level < file_manager::k_max_walk_depth + 5; ++level) {
        path += "/d";
    }
    fs::create_directories(path);
    const auto found = file_manager::subpaths(at("deep")).value();
    EXPECT_EQ(found.size(), static_cast<std::size_t>(file_manager::k_max_walk_depth));
    // Removal walks deeper than the listing does.
    EXPECT_TRUE(file_manager::remove_item(at("deep")));
}

}  // namespace
