#include "platform/posix/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "platform/posix/small_file.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

using tests::write_file;

TEST(AtomicFile, ReplacesWholeAndLeavesNoTemporary) {
    write_file("/tmp/files/atomic/target", "old");
    std::vector<std::uint8_t> bytes = {'n', 'e', 'w'};
    ASSERT_TRUE(write_file_atomically("/tmp/files/atomic/target", bytes, 0640,
                                      replaced_file_t::take_new_mode));
    auto read = read_small_file("/tmp/files/atomic/target", 10);
    EXPECT_EQ(*read, bytes);
    struct stat info {};
    ASSERT_EQ(::stat("/tmp/files/atomic/target", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator("/tmp/files/atomic"), {}), 1);
    const result<> missing_directory = write_file_atomically("/tmp/files/no-such-dir/target", bytes,
                                                             0644, replaced_file_t::take_new_mode);
    EXPECT_FALSE(missing_directory);
    EXPECT_EQ(missing_directory.error(), ENOENT);  // what the signing tool reports
}

}  // namespace
