#include "platform/posix/small_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

using tests::write_file;

// The error a read failed with; -1 when it did not fail.
template <typename Read>
int failure_of(const Read& read) {
    return read ? -1 : read.error();
}

TEST(SmallFile, SmallFilesAreReadWithinTheirBound) {
    write_file("/tmp/files/exact", std::string(100, 'a'));
    auto exact = read_small_file("/tmp/files/exact", 100);
    ASSERT_TRUE(exact.ok());
    EXPECT_EQ(exact->size(), 100u);
    EXPECT_EQ(failure_of(read_small_file("/tmp/files/exact", 99)), k_file_too_large);
    EXPECT_EQ(failure_of(read_small_file("/tmp/files/none", 100)), k_file_missing);
    EXPECT_EQ(failure_of(read_small_file("/tmp/files", 100)), k_file_not_regular);
    // Files without a size of their own are read to their end, still within the bound.
    EXPECT_TRUE(read_small_file("/proc/self/status", 64 * 1024).ok());
    EXPECT_EQ(failure_of(read_small_file("/proc/self/status", 16)), k_file_too_large);
}

TEST(SmallFile, PlantedFifoDoesNotBlock) {
    fs::create_directories("/tmp/files");
    ASSERT_EQ(::mkfifo("/tmp/files/fifo", 0666), 0);
    EXPECT_EQ(failure_of(read_small_file("/tmp/files/fifo", 100)), k_file_not_regular);
}

TEST(SmallFile, ALinkIsReadOnlyWhenFollowed) {
    write_file("/tmp/files/target", "target");
    fs::remove("/tmp/files/link");
    fs::create_symlink("/tmp/files/target", "/tmp/files/link");
    EXPECT_TRUE(read_small_file("/tmp/files/link", 100).ok());
    EXPECT_EQ(failure_of(read_small_file("/tmp/files/link", 100, symlink_policy_t::refuse)), ELOOP);
}

}  // namespace
