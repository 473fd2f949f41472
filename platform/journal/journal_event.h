#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One entry of the system journal about something the helper was asked to do as root. The
// journal stamps every entry with the sender's pid and uid from the kernel, so an entry with the
// helper's _UID=0 and _PID was written by the helper, unlike a line of its trace file, which the
// application writes too. What the entry says about the client comes from the kernel as well:
// the peer credentials of the connection the helper admitted.

// The kinds of entry, each with its fixed MESSAGE_ID (made once with `systemd-id128 new`).
enum class journal_kind : std::uint8_t {
    install,
    install_service,
    uninstall,
    check_global_settings,
    start_service,
    quit_service,
    set_autostart,
    fix_max_files,
    set_darkwake,
    reboot,
    restart,
    authorization,      // a decision on a right a client asked for
    admission_refused,  // a connection refused before any call was read
};

struct journal_kind_info {
    journal_kind kind;
    std::string_view message_id;
    std::string_view what;  // how the entry's MESSAGE names it
};

inline constexpr auto k_journal_kinds = std::to_array<journal_kind_info>({
    {journal_kind::install, "c910185b45414558bab5c253cd6389f1", "application install"},
    {journal_kind::install_service, "1978bd297d9c4552b582b718670e3c29", "service install"},
    {journal_kind::uninstall, "53aba7e9cf17493dbcda093c6d53d64a", "uninstall"},
    {journal_kind::check_global_settings, "033b371b22064641a3b535c75c09ab75",
     "global settings check"},
    {journal_kind::start_service, "f5c1f9e640e246019118b3345bd28c37", "service start"},
    {journal_kind::quit_service, "1a6bdc9d1b144121a4c168ac6d14dfcd", "service quit"},
    {journal_kind::set_autostart, "a2e9c658aa4f428daea28cea2d401b8b", "autostart change"},
    {journal_kind::fix_max_files, "6530713114b540228b463e06abe1fd8e", "open-files limit check"},
    {journal_kind::set_darkwake, "661efcd42c504f1e9a53005d44b76a1d", "dark wake change"},
    {journal_kind::reboot, "4affd5aaf8494e75ad033d7c9a154602", "reboot"},
    {journal_kind::restart, "0dc22bbf911943fea9b73bf4b7d031c9", "restart"},
    {journal_kind::authorization, "f38d4f9335884efeaec111a4514a5667", "authorization"},
    {journal_kind::admission_refused, "ddca88a61dd544e7813e2f181d302afc", "connection refused"},
});

constexpr const journal_kind_info& journal_kind_of(journal_kind kind) {
    return k_journal_kinds[static_cast<std::size_t>(kind)];
}

// The process at the other end of a connection, as the kernel named it.
struct journal_caller_t {
    pid_t pid = 0;
    uid_t uid = static_cast<uid_t>(-1);
    std::string executable = {};  // empty when unknown
};

struct journal_event_t {
    // Every member has its initializer, so that a call site names only what it knows.
    journal_kind kind = journal_kind::admission_refused;
    std::optional<journal_caller_t> caller = std::nullopt;  // nothing: no client (in-process)
    std::string operation = {};                             // the method's selector
    // What the client named, as it sent it.
    std::optional<std::string> cv_namespace = std::nullopt;
    std::optional<std::string> bundle_path = std::nullopt;
    // The setting asked for (autostart on/off, dark-wake mode).
    std::optional<std::string> value = std::nullopt;
    // Authorization: the right, how it was decided (token, rule, polkit, refused) and the status.
    std::optional<std::string> right = std::nullopt;
    std::optional<std::string> decided_by = std::nullopt;
    std::optional<std::int32_t> status = std::nullopt;
    std::string outcome = {};  // "true", "false" or the reply's value
    std::string reason = {};   // a refusal's cause
    // Entries of this kind not recorded just before this one (the admission refusals' limit), and
    // entries of any kind lost because the journal did not take them in time.
    std::uint64_t suppressed = 0;
    std::uint64_t lost = 0;
};

// The entry's fields in the journal's "NAME=value" form, MESSAGE_ID first. Values are the client's
// bytes unchanged (the native protocol carries any byte, a line feed too); the readable MESSAGE
// shows control characters as \xNN and cuts a client's text at k_journal_shown_text bytes.
inline constexpr std::size_t k_journal_shown_text = 256;
[[nodiscard]] std::vector<std::string> journal_fields(const journal_event_t& event);
