#include "client/authorize_command.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/long_options.h"
#include "base/unique_fd.h"
#include "platform/authorization/authorization.h"
#include "platform/authorization/authorization_rules.h"
#include "platform/posix/accounts.h"
#include "platform/posix/write_all.h"

namespace {

constexpr int k_exit_written = 0;
constexpr int k_exit_failure = 1;
constexpr int k_exit_usage = 2;
constexpr std::size_t k_max_user_name = 256;
constexpr std::size_t k_max_path = 4096;

constexpr const char* k_usage =
    "usage: corvana-helperctl authorize --right NAME... [--user NAME] --out FILE\n"
    "\n"
    "Issues an authorization that holds the named rights, as if an administrator had\n"
    "authenticated for each of them, and writes its 32-byte external form to FILE (a new file,\n"
    "mode 0600, owned by the user). Pass FILE to the commands that take --auth. The\n"
    "authorization expires five minutes after it is issued.\n"
    "\n"
    "Only root can issue authorizations: run this through sudo or pkexec.\n"
    "\n"
    "  --right NAME...  the rights to pre-authorize; repeat or list several\n"
    "  --user NAME      the user the authorization is for (default: the user who ran sudo or\n"
    "                   pkexec, else root)\n"
    "  --out FILE       where to write the authorization; must not exist yet\n"
    "  --help           show this text\n"
    "\n"
    "Exit status: 0 written, 1 failure, 2 usage error.\n";

struct options_t {
    bool help = false;
    std::vector<std::string> rights;
    std::optional<std::string> user;
    std::optional<std::string> out;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "authorize: %s\n\n%s", message.c_str(), k_usage);
    return k_exit_usage;
}

int failure(const std::string& message) {
    std::fprintf(stderr, "authorize: %s\n", message.c_str());
    return k_exit_failure;
}

// Empty result and a message on bad usage. "--right A B" lists several rights, as does
// "--right A --right B": the command takes no other words, so every word is a right once a
// --right was given.
std::optional<options_t> parse(int argc, char** argv, std::string& error) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    long_options::parsed_line line =
        long_options::parse(args, {{"right"}, {"user"}, {"out"}, {"help", false, 'h'}},
                            long_options::word_order::anywhere);
    if (!line.error.empty()) {
        error = line.error;
        return std::nullopt;
    }
    options_t options;
    for (auto& [name, value] : line.options) {
        if (name == "help") {
            options.help = true;
        } else if (name == "right") {
            options.rights.push_back(std::move(value));
        } else {
            auto& slot = name == "user" ? options.user : options.out;
            if (slot) {
                error = "--" + name + " given twice";
                return std::nullopt;
            }
            slot = std::move(value);
        }
    }
    if (!line.words.empty() && options.rights.empty()) {
        error = "unknown argument " + line.words.front();
        return std::nullopt;
    }
    options.rights.insert(options.rights.end(), line.words.begin(), line.words.end());
    if (options.help) {
        return options;
    }
    if (options.rights.empty()) {
        error = "no --right given";
        return std::nullopt;
    }
    if (options.rights.size() > kAuthorizationMaxPreauthorizedRights) {
        error = "at most " + std::to_string(kAuthorizationMaxPreauthorizedRights) + " rights";
        return std::nullopt;
    }
    for (const auto& right : options.rights) {
        if (!authorization_name_is_valid(right)) {
            error = "invalid right name \"" + right + "\"";
            return std::nullopt;
        }
    }
    if (!options.out || options.out->empty() || options.out->size() > k_max_path) {
        error = "--out FILE is required";
        return std::nullopt;
    }
    if (options.user && (options.user->empty() || options.user->size() > k_max_user_name)) {
        error = "invalid user name";
        return std::nullopt;
    }
    return options;
}

std::optional<account_t> account(const std::string* name, uid_t uid) {
    auto found = name != nullptr ? account_named(*name) : account_of(uid);
    if (!found) {
        return std::nullopt;
    }
    return std::move(found).value();
}

// Who the authorization is for: the named user, else the person behind sudo or pkexec, else root.
std::optional<account_t> target_account(const options_t& options, std::string& described) {
    if (options.user) {
        described = "user " + *options.user;
        return account(&*options.user, 0);
    }
    if (const char* sudo_user = std::getenv("SUDO_USER"); sudo_user != nullptr && *sudo_user) {
        const std::string name(sudo_user, strnlen(sudo_user, k_max_user_name + 1));
        described = "SUDO_USER " + name;
        return name.size() > k_max_user_name ? std::nullopt : account(&name, 0);
    }
    if (const char* pkexec_uid = std::getenv("PKEXEC_UID"); pkexec_uid != nullptr && *pkexec_uid) {
        described = std::string("PKEXEC_UID ") + pkexec_uid;
        const char* end = pkexec_uid + std::strlen(pkexec_uid);
        uid_t uid = 0;
        auto [ptr, ec] = std::from_chars(pkexec_uid, end, uid);
        if (ec != std::errc() || ptr != end) {
            return std::nullopt;
        }
        return account(nullptr, uid);
    }
    described = "root";
    return account(nullptr, 0);
}

// An authorization that never reached its file must not stay usable.
void revoke(const AuthorizationExternalForm& form) {
    AuthorizationRef ref;
    if (AuthorizationCreateFromExternalForm(form, ref) == errAuthorizationSuccess) {
        (void)AuthorizationFree(std::move(ref), kAuthorizationFlagDestroyRights);
    }
}

}  // namespace

int authorize_command_main(int argc, char** argv) {
    std::string error;
    auto options = parse(argc, argv, error);
    if (!options) {
        return usage_error(error);
    }
    if (options->help) {
        std::fputs(k_usage, stdout);
        return k_exit_written;
    }
    if (::geteuid() != 0) {
        return failure("only root can issue authorizations; run this through sudo or pkexec");
    }
    std::string described;
    const auto user = target_account(*options, described);
    if (!user) {
        return failure("no such user (" + described + ")");
    }

    // The file first: when it can't be made, no authorization is issued at all. O_EXCL and
    // O_NOFOLLOW keep root from writing through anything already at that path.
    const std::string& path = *options->out;
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        return failure("cannot create " + path + ": " + std::strerror(errno));
    }
    auto discard = [&](const std::string& message) {
        ::unlink(path.c_str());
        return failure(message);
    };
    // The token is the user's to hand to a client running as that user.
    if (::fchmod(fd.get(), 0600) != 0 || ::fchown(fd.get(), user->uid, user->gid) != 0) {
        return discard("cannot set the owner of " + path + ": " + std::strerror(errno));
    }

    AuthorizationExternalForm form;
    const OSStatus status = AuthorizationIssueExternalForm(user->uid, options->rights, form);
    if (status != errAuthorizationSuccess) {
        return discard("cannot issue the authorization (OSStatus error " + std::to_string(status) +
                       ")");
    }
    if (!write_all(fd.get(), form.bytes.data(), form.bytes.size()) || ::fsync(fd.get()) != 0 ||
        ::close(fd.release()) != 0) {
        const std::string reason = std::strerror(errno);
        revoke(form);
        return discard("cannot write " + path + ": " + reason);
    }
    std::printf("authorization for %s written to %s; it expires in %lld seconds\n",
                user->name.c_str(), path.c_str(),
                static_cast<long long>(kAuthorizationLifetimeSeconds));
    return k_exit_written;
}
