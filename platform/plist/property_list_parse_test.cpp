// Parsing property lists held in memory: what the message format relies on.
#include "platform/plist/property_list_parse.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/files.h"

namespace {

const std::filesystem::path k_corpus =
    std::filesystem::path(CORVANA_SOURCE_DIR) / "tests/corpus/property_list";

using tests::read_file;

TEST(PropertyListParseTest, MalformedInputGivesNoNode) {
    for (const std::string& bad :
         {std::string(), std::string("not a property list"), std::string("bplist00"),
          std::string("<plist version=\"1.0\"><dict><key>a</key></plist>")}) {
        EXPECT_FALSE(
            parse_property_list(reinterpret_cast<const std::uint8_t*>(bad.data()), bad.size()))
            << bad;
    }
}

TEST(PropertyListParseTest, BinaryInputThatWouldStopTheLibraryOrMisleadIsRefused) {
    // A key holding a NUL makes libplist abort the process; a key given twice has no one value.
    for (const char* name : {"binary_key_with_nul.bin", "binary_duplicate_keys.bin"}) {
        const std::string bytes = read_file(k_corpus / name);
        ASSERT_FALSE(bytes.empty()) << name;
        EXPECT_FALSE(
            parse_property_list(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
            << name;
    }
    std::string job = read_file(k_corpus / "agent_job_file.bin");
    const std::size_t value = job.find("--agent-frontend");
    ASSERT_NE(value, std::string::npos);
    EXPECT_TRUE(parse_property_list(reinterpret_cast<const std::uint8_t*>(job.data()), job.size()));
    job[value + 2] = '\0';
    EXPECT_FALSE(
        parse_property_list(reinterpret_cast<const std::uint8_t*>(job.data()), job.size()));
}

}  // namespace
