#include "platform/codesign/code_signing_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "base/unique_fd.h"
#include "tests/support/files.h"

namespace {

using namespace code_signing;
namespace fs = std::filesystem;

using tests::write_file;

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

}  // namespace
