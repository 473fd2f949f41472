// corvana-helperctl: one subcommand per remote method of the helper daemon.
//
// Exit status: 0 when a reply arrived (its value is printed), 3 when the connection was refused or
// dropped (or no reply came in time), 2 on a usage error (an argument that can't be sent is one).
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <corvana/helper_client.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/long_options.h"
#include "client/authorize_module.h"
#include "client/helperctl_commands.h"
#include "client/tty_agent.h"
#include "platform/plist/utf8.h"

namespace {

using corvana::helper_client_t;

constexpr int k_exit_replied = 0;
constexpr int k_exit_failure = 1;
constexpr int k_exit_usage = 2;
constexpr int k_exit_dropped = 3;

void print_usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: corvana-helperctl [--socket PATH] [--no-ask-password] COMMAND [ARGS]\n\n"
                 "commands:\n");
    for (const auto& c : commands()) {
        std::fprintf(out, "  %s %s\n", c.name, c.usage);
    }
    for (const auto& c : k_local_commands) {
        std::fprintf(out, "  %s %s\n", c.name, c.usage);
    }
    std::fprintf(out,
                 "\n"
                 "Prints the reply: true/false, the text or the integer.\n"
                 "Exit status: 0 reply received, 3 connection refused or dropped, 2 usage error.\n"
                 "COMMAND --help shows the usage of one command.\n");
}

// The error's message, and the exit status for its kind.
int failed(const corvana::error& error) {
    std::fprintf(stderr, "corvana-helperctl: %s\n", error.message.c_str());
    return error.kind == corvana::error_kind::invalid_argument ? k_exit_usage : k_exit_dropped;
}

// The command's own options, with --socket and --help everywhere, as "--name value" or
// "--name=value"; everything else is a word ("--" ends the options, so a word may start with "-").
long_options::parsed_line read_line(const command& c, const std::vector<std::string>& args) {
    std::vector<long_options::option_spec> specs = {{"socket"}, {"help", false, 'h'}};
    for (const auto& name : c.option_names) {
        specs.push_back({name});
    }
    long_options::parsed_line line =
        long_options::parse(args, specs, long_options::word_order::anywhere);
    if (!line.error.empty()) {
        throw usage_error{line.error};
    }
    return line;
}

arguments arguments_of(const command& c, const std::vector<std::string>& args,
                       long_options::parsed_line line, std::string& socket) {
    for (const auto& arg : args) {
        if (!is_valid_utf8(arg)) {
            throw usage_error{"arguments must be UTF-8 text"};
        }
    }
    arguments parsed;
    for (const auto& [name, value] : line.options) {
        if (name == "socket") {
            socket = value;
        } else if (!parsed.options.emplace(name, value).second) {
            throw usage_error{"option --" + name + " given twice"};
        }
    }
    parsed.words = std::move(line.words);
    if (parsed.words.size() != c.word_count) {
        throw usage_error{std::string(c.name) + " takes " + std::to_string(c.word_count) +
                          " argument(s)"};
    }
    return parsed;
}

// Where the authorize module is: beside the client library this program loaded.
std::optional<std::string> authorize_module_path() {
    void* client = ::dlopen(CORVANA_CLIENT_SONAME, RTLD_NOW | RTLD_NOLOAD);
    if (client == nullptr) {
        return std::nullopt;
    }
    char origin[PATH_MAX] = {};
    const bool found = ::dlinfo(client, RTLD_DI_ORIGIN, origin) == 0;
    ::dlclose(client);
    if (!found) {
        return std::nullopt;
    }
    return std::string(origin) + "/" + k_authorize_module;
}

// Only authorize loads the authorization code, and only now (see client/authorize_module.h).
int run_authorize(int argc, char** argv) {
    const auto path = authorize_module_path();
    void* module = path ? ::dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (module == nullptr) {
        std::fprintf(stderr, "corvana-helperctl: cannot load the authorize command: %s\n",
                     path ? ::dlerror() : "the client library's directory is unknown");
        return k_exit_failure;
    }
    auto* entry = reinterpret_cast<authorize_entry_t*>(::dlsym(module, k_authorize_entry));
    if (entry == nullptr) {
        std::fprintf(stderr, "corvana-helperctl: %s has no %s\n", path->c_str(), k_authorize_entry);
        return k_exit_failure;
    }
    return entry(argc, argv);
}

// An authorization of this user's own, written to a new file only the user can read. It holds
// no right until an administrator approves one when a guarded command presents it.
int run_make_authorization(const std::vector<std::string>& args) {
    const char* usage = "usage: corvana-helperctl make-authorization --out FILE\n";
    long_options::parsed_line line = long_options::parse(args, {{"out"}, {"help", false, 'h'}},
                                                         long_options::word_order::anywhere);
    if (line.has("help")) {
        std::printf("%s", usage);
        return k_exit_replied;
    }
    std::string out;
    for (const auto& [name, value] : line.options) {
        if (name == "out") {
            out = value;
        }
    }
    if (!line.error.empty() || out.empty() || !line.words.empty()) {
        std::fprintf(stderr, "corvana-helperctl make-authorization: %s\n%s",
                     line.error.empty() ? "expected --out FILE" : line.error.c_str(), usage);
        return k_exit_usage;
    }
    const auto form = helper_client_t::make_authorization();
    if (!form) {
        std::fprintf(stderr, "corvana-helperctl: cannot make an authorization: no random bytes\n");
        return k_exit_failure;
    }
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "corvana-helperctl: cannot create %s: %s\n", out.c_str(),
                     std::strerror(errno));
        return k_exit_failure;
    }
    const bool written =
        ::write(fd, form->data(), form->size()) == static_cast<ssize_t>(form->size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "corvana-helperctl: cannot write %s\n", out.c_str());
        ::unlink(out.c_str());
        return k_exit_failure;
    }
    return k_exit_replied;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> all(argv + 1, argv + argc);
    long_options::parsed_line global = long_options::parse(
        all, {{"socket"}, {"help", false, 'h'}, {"version", false}, {"no-ask-password", false}},
        long_options::word_order::first_ends_options);
    if (!global.error.empty()) {
        std::fprintf(stderr, "corvana-helperctl: %s\n", global.error.c_str());
        print_usage(stderr);
        return k_exit_usage;
    }
    if (global.has("version")) {
        std::printf("corvana-helperctl %s\n", CORVANA_VERSION);
        return k_exit_replied;
    }
    std::string socket = helper_client_t::default_socket_path();
    for (const auto& [name, value] : global.options) {
        if (name == "socket") {
            socket = value;
        }
    }
    const std::vector<std::string>& args = global.words;
    if (global.has("help") || args.empty() || args[0] == "help") {
        const bool asked = !args.empty() || global.has("help");
        print_usage(asked ? stdout : stderr);
        return asked ? k_exit_replied : k_exit_usage;
    }
    if (args[0] == "authorize") {
        // The words are the tail of argv, the command first.
        const int first = argc - static_cast<int>(args.size());
        return run_authorize(argc - first, argv + first);
    }
    if (args[0] == "make-authorization") {
        return run_make_authorization({args.begin() + 1, args.end()});
    }

    const command* chosen = nullptr;
    for (const auto& c : commands()) {
        if (args[0] == c.name) {
            chosen = &c;
        }
    }
    if (chosen == nullptr) {
        std::fprintf(stderr, "corvana-helperctl: unknown command %s\n", args[0].c_str());
        print_usage(stderr);
        return k_exit_usage;
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    try {
        long_options::parsed_line line = read_line(*chosen, rest);
        if (line.has("help")) {
            std::printf("usage: corvana-helperctl %s %s\n", chosen->name, chosen->usage);
            return k_exit_replied;
        }
        arguments parsed = arguments_of(*chosen, rest, std::move(line), socket);
        auto client = helper_client_t::connect(socket);
        if (!client) {
            return failed(client.error());
        }
        // Started before the call and ended after it, so that polkit finds it registered for
        // this process when the helper asks.
        std::optional<tty_agent_t> agent;
        if (chosen->guarded() && !global.has("no-ask-password")) {
            agent.emplace();
        }
        auto reply = chosen->run(*client, parsed);
        if (!reply) {
            return failed(reply.error());
        }
        std::printf("%s\n", reply->c_str());
        return k_exit_replied;
    } catch (const usage_error& e) {
        std::fprintf(stderr, "corvana-helperctl %s: %s\nusage: corvana-helperctl %s %s\n",
                     chosen->name, e.message.c_str(), chosen->name, chosen->usage);
        return k_exit_usage;
    }
}
