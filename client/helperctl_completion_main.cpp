// corvana-helperctl-completion: writes the bash completion of corvana-helperctl to standard
// output. It runs at build time and reads the command table the program itself reads (each
// command's name, options and usage, and the protocol table's right names for --right), so the
// completion can't offer a command or an option the program does not have.
//
// Exit status 0 when the script was written, 1 when an entry of the table holds a character that
// has no business in a shell script: the table is ours, but the script is sourced by every
// interactive shell, so nothing reaches it unchecked.
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "client/helperctl_commands.h"
#include "protocol/protocol_methods.h"

namespace {

// What the completion offers for an option's value or a positional word.
enum class value_kind { none, file, directory, user, right, choice };

struct value_t {
    value_kind kind = value_kind::none;
    std::string choices;  // blank-separated, for value_kind::choice
};

struct completed_command {
    std::string name;
    std::vector<std::string> options;  // every one takes a value
    std::vector<value_t> words;        // the positional words, in order
};

struct script_error {
    std::string message;
};

// Letters, digits and the punctuation of command, option and right names: nothing a shell
// reads as quoting, expansion or a separator.
std::string checked(std::string_view text, std::string_view what) {
    if (text.empty()) {
        throw script_error{"an empty " + std::string(what)};
    }
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!plain) {
            throw script_error{"the " + std::string(what) + " \"" + std::string(text) +
                               "\" holds a character a shell script can't carry as it is"};
        }
    }
    return std::string(text);
}

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (const auto& item : items) {
        out += out.empty() ? "" : separator;
        out += item;
    }
    return out;
}

std::vector<std::string> right_names() {
    std::vector<std::string> names;
    for (const auto& m : protocol::methods) {
        if (m.guarded()) {
            names.push_back(checked(m.right.name, "right name"));
        }
    }
    return names;
}

// An option's value is known by the option (a user, a right) or by the placeholder the usage
// gives it.
value_t value_of_option(std::string_view option, std::string_view placeholder) {
    if (option == "user") {
        return {value_kind::user, {}};
    }
    if (option == "right") {
        return {value_kind::right, {}};
    }
    if (placeholder == "FILE" || placeholder == "PATH") {
        return {value_kind::file, {}};
    }
    if (placeholder == "DIR") {
        return {value_kind::directory, {}};
    }
    return {};
}

// A positional word: "on|off" offers its alternatives, a PATH or FILE the file names.
value_t value_of_word(const std::string& placeholder) {
    if (placeholder.find('|') != std::string::npos) {
        std::string choices;
        std::istringstream alternatives(placeholder);
        for (std::string one; std::getline(alternatives, one, '|');) {
            choices += (choices.empty() ? "" : " ") + checked(one, "choice");
        }
        return {value_kind::choice, choices};
    }
    return value_of_option("", placeholder);
}

// The usage text, "[--auth FILE] --bundle PATH on|off NS   (root only)", read as options with
// their placeholders and positional words; a parenthesised remark ends it.
struct usage_t {
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> words;
};

usage_t read_usage(std::string_view text) {
    std::vector<std::string> tokens;
    std::istringstream in{std::string(text)};
    for (std::string token; in >> token;) {
        if (token.starts_with("(")) {
            break;
        }
        std::erase_if(token, [](char c) { return c == '[' || c == ']'; });
        if (token.ends_with("...")) {
            token.resize(token.size() - 3);
        }
        if (!token.empty()) {
            tokens.push_back(token);
        }
    }
    usage_t usage;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].starts_with("--")) {
            std::string option = tokens[i].substr(2);
            std::string placeholder;
            if (i + 1 < tokens.size() && !tokens[i + 1].starts_with("--")) {
                placeholder = tokens[++i];
            }
            usage.options.emplace_back(std::move(option), std::move(placeholder));
        } else {
            usage.words.push_back(tokens[i]);
        }
    }
    return usage;
}

std::vector<completed_command> table(std::map<std::string, value_t>& option_values) {
    std::vector<completed_command> out;
    auto add = [&](const char* name, const char* usage_text,
                   const std::vector<std::string>* option_names) {
        const usage_t usage = read_usage(usage_text);
        completed_command c{checked(name, "command name"), {}, {}};
        std::map<std::string, std::string> placeholders(usage.options.begin(), usage.options.end());
        if (option_names) {
            for (const auto& option : *option_names) {
                c.options.push_back(checked(option, "option name"));
            }
        } else {
            for (const auto& [option, placeholder] : usage.options) {
                c.options.push_back(checked(option, "option name"));
            }
        }
        for (const auto& option : c.options) {
            option_values.try_emplace(option, value_of_option(option, placeholders[option]));
        }
        for (const auto& word : usage.words) {
            c.words.push_back(value_of_word(word));
        }
        out.push_back(std::move(c));
    };
    for (const auto& c : commands()) {
        add(c.name, c.usage, &c.option_names);
    }
    for (const auto& c : k_local_commands) {
        add(c.name, c.usage, nullptr);
    }
    return out;
}

std::string reply_for(const value_t& value) {
    switch (value.kind) {
        case value_kind::none:
            return "COMPREPLY=()";
        case value_kind::file:
            return "_corvana_helperctl_reply file";
        case value_kind::directory:
            return "_corvana_helperctl_reply directory";
        case value_kind::user:
            return "_corvana_helperctl_reply user";
        case value_kind::right:
            return "_corvana_helperctl_reply words \"$rights\"";
        case value_kind::choice:
            return "_corvana_helperctl_reply words '" + value.choices + "'";
    }
    return "COMPREPLY=()";
}

std::string script() {
    std::map<std::string, value_t> option_values = {{"socket", {value_kind::file, {}}}};
    const std::vector<completed_command> completed = table(option_values);

    std::vector<std::string> names;
    for (const auto& c : completed) {
        names.push_back(c.name);
    }
    std::ostringstream s;
    s << R"sh(# bash completion for corvana-helperctl, made from its command table when it was built.

# Sets COMPREPLY for the word being completed ($cur of the caller): file or directory names,
# user names, or the words given.
_corvana_helperctl_reply() {
    case $1 in
    file)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        ;;
    directory)
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        ;;
    user) mapfile -t COMPREPLY < <(compgen -u -- "$cur") ;;
    words) mapfile -t COMPREPLY < <(compgen -W "$2" -- "$cur") ;;
    esac
}

_corvana_helperctl() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # bash splits --name=value at "=": the value's option is then the word before the "=".
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    local rights=')sh"
      << joined(right_names(), " ") << R"sh('
    local command= options= valued=' --socket ' words=0 only_words= i w
    for ((i = 1; i < COMP_CWORD; i++)); do
        w=${COMP_WORDS[i]}
        if [[ -n $only_words ]]; then
            ((words++))
        elif [[ $w == -- ]]; then
            only_words=1
        elif [[ $valued == *" $w "* ]]; then
            if [[ ${COMP_WORDS[i + 1]} == = ]]; then ((i += 2)); else ((i++)); fi
        elif [[ $w == -* ]]; then
            :
        elif [[ -z $command ]]; then
            command=$w
            case $command in
)sh";
    for (const auto& c : completed) {
        std::vector<std::string> dashed;
        for (const auto& option : c.options) {
            dashed.push_back("--" + option);
        }
        s << "            " << c.name << ") options='" << joined(dashed, " ") << "' ;;\n";
    }
    s << R"sh(            esac
            valued+="$options "
        else
            ((words++))
        fi
    done

    if [[ -z $only_words && $valued == *" $prev "* ]]; then
        case $prev in
)sh";
    for (const auto& [option, value] : option_values) {
        s << "        --" << option << ") " << reply_for(value) << " ;;\n";
    }
    s << R"sh(        esac
        return
    fi
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            _corvana_helperctl_reply words '--socket --no-ask-password --help --version'
        else
            _corvana_helperctl_reply words ')sh"
      << joined(names, " ") << R"sh('
        fi
        return
    fi
    if [[ -z $only_words && $cur == -* ]]; then
        _corvana_helperctl_reply words "$options --socket --help"
        return
    fi
    case "$command $((words + 1))" in
)sh";
    for (const auto& c : completed) {
        for (std::size_t i = 0; i < c.words.size(); ++i) {
            if (c.words[i].kind != value_kind::none) {
                s << "    \"" << c.name << ' ' << i + 1 << "\") " << reply_for(c.words[i])
                  << " ;;\n";
            }
        }
    }
    s << R"sh(    *) COMPREPLY=() ;;
    esac
}

complete -F _corvana_helperctl corvana-helperctl
)sh";
    return s.str();
}

}  // namespace

int main() {
    try {
        const std::string text = script();
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
            std::fflush(stdout) != 0) {
            std::perror("corvana-helperctl-completion: cannot write the script");
            return 1;
        }
    } catch (const script_error& e) {
        std::fprintf(stderr, "corvana-helperctl-completion: %s\n", e.message.c_str());
        return 1;
    }
    return 0;
}
