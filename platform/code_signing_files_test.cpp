#include "platform/code_signing_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "platform/atomic_file.h"
#include "platform/unique_fd.h"
#include "tests/support/files.h"

namespace {

using namespace code_signing;
namespace fs = std::filesystem;

using tests::write_file;

TEST(CodeSigningFiles, SmallFilesAreReadWithinTheirBound) {
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

TEST(CodeSigningFiles, PlantedFifoDoesNotBlock) {
    fs::create_directories("/tmp/files");
    ASSERT_EQ(::mkfifo("/tmp/files/fifo", 0666), 0);
    EXPECT_EQ(read_small_file("/tmp/files/fifo", 100).status, read_status::not_regular);
}

TEST(CodeSigningFiles, StreamedHashMatchesTheWholeHashAndIsBounded) {
    std::string content(200 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 31);
    }
    write_file("/tmp/files/big", content);
    unique_fd fd(::open("/tmp/files/big", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    auto streamed = sha256_of_file(fd.get(), content.size());
    ASSERT_TRUE(streamed);
    std::vector<std::uint8_t> bytes(content.begin(), content.end());
    EXPECT_EQ(*streamed, sha256_of(bytes));
    EXPECT_FALSE(sha256_of_file(fd.get(), content.size() - 1));
}

TEST(CodeSigningFiles, AtomicWriteReplacesWholeAndLeavesNoTemporary) {
    write_file("/tmp/files/atomic/target", "old");
    std::vector<std::uint8_t> bytes = {'n', 'e', 'w'};
    ASSERT_TRUE(write_file_atomically("/tmp/files/atomic/target", bytes, 0640,
                                      replaced_file_t::take_new_mode));
    auto read = read_small_file("/tmp/files/atomic/target", 10);
    EXPECT_EQ(read.bytes, bytes);
    struct stat info {};
    ASSERT_EQ(::stat("/tmp/files/atomic/target", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator("/tmp/files/atomic"), {}), 1);
    EXPECT_FALSE(write_file_atomically("/tmp/files/no-such-dir/target", bytes, 0644,
                                       replaced_file_t::take_new_mode));
    EXPECT_EQ(errno, ENOENT);  // what the signing tool reports
}

}  // namespace
