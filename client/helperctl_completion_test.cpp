// The bash completion made at build time offers what the command table holds: bash itself runs
// the script, as an interactive shell would on a tab.
#include <stdio.h>
#include <sys/wait.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/helperctl_commands.h"
#include "protocol/protocol_methods.h"

namespace {

// What the completion offers for the command line `words`, the last being the word completed.
std::set<std::string> completed(const std::vector<std::string>& words) {
    std::string command =
        "bash --norc --noprofile -c '. \"$1\"; shift; COMP_WORDS=(\"$@\"); "
        "COMP_CWORD=$(($# - 1)); _corvana_helperctl; "
        "printf \"%s\\n\" \"${COMPREPLY[@]}\"' bash '" CORVANA_HELPERCTL_COMPLETION
        "' corvana-helperctl";
    for (const auto& word : words) {
        command += " '" + word + "'";
    }
    std::set<std::string> offered;
    FILE* out = ::popen(command.c_str(), "r");
    EXPECT_NE(out, nullptr);
    if (!out) {
        return offered;
    }
    std::string line;
    for (int c; (c = std::fgetc(out)) != EOF;) {
        if (c == '\n') {
            if (!line.empty()) {
                offered.insert(line);
            }
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    const int status = ::pclose(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
    return offered;
}

TEST(HelperctlCompletion, OffersEveryCommandOfTheTableAndEachCommandsOptions) {
    std::set<std::string> names;
    for (const auto& c : commands()) {
        names.insert(c.name);
    }
    for (const auto& c : k_local_commands) {
        names.insert(c.name);
    }
    EXPECT_EQ(completed({""}), names);
    EXPECT_EQ(completed({"--socket", "/run/x.socket", "--no-ask-password", ""}), names)
        << "the global options and --socket's value come before the command";
    EXPECT_EQ(completed({"--"}),
              (std::set<std::string>{"--socket", "--no-ask-password", "--help", "--version"}));

    for (const auto& c : commands()) {
        std::set<std::string> options = {"--socket", "--help"};
        for (const auto& name : c.option_names) {
            options.insert("--" + name);
        }
        EXPECT_EQ(completed({c.name, "--"}), options) << c.name;
    }
    EXPECT_EQ(completed({"authorize", "--"}),
              (std::set<std::string>{"--right", "--user", "--out", "--socket", "--help"}));
}

TEST(HelperctlCompletion, OffersTheValuesTheTableNames) {
    std::set<std::string> rights;
    for (const auto& m : protocol::methods) {
        if (m.guarded()) {
            rights.insert(std::string(m.right.name));
        }
    }
    EXPECT_EQ(completed({"authorize", "--right", ""}), rights);
    EXPECT_EQ(completed({"authorize", "--right", "=", ""}), rights) << "--right=";
    EXPECT_EQ(completed({"authorize", "--out", "x", "--right", "com.quillmark.Corvana.Helper.g"}),
              (std::set<std::string>{"com.quillmark.Corvana.Helper.global_settings"}));

    const std::set<std::string> on_off = {"on", "off"};
    EXPECT_EQ(completed({"set-autostart", ""}), on_off);
    EXPECT_EQ(completed({"set-autostart", "on", ""}), std::set<std::string>{});
    EXPECT_EQ(completed({"set-tray", "TEXT", ""}), on_off);
    EXPECT_EQ(completed({"set-tray", "--socket", "/x", "TEXT", ""}), on_off)
        << "an option's value is not a word";
    EXPECT_EQ(completed({"install", "--namespace", ""}), std::set<std::string>{})
        << "a namespace is the caller's to name";
}

}  // namespace
