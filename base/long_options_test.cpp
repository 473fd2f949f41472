#include "base/long_options.h"

#include <gtest/gtest.h>

namespace {

using long_options::parse;
using long_options::word_order;
using options_t = std::vector<std::pair<std::string, std::string>>;
using words_t = std::vector<std::string>;

const std::vector<long_options::option_spec> k_specs = {{"socket"}, {"auth"}, {"help", false, 'h'}};

TEST(LongOptions, ValuesEitherWayAndWordsKeptAsGiven) {
    auto line = parse({"a", "--auth=x=y", "-1", "--socket", "-h", "", "-", "--", "--auth", "-z"},
                      k_specs, word_order::anywhere);
    EXPECT_EQ(line.error, "");
    EXPECT_EQ(line.options, (options_t{{"auth", "x=y"}, {"socket", "-h"}}));
    EXPECT_EQ(line.words, (words_t{"a", "-1", "", "-", "--auth", "-z"}));

    // A value that reads like a command stays the option's; the command and what follows it are
    // words.
    auto global = parse({"--socket", "authorize", "authorize", "--right", "-h"}, k_specs,
                        word_order::first_ends_options);
    EXPECT_EQ(global.options, (options_t{{"socket", "authorize"}}));
    EXPECT_EQ(global.words, (words_t{"authorize", "--right", "-h"}));

    // Parsing twice in one process starts afresh.
    EXPECT_TRUE(parse({"-h", "w"}, k_specs, word_order::anywhere).has("help"));
    EXPECT_TRUE(parse({"-h"}, k_specs, word_order::anywhere).has("help"));
}

TEST(LongOptions, ErrorsNameTheOption) {
    EXPECT_EQ(parse({"--bogus", "x"}, k_specs, word_order::anywhere).error,
              "unknown option --bogus");
    EXPECT_EQ(parse({"x", "--auth"}, k_specs, word_order::anywhere).error,
              "option --auth needs a value");
    EXPECT_EQ(parse({"--help=yes"}, k_specs, word_order::anywhere).error,
              "option --help takes no value");
}

}  // namespace
