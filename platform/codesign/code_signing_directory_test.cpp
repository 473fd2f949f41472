#include "platform/codesign/code_signing_directory.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/codesign/code_signing_bundle.h"
#include "platform/plist/property_list.h"

namespace {

using namespace code_signing;

code_directory_t sample() {
    code_directory_t directory;
    directory.identifier = "com.quillmark.corvana-cv-5e09b1d4";
    directory.team_identifier = "Q7XM2RT9PL";
    directory.executable = "Corvana";
    directory.executable_size = 1'234'567;
    directory.executable_hash.fill(0xab);
    directory.info_plist_hash.fill(0x01);
    return directory;
}

std::vector<std::uint8_t> encoded(plist_t dict) {
    auto text = xml_property_list_text(dict);
    return text ? std::vector<std::uint8_t>(text->begin(), text->end())
                : std::vector<std::uint8_t>();
}

// The sample's encoding as a dictionary, for making damaged variants of it.
plist_node_t sample_dict() {
    auto bytes = encode_code_directory(sample());
    auto node = parse_property_list(bytes->data(), bytes->size());
    return std::move(*node);
}

TEST(CodeDirectory, RoundTrips) {
    auto bytes = encode_code_directory(sample());
    ASSERT_TRUE(bytes);
    EXPECT_EQ(decode_code_directory(*bytes), sample());

    code_directory_t no_team = sample();
    no_team.team_identifier.clear();
    EXPECT_EQ(decode_code_directory(*encode_code_directory(no_team)), no_team);
}

TEST(CodeDirectory, RefusesToEncodeWhatCannotBeDecoded) {
    code_directory_t directory = sample();
    directory.identifier.clear();
    EXPECT_FALSE(encode_code_directory(directory));
    directory = sample();
    directory.executable = "../Corvana";
    EXPECT_FALSE(encode_code_directory(directory));
    directory = sample();
    directory.identifier = std::string(k_max_identifier_length + 1, 'x');
    EXPECT_FALSE(encode_code_directory(directory));
}

TEST(CodeDirectory, DecodingIsStrict) {
    auto damaged = [](auto change) {
        plist_node_t dict = sample_dict();
        change(dict.get());
        return decode_code_directory(encoded(dict.get()));
    };
    EXPECT_TRUE(damaged([](plist_t) {}));
    EXPECT_FALSE(damaged([](plist_t d) { plist_dict_remove_item(d, "Identifier"); }));
    EXPECT_FALSE(damaged([](plist_t d) { plist_dict_remove_item(d, "TeamIdentifier"); }));
    EXPECT_FALSE(damaged([](plist_t d) { plist_dict_remove_item(d, "InfoPlistHash"); }));
    EXPECT_FALSE(damaged([](plist_t d) { plist_dict_remove_item(d, "ExecutableSize"); }));
    EXPECT_FALSE(damaged([](plist_t d) { plist_dict_set_item(d, "Version", plist_new_uint(1)); }));
    EXPECT_FALSE(
        damaged([](plist_t d) { plist_dict_set_item(d, "Version", plist_new_string("1")); }));
    EXPECT_FALSE(
        damaged([](plist_t d) { plist_dict_set_item(d, "HashType", plist_new_string("sha1")); }));
    EXPECT_FALSE(
        damaged([](plist_t d) { plist_dict_set_item(d, "Identifier", plist_new_string("")); }));
    EXPECT_FALSE(
        damaged([](plist_t d) { plist_dict_set_item(d, "Identifier", plist_new_uint(7)); }));
    EXPECT_FALSE(damaged(
        [](plist_t d) { plist_dict_set_item(d, "Executable", plist_new_string("MacOS/x")); }));
    EXPECT_FALSE(damaged(
        [](plist_t d) { plist_dict_set_item(d, "ExecutableHash", plist_new_data("short", 5)); }));
    // The size bounds what a check may hash: the largest allowed decodes, one byte more does not.
    EXPECT_TRUE(damaged([](plist_t d) {
        plist_dict_set_item(d, "ExecutableSize", plist_new_uint(max_executable_size));
    }));
    EXPECT_FALSE(damaged([](plist_t d) {
        plist_dict_set_item(d, "ExecutableSize", plist_new_uint(max_executable_size + 1));
    }));

    plist_node_t array(plist_new_array());
    EXPECT_FALSE(decode_code_directory(encoded(array.get())));
    EXPECT_FALSE(decode_code_directory({}));
    std::vector<std::uint8_t> garbage(100, 'x');
    EXPECT_FALSE(decode_code_directory(garbage));
    std::vector<std::uint8_t> huge(k_max_code_directory_size + 1, ' ');
    EXPECT_FALSE(decode_code_directory(huge));
}

TEST(CodeDirectory, BundleOfAnExecutable) {
    EXPECT_EQ(bundle_of_executable("/Applications/Corvana.app/Contents/MacOS/Corvana"),
              "/Applications/Corvana.app");
    EXPECT_EQ(bundle_of_executable("/tmp/a b/X.app/Contents/MacOS/run me"), "/tmp/a b/X.app");
    EXPECT_FALSE(bundle_of_executable("/usr/bin/corvana"));
    EXPECT_FALSE(bundle_of_executable("/Applications/Corvana/Contents/MacOS/Corvana"));
    EXPECT_FALSE(bundle_of_executable("/Applications/.app/Contents/MacOS/Corvana"));
    EXPECT_FALSE(bundle_of_executable("/Applications/Corvana.app/Contents/MacOS/"));
    EXPECT_FALSE(bundle_of_executable("/Applications/Corvana.app/Contents/MacOS/bin/Corvana"));
    EXPECT_FALSE(bundle_of_executable("/Applications/Corvana.app/Contents/Resources/Corvana"));
}

}  // namespace
