#include "client/helperctl_commands.h"

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

std::set<std::string> command_names() {
    std::set<std::string> names;
    for (const auto& c : commands()) {
        names.insert(c.name);
    }
    for (const auto& c : k_local_commands) {
        names.insert(c.name);
    }
    return names;
}

std::vector<std::string> lines_of(const char* path) {
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The lines after the one that is `heading` up to the next that `ends`.
std::vector<std::string> section(const std::vector<std::string>& lines, const std::string& heading,
                                 const std::string& ends) {
    std::vector<std::string> out;
    bool inside = false;
    for (const auto& line : lines) {
        if (inside && line.starts_with(ends)) {
            break;
        }
        if (inside) {
            out.push_back(line);
        }
        inside = inside || line == heading;
    }
    return out;
}

// Each part of a line separated by `separator` names one command first.
std::vector<std::string> parts(const std::string& line, const std::string& separator) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (auto at = line.find(separator); at != std::string::npos;
         from = at + separator.size(), at = line.find(separator, from)) {
        out.push_back(line.substr(from, at - from));
    }
    out.push_back(line.substr(from));
    return out;
}

TEST(HelperctlCommands, OneCommandPerRemoteMethodTakingAnAuthorizationWhenGuarded) {
    for (const auto& m : protocol::methods) {
        std::vector<std::string> found;
        for (const auto& c : commands()) {
            if (c.method == m.id) {
                found.push_back(c.name);
                EXPECT_EQ(std::ranges::count(c.option_names, "auth"), m.guarded() ? 1 : 0)
                    << c.name;
            }
        }
        EXPECT_EQ(found.size(), 1u) << m.selector;
    }
    EXPECT_EQ(command_names().size(), commands().size() + std::size(k_local_commands))
        << "two commands of one name";
}

TEST(HelperctlCommands, TheManualPageAndTheReadmeListEveryCommandAndNoOtherAndTheGuardedOnes) {
    std::set<std::string> manual;
    for (const auto& line : section(lines_of(CORVANA_HELPERCTL_MANUAL), "# COMMANDS", "# ")) {
        if (line.empty() || line[0] != '*') {
            continue;  // a description
        }
        for (const auto& part : parts(line, ", ")) {
            ASSERT_TRUE(part.starts_with("*")) << line;
            manual.insert(part.substr(1, part.find('*', 1) - 1));
        }
    }
    EXPECT_EQ(manual, command_names());

    // "*install*, ... and *check-settings-auth* are guarded: ..."
    std::string text;
    for (const auto& line : section(lines_of(CORVANA_HELPERCTL_MANUAL), "# AUTHORIZATION", "# ")) {
        text += line + " ";
    }
    text = text.substr(0, text.find(" are guarded:"));
    std::set<std::string> guarded_in_manual;
    for (auto at = text.find('*'); at != std::string::npos; at = text.find('*', at)) {
        const auto end = text.find('*', at + 1);
        guarded_in_manual.insert(text.substr(at + 1, end - at - 1));
        at = end + 1;
    }
    std::set<std::string> guarded;
    for (const auto& c : commands()) {
        if (c.guarded()) {
            guarded.insert(c.name);
        }
    }
    EXPECT_EQ(guarded_in_manual, guarded);

    const auto readme = section(lines_of(CORVANA_README), "## The command line", "## ");
    std::set<std::string> listed;
    const auto block = section(readme, "```", "```");
    for (const auto& line : block) {
        for (const auto& part : parts(line, " | ")) {
            listed.insert(part.substr(0, part.find(' ')));
        }
    }
    EXPECT_EQ(listed, command_names());
}

}  // namespace
