#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvana {

// The request structs are meant for designated initializers; every member has a default, so a
// field left out (an optional one) draws no warning.

// An authorization in its 32-byte external form, as helper_client_t::make_authorization() makes
// it (or `corvana-helperctl authorize` issues it). Keep it secret, as a password.
using authorization_t = std::vector<std::uint8_t>;

// Install the application bundle into /Applications with its namespace's job files and global
// configuration, then start it. The bundle must be the application: its code must satisfy the
// helper's client requirement.
struct install_request {
    authorization_t authorization{};
    std::string bundle_path{};
    // The directory of the global configuration files to install.
    std::string sysconfig_path{};
    // The installation's namespace, which names its jobs and files.
    std::string namespace_name{};
    // Carried as the protocol has it; the helper does not act on it.
    std::optional<std::string> user_name{};
};

// Remove the namespace's job files, helper files and the bundle, which must be the application's
// bundle directly in /Applications.
struct uninstall_request {
    authorization_t authorization{};
    std::string bundle_path{};
    std::string namespace_name{};
    // These two are carried as the protocol has them; the helper does not act on them.
    std::optional<std::string> sysconfig_path{};
    std::optional<std::string> user_name{};
};

// Write the namespace's service and agent job files and global configuration. The helper reads
// the configuration files with the caller's access.
struct service_install_request {
    authorization_t authorization{};
    std::string namespace_name{};
    std::string config_directory{};
};

}  // namespace corvana
