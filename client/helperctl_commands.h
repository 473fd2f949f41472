#pragma once

#include <corvana/helper_client.h>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/protocol_methods.h"

// The subcommands of corvana-helperctl that call the daemon, one per remote method of the
// protocol table (a test holds them to it, and the manual page to them).

struct usage_error {
    std::string message;
};

// Options of one subcommand: "--name value" pairs and positional words.
struct arguments {
    std::map<std::string, std::string> options;
    std::vector<std::string> words;

    std::optional<std::string> option(const std::string& name) const;
    std::string required(const std::string& name) const;
};

struct command {
    const char* name;
    protocol::method method;
    const char* usage;
    std::vector<std::string> option_names;
    std::size_t word_count;
    // The reply as printed, or the error that kept the call from one.
    std::function<corvana::result<std::string>(corvana::helper_client_t&, const arguments&)> run;

    // Needs an authorization: a polkit agent may have to ask for a password during the call.
    bool guarded() const { return protocol::info(method).guarded(); }
};

const std::vector<command>& commands();

// The subcommands that do not talk to the daemon.
struct local_command {
    const char* name;
    const char* usage;
};

inline constexpr local_command k_local_commands[] = {
    {"make-authorization", "--out FILE"},
    {"authorize", "--right NAME... [--user NAME] --out FILE   (root only)"},
};
