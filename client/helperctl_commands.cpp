#include "client/helperctl_commands.h"

#include <climits>
#include <cstdint>
#include <exception>
#include <fstream>
#include <type_traits>

namespace {

using corvana::authorization_t;
using corvana::helper_client_t;
using corvana::result;

constexpr std::size_t k_max_auth_file = 64 * 1024;

// The reply as corvana-helperctl prints it: true/false, the text, or the integer.
template <class T>
result<std::string> shown(result<T> reply) {
    if (!reply) {
        return std::move(reply).error();
    }
    if constexpr (std::is_same_v<T, bool>) {
        return std::string(*reply ? "true" : "false");
    } else if constexpr (std::is_same_v<T, int>) {
        return std::to_string(*reply);
    } else {
        return std::move(*reply);
    }
}

// The authorization file given with --auth, or else a new authorization of this process's own,
// for which the helper has polkit ask.
authorization_t read_auth(const arguments& args) {
    const auto given = args.option("auth");
    if (!given) {
        auto made = helper_client_t::make_authorization();
        if (!made) {
            throw usage_error{"cannot make an authorization: no random bytes"};
        }
        return std::move(*made);
    }
    const std::string& path = *given;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw usage_error{"cannot read the authorization file " + path};
    }
    authorization_t bytes;
    char c;
    while (in.get(c)) {
        if (bytes.size() == k_max_auth_file) {
            throw usage_error{"the authorization file " + path + " is too large"};
        }
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    return bytes;
}

bool on_off(const std::string& word) {
    if (word == "on") {
        return true;
    }
    if (word == "off") {
        return false;
    }
    throw usage_error{"expected on or off, got " + word};
}

int integer(const std::string& word) {
    try {
        std::size_t used = 0;
        long value = std::stol(word, &used);
        if (used == word.size() && value >= INT32_MIN && value <= INT32_MAX) {
            return static_cast<int>(value);
        }
    } catch (const std::exception&) {
    }
    throw usage_error{"expected an integer, got " + word};
}

command namespace_query(const char* name, protocol::method called,
                        result<bool> (helper_client_t::*method)(const std::string&,
                                                                corvana::timeout_t)) {
    return {name, called, "NS", {}, 1, [method](helper_client_t& c, const arguments& a) {
                return shown((c.*method)(a.words[0], corvana::k_default_call_timeout));
            }};
}

}  // namespace

const std::vector<command>& commands() {
    using m = protocol::method;
    static const std::vector<command> table = {
        {"version",
         m::get_version,
         "",
         {},
         0,
         [](helper_client_t& c, const arguments&) { return shown(c.version()); }},
        {"install-service",
         m::install_service,
         "[--auth FILE] --namespace NS --config DIR",
         {"auth", "namespace", "config"},
         0,
         [](helper_client_t& c, const arguments& a) {
             return shown(c.install_service({.authorization = read_auth(a),
                                             .namespace_name = a.required("namespace"),
                                             .config_directory = a.required("config")}));
         }},
        {"install",
         m::install,
         "[--auth FILE] --bundle PATH --sysconfig DIR --namespace NS [--user NAME]",
         {"auth", "bundle", "sysconfig", "namespace", "user"},
         0,
         [](helper_client_t& c, const arguments& a) {
             return shown(c.install_application({.authorization = read_auth(a),
                                                 .bundle_path = a.required("bundle"),
                                                 .sysconfig_path = a.required("sysconfig"),
                                                 .namespace_name = a.required("namespace"),
                                                 .user_name = a.option("user")}));
         }},
        {"uninstall",
         m::uninstall,
         "[--auth FILE] --bundle PATH [--sysconfig DIR] --namespace NS [--user NAME]",
         {"auth", "bundle", "sysconfig", "namespace", "user"},
         0,
         [](helper_client_t& c, const arguments& a) {
             return shown(c.uninstall_application({.authorization = read_auth(a),
                                                   .bundle_path = a.required("bundle"),
                                                   .namespace_name = a.required("namespace"),
                                                   .sysconfig_path = a.option("sysconfig"),
                                                   .user_name = a.option("user")}));
         }},
        {"fix-max-files",
         m::fix_max_files,
         "",
         {},
         0,
         [](helper_client_t& c, const arguments&) { return shown(c.raise_open_files_limit()); }},
        {"reboot",
         m::reboot,
         "",
         {},
         0,
         [](helper_client_t& c, const arguments&) { return shown(c.reboot()); }},
        {"restart",
         m::restart,
         "--bundle PATH",
         {"bundle"},
         0,
         [](helper_client_t& c, const arguments& a) {
             return shown(c.restart_application(a.required("bundle")));
         }},
        namespace_query("start-service", m::start_service, &helper_client_t::start_service),
        namespace_query("quit-service", m::quit_service, &helper_client_t::quit_service),
        namespace_query("is-installed", m::is_service_installed,
                        &helper_client_t::is_service_installed),
        namespace_query("is-disabled", m::is_service_disabled,
                        &helper_client_t::is_service_disabled),
        namespace_query("is-run-at-load", m::is_service_run_at_load,
                        &helper_client_t::is_service_run_at_load),
        namespace_query("is-autostart", m::is_autostart_enabled,
                        &helper_client_t::is_autostart_enabled),
        {"set-autostart",
         m::set_autostart_enabled,
         "on|off NS",
         {},
         2,
         [](helper_client_t& c, const arguments& a) {
             return shown(c.set_autostart_enabled(a.words[1], on_off(a.words[0])));
         }},
        {"set-tray",
         m::set_tray_enabled,
         "TEXT on|off PATH",
         {},
         3,
         [](helper_client_t& c, const arguments& a) {
             return shown(c.set_tray_enabled(a.words[0], on_off(a.words[1]), a.words[2]));
         }},
        {"check-settings-auth",
         m::check_global_settings_auth,
         "[--auth FILE]",
         {"auth"},
         0,
         [](helper_client_t& c, const arguments& a) {
             return shown(c.check_global_settings_right(read_auth(a)));
         }},
        {"set-darkwake",
         m::set_darkwake_mode,
         "MODE",
         {},
         1,
         [](helper_client_t& c, const arguments& a) {
             return shown(c.set_dark_wake_mode(integer(a.words[0])));
         }},
    };
    return table;
}

std::optional<std::string> arguments::option(const std::string& name) const {
    auto found = options.find(name);
    return found == options.end() ? std::nullopt : std::optional(found->second);
}

std::string arguments::required(const std::string& name) const {
    auto value = option(name);
    if (!value) {
        throw usage_error{"missing --" + name};
    }
    return *value;
}
