#include "platform/posix/small_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

using tests::write_file;

TEST(SmallFile, SmallFilesAreReadWithinTheirBound) {
    write_file("/tmp/files/exact", std::string(100, 'a'));
    auto exact = read_small_file("/tmp/files/exact", 100);
    EXPECT_EQ(exact.status, read_status::ok);
    EXPECT_EQ(exact.bytes.size(), 100u);
    EXPECT_EQ(read_small_file("/tmp/files/exact", 99).status, read_status::too_large);
    EXPECT_EQ(read_small_file("/tmp/files/none", 100).status, read_status::missing);
    EXPECT_EQ(read_small_file("/tmp/files", 100).status, read_status::not_regular);
    // Files without a size of their own are read to their end, still within the bound.
    EXPECT_EQ(read_small_file("/proc/self/status", 64 * 1024).status, read_status::ok);
    EXPECT_EQ(read_small_file("/proc/self/status", 16).status, read_status::too_large);
}

TEST(SmallFile, PlantedFifoDoesNotBlock) {
    fs::create_directories("/tmp/files");
    ASSERT_EQ(::mkfifo("/tmp/files/fifo", 0666), 0);
    EXPECT_EQ(read_small_file("/tmp/files/fifo", 100).status, read_status::not_regular);
}

TEST(SmallFile, ALinkIsReadOnlyWhenFollowed) {
    write_file("/tmp/files/target", "target");
    fs::remove("/tmp/files/link");
    fs::create_symlink("/tmp/files/target", "/tmp/files/link");
    EXPECT_EQ(read_small_file("/tmp/files/link", 100).status, read_status::ok);
    EXPECT_EQ(read_small_file("/tmp/files/link", 100, symlink_policy_t::refuse).status,
              read_status::unreadable);
}

}  // namespace
