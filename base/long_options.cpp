#include "base/long_options.h"

#include <getopt.h>

#include <cstring>
#include <map>

namespace long_options {

namespace {

constexpr int k_first_long_value = 256;

bool is_known_short(const std::string& argument, const std::vector<option_spec>& specs) {
    for (const auto& spec : specs) {
        if (spec.short_name != 0 && argument == std::string{'-', spec.short_name}) {
            return true;
        }
    }
    return false;
}

// getopt hands words and separate option values back as the very argv element; an element
// getopt must not see as an option is stood in for, and its pointer leads back to the original.
class argument_vector {
  public:
    argument_vector(const std::vector<std::string>& arguments,
                    const std::vector<option_spec>& specs)
        : arguments_(arguments) {
        shown_.reserve(arguments.size() + 1);
        shown_.emplace_back("program");
        for (const auto& argument : arguments) {
            const bool single_dash = argument.size() > 1 && argument[0] == '-' &&
                                     argument[1] != '-' && !is_known_short(argument, specs);
            shown_.push_back(single_dash ? "word" : argument);
        }
        for (std::size_t i = 0; i < shown_.size(); ++i) {
            pointers_.push_back(shown_[i].data());
            if (i > 0) {
                original_.emplace(pointers_.back(), i - 1);
            }
        }
        pointers_.push_back(nullptr);
    }

    int argc() const { return static_cast<int>(shown_.size()); }
    char** argv() { return pointers_.data(); }

    // The original text of what getopt returned: a whole element, or the value after "=".
    std::string original(const char* returned) const {
        auto found = original_.find(returned);
        return found == original_.end() ? std::string(returned) : arguments_[found->second];
    }
    std::string original_at(int index) const { return original(pointers_[index]); }

  private:
    const std::vector<std::string>& arguments_;
    std::vector<std::string> shown_;
    std::vector<char*> pointers_;
    std::map<const char*, std::size_t> original_;
};

}  // namespace

bool parsed_line::has(const std::string& name) const {
    for (const auto& option : options) {
        if (option.first == name) {
            return true;
        }
    }
    return false;
}

parsed_line parse(const std::vector<std::string>& arguments, const std::vector<option_spec>& specs,
                  word_order order) {
    std::vector<option> table;
    // "-" returns words in place, "+" stops at the first one; ":" reports a missing value apart.
    std::string short_options = order == word_order::anywhere ? "-:" : "+:";
    std::map<int, std::string> names;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const auto& spec = specs[i];
        const int value =
            spec.short_name != 0 ? spec.short_name : k_first_long_value + static_cast<int>(i);
        table.push_back({spec.name.c_str(), spec.takes_value ? required_argument : no_argument,
                         nullptr, value});
        names[value] = spec.name;
        if (spec.short_name != 0) {
            short_options += spec.short_name;
            if (spec.takes_value) {
                short_options += ':';
            }
        }
    }
    table.push_back({nullptr, 0, nullptr, 0});

    argument_vector line(arguments, specs);
    parsed_line parsed;
    optind = 0;  // glibc: start a fresh scan
    opterr = 0;
    for (;;) {
        const int found =
            getopt_long(line.argc(), line.argv(), short_options.c_str(), table.data(), nullptr);
        if (found == -1) {
            break;
        }
        if (found == 1) {
            parsed.words.push_back(line.original(optarg));
        } else if (found == ':') {
            parsed.error = "option " + line.original_at(optind - 1) + " needs a value";
            return parsed;
        } else if (found == '?') {
            const std::string given = line.original_at(optind - 1);
            parsed.error = optopt != 0 && given.find('=') != std::string::npos
                               ? "option --" + names[optopt] + " takes no value"
                               : "unknown option " + given;
            return parsed;
        } else {
            parsed.options.emplace_back(names[found], optarg ? line.original(optarg) : "");
        }
    }
    for (int i = optind; i < line.argc(); ++i) {
        parsed.words.push_back(line.original_at(i));
    }
    return parsed;
}

}  // namespace long_options
