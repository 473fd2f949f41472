#pragma once

#include <string>
#include <string_view>

#include "platform/plist/bundle.h"

// The daemon's own information property list and launchd job property list, embedded in the
// executable (sections "__info_plist" and "__launchd_plist").
std::string_view embedded_info_plist();
std::string_view embedded_launchd_plist();

// The main bundle: the embedded information property list.
const bundle_t& main_bundle();

// The code requirement a client must satisfy: the last entry of "SMAuthorizedClients". Empty
// when the list has no text there (then nothing satisfies it).
std::string authorized_client_requirement();

constexpr std::string_view k_info_identifier_key = "CFBundleIdentifier";
constexpr std::string_view k_info_version_key = "CFBundleVersion";
constexpr std::string_view k_info_authorized_clients_key = "SMAuthorizedClients";
