#pragma once

#include <string>
#include <utility>
#include <vector>

// Command lines of the tools, read with glibc's getopt_long: "--name value" and "--name=value"
// alike, "--" ends the options. The tools have no short options but the ones listed, so any other
// argument starting with a single "-" is a word: a darkwake mode of -1, a bundle named -x.app.
namespace long_options {

struct option_spec {
    std::string name;
    bool takes_value = true;
    char short_name = 0;  // answers to "-c" as well; 0 for none
};

enum class word_order {
    anywhere,           // options and words mix freely
    first_ends_options  // the first word and everything after it are words (a subcommand)
};

struct parsed_line {
    std::vector<std::pair<std::string, std::string>> options;  // in the order given
    std::vector<std::string> words;
    std::string error;  // empty when the line parsed

    bool has(const std::string& name) const;
};

parsed_line parse(const std::vector<std::string>& arguments, const std::vector<option_spec>& specs,
                  word_order order);

}  // namespace long_options
