// Hostile arguments through every remote method of the real daemon: whatever an admitted client
// sends, the daemon stays up, changes only what the called method owns, runs no tool on anything
// else, lets nothing reach a shell, and keeps its trace one line per entry.
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <corvana/helper_client.h>

#include "base/unique_fd.h"
#include "client/helper_connection.h"
#include "core/protocol.h"
#include "platform/ipc/xpc_message.h"
#include "platform/plist/property_list.h"
#include "platform/plist/utf8.h"
#include "protocol/protocol_methods.h"
#include "protocol/types.h"
#include "tests/support/client_role.h"
#include "tests/support/daemon_session.h"
#include "tests/support/fake_tools.h"
#include "tests/support/files.h"
#include "tests/support/signing.h"
#include "tests/support/trace_capture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
using tests::write_file;

// ---------------------------------------------------------------------------------------------
// The installation the calls are made against.

const std::string source_bundle = "/srv/source/Corvana.app";
// The uninstall removes only the application's bundle in "/Applications".
const std::string uninstalled_bundle = "/Applications/Uninstalled.app";
// Signed by the test program itself: the process that makes the calls signs nothing, since every
// process signs with a test chain of its own and installs that chain's root as the trust anchor.
const std::string uninstalled_template = "/srv/template/Uninstalled.app";
const std::string config_source = "/srv/config";
const std::string started_marker = "/tmp/hostile-started";
// A bundle-looking link to a directory nobody may remove through it, and bait at the places the
// path escapes point to.
const std::string victim_link = "/srv/hostile/Victim.app";
const std::string victim_directory = "/etc/hostile-victim";
const std::string pwned = "/tmp/pwned";

// The application: only it is installed or uninstalled.
void make_bundle(const std::string& path) {
    write_file(path + "/Contents/Info.plist", tests::application_info_plist(),
               fs::perms::owner_read | fs::perms::owner_write);
    write_file(path + "/Contents/MacOS/Corvana",
               "#!/bin/sh\necho \"$@\" >> " + started_marker + "\n", fs::perms::owner_all);
    tests::sign_bundle(path);
}

void prepare_installation() {
    for (const char* dir : {"/Applications", "/Library/LaunchDaemons", "/Library/LaunchAgents",
                            "/Library/PrivilegedHelperTools", "/srv"}) {
        fs::create_directories(dir);
    }
    make_bundle(source_bundle);
    make_bundle(uninstalled_template);
    write_file(config_source + "/system.conf", "system", fs::perms::owner_read);
    write_file(config_source + "/service.conf", "service", fs::perms::owner_read);
    write_file(victim_directory + "/keep", "keep", fs::perms::owner_read);
    write_file("/etc/hostile.app/keep", "keep", fs::perms::owner_read);
}

// What a call may have removed, made again before the next one.
void restore_removable_fixtures() {
    if (!fs::exists(uninstalled_bundle)) {
        fs::copy(uninstalled_template, uninstalled_bundle, fs::copy_options::recursive);
    }
    if (!fs::is_symlink(victim_link)) {
        fs::create_directories(fs::path(victim_link).parent_path());
        fs::create_directory_symlink(victim_directory, victim_link);
    }
}

// ---------------------------------------------------------------------------------------------
// The hostile values. Each goes to text arguments as text and to data arguments as its bytes.

struct hostile_t {
    std::string name;
    std::optional<std::string> bytes;  // nothing: nil
    // The client library refuses to send it alone as text (NUL, invalid UTF-8, too large) or
    // as data (too large).
    bool unsendable_text = false;
    bool unsendable_data = false;
};

// A complete line of the daemon's trace, which a line feed in a logged argument would forge.
std::string forged_trace_line() {
    char line[256];
    std::snprintf(line, sizeof line,
                  "%7s %04i-%02i-%02i %02i:%02i:%02i.%03i %10s %6s %6u %6u %4s %32s - %s", "error",
                  2001, 1, 1, 0, 0, 0, 0, "helper", "main", 1u, 1u, "", "helper_tool",
                  "forged by a client");
    return line;
}

const std::vector<hostile_t>& hostile_values() {
    static const std::vector<hostile_t> values = {
        {"nil", std::nullopt},
        {"empty", std::string()},
        {"1 MiB", std::string(1 << 20, 'a'), true, true},
        {"60 KiB", std::string(60 * 1024, 'a')},
        {"NUL bytes", std::string("corvana\0/etc/passwd", 19), true},
        {"32 zero bytes", std::string(32, '\0'), true},
        {"32 bytes of 0xff", std::string(32, '\xff'), true},
        {"parent directory", "../"},
        {"relative escape", "../../../../etc/passwd"},
        {"absolute escape", "/Applications/../../../../etc/hostile.app"},
        // The escapes would move a reader's cursor up and wipe the line that tells the truth.
        {"line feeds and terminal escapes",
         "corvana\n" + forged_trace_line() + "\x1b[1A\x1b[2K\r\n"},
        {"command substitution", "$(touch " + pwned + ")"},
        {"backquotes", "`touch " + pwned + "`"},
        {"separators", "corvana; touch " + pwned + " | touch " + pwned + " && touch " + pwned},
        {"quotes", "corvana' \"; touch " + pwned + "; echo \" '"},
        {"metacharacters in a bundle path",
         "/tmp/$(touch " + pwned + ");`touch " + pwned + "`|'\"&.app"},
        {"wildcard", "*"},
        {"format directives", "%s%s%s%n%n%n%S"},
        {"invalid UTF-8", "corvana\xff\xfe\xc0\xaf\xed\xa0\x80", true},
        {"link to a protected directory", victim_link},
    };
    return values;
}

wire_value as_text(const hostile_t& value) {
    return value.bytes ? wire_value{*value.bytes} : wire_value{wire_nil{}};
}

wire_value as_data(const hostile_t& value) {
    if (!value.bytes) {
        return wire_nil{};
    }
    return wire_bytes(value.bytes->begin(), value.bytes->end());
}

bool valid_namespace(const wire_value& value) {
    const auto* text = std::get_if<std::string>(&value);
    if (text == nullptr || text->empty()) {
        return false;
    }
    for (char c : *text) {
        const bool allowed =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The methods: what each argument is for, and what a call of each owns on disk. Every method of
// the protocol, in its order, each argument's role of its kind (a test below checks).

enum class role_t { auth, ns, bundle, config, user, text, flag, number };

struct method_t {
    protocol::method id;
    std::vector<role_t> roles;
};

using m = protocol::method;

const std::vector<method_t>& methods() {
    using r = role_t;
    static const std::vector<method_t> all = {
        {m::get_version, {}},
        {m::install_service, {r::auth, r::ns, r::config}},
        {m::install, {r::auth, r::bundle, r::config, r::ns, r::user}},
        {m::uninstall, {r::auth, r::bundle, r::config, r::ns, r::user}},
        {m::fix_max_files, {}},
        {m::restart, {r::bundle}},
        {m::reboot, {}},
        {m::start_service, {r::ns}},
        {m::is_service_installed, {r::ns}},
        {m::is_service_disabled, {r::ns}},
        {m::is_service_run_at_load, {r::ns}},
        {m::set_tray_enabled, {r::text, r::flag, r::bundle}},
        {m::quit_service, {r::ns}},
        {m::check_global_settings_auth, {r::auth}},
        {m::set_darkwake_mode, {r::number}},
        {m::is_autostart_enabled, {r::ns}},
        {m::set_autostart_enabled, {r::flag, r::ns}},
    };
    return all;
}

wire_kind kind_of(role_t role) {
    switch (role) {
        case role_t::auth:
            return wire_kind::data;
        case role_t::flag:
            return wire_kind::boolean;
        case role_t::number:
            return wire_kind::integer;
        default:
            return wire_kind::text;
    }
}

std::string selector_of(const method_t& method) {
    return std::string(protocol::selector(method.id));
}

// Authorizations expire after five minutes: a fresh one well before that.
class authorizations_t {
  public:
    wire_bytes for_right(const std::string& right) {
        auto& entry = issued_[right];
        if (entry.bytes.empty() || clock_type::now() - entry.when > 3min) {
            const std::string path = tests::issue_authorization({right});
            std::ifstream in(path, std::ios::binary);
            entry.bytes.assign(std::istreambuf_iterator<char>(in), {});
            entry.when = clock_type::now();
            fs::remove(path);
        }
        return entry.bytes;
    }

  private:
    struct entry_t {
        wire_bytes bytes;
        clock_type::time_point when;
    };
    std::map<std::string, entry_t> issued_;
};

// The arguments of a well-formed call that does its whole job.
wire_value baseline(const method_t& method, role_t role, authorizations_t& auth) {
    switch (role) {
        case role_t::auth:
            return auth.for_right(std::string(protocol::right_name(method.id)));
        case role_t::ns:
            return std::string("corvana");
        case role_t::bundle:
            return method.id == m::uninstall ? uninstalled_bundle
                   : method.id == m::install ? source_bundle
                                             : std::string("/Applications/Corvana.app");
        case role_t::config:
            return config_source;
        case role_t::user:
            return std::string("root");
        case role_t::text:
            return std::string("tray");
        case role_t::flag:
            return true;
        case role_t::number:
            return std::int64_t{1};
    }
    return wire_nil{};
}

struct call_t {
    const method_t* method;
    std::vector<wire_value> args;
    std::vector<bool> hostile;  // per argument
    std::string label;

    const wire_value* arg(role_t role, bool* was_hostile = nullptr) const {
        for (std::size_t i = 0; i < method->roles.size(); ++i) {
            if (method->roles[i] == role) {
                if (was_hostile != nullptr) {
                    *was_hostile = hostile[i];
                }
                return &args[i];
            }
        }
        return nullptr;
    }
};

// A path that names what its text says: absolute, no empty, "." or ".." component.
bool plain_absolute(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return false;
    }
    std::stringstream parts(path.substr(1));
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
    }
    return path.back() != '/';
}

// Patterns (fnmatch, "*" crossing "/") of the paths a call may create, change or remove; each
// also covers everything below it.
struct owned_t {
    std::vector<std::string> exact;
    std::vector<std::string> casefold;

    bool covers(const std::string& path) const {
        auto match = [&](const std::vector<std::string>& patterns, int flags) {
            for (const auto& p : patterns) {
                if (::fnmatch(p.c_str(), path.c_str(), flags) == 0 ||
                    ::fnmatch((p + "/*").c_str(), path.c_str(), flags) == 0) {
                    return true;
                }
            }
            return false;
        };
        return match(exact, 0) || match(casefold, FNM_CASEFOLD);
    }
};

// Every call may append to the daemon's trace and see a started application note its start;
// the test client writes its own output. The authorization database is read by every check.
owned_t always_owned() {
    return owned_t{{tests::k_daemon_trace, started_marker, "/tmp/client-role-*", "/var/db/auth.db",
                    "/var/db/auth.db-*"},
                   {}};
}

owned_t owned_by(const call_t& call) {
    owned_t owned = always_owned();
    bool auth_hostile = false;
    if (call.arg(role_t::auth, &auth_hostile) != nullptr && auth_hostile) {
        return owned;
    }
    const wire_value* ns_value = call.arg(role_t::ns);
    if (ns_value == nullptr || !valid_namespace(*ns_value)) {
        return owned;
    }
    const std::string ns = std::get<std::string>(*ns_value);
    const std::string service_file =
        "/Library/LaunchDaemons/com.quillmark." + ns + ".service.plist";
    const std::string agent_file = "/Library/LaunchAgents/com.quillmark." + ns + ".Frontend.plist";
    std::string hyphenated = ns;
    std::replace(hyphenated.begin(), hyphenated.end(), '_', '-');
    switch (call.method->id) {
        case m::install_service:
        case m::install:
            // The records of what the helper made for the namespace.
            owned.exact.insert(owned.exact.end(),
                               {service_file, agent_file, "/var/log/" + ns + ".trace",
                                "/Applications/Corvana.app", "/var/db/corvana-helper"});
            if (!ns.empty()) {
                owned.exact.push_back("/etc/" + ns);
            }
            if (call.method->id == m::install) {
                // Stale job files of every installation go, and helpers' job files but its own.
                owned.casefold.insert(
                    owned.casefold.end(),
                    {"/Library/LaunchDaemons/com.quillmark.corvana*.service.plist",
                     "/Library/LaunchAgents/com.quillmark.corvana*.Frontend.plist",
                     "/Library/LaunchDaemons/com.quillmark.corvana*.Helper.plist"});
            }
            break;
        case m::uninstall: {
            owned.casefold.insert(owned.casefold.end(),
                                  {"/Library/LaunchAgents/com.quillmark." + ns + ".*",
                                   "/Library/LaunchDaemons/com.quillmark." + ns + ".*"});
            owned.exact.insert(
                owned.exact.end(),
                {"/Library/PrivilegedHelperTools/com.quillmark." + hyphenated + ".Helper",
                 "/Library/LaunchDaemons/com.quillmark." + hyphenated + ".Helper.plist"});
            const auto* bundle = std::get_if<std::string>(call.arg(role_t::bundle));
            if (bundle != nullptr && bundle->ends_with(".app") && plain_absolute(*bundle) &&
                bundle->find_first_of("*?[") == std::string::npos) {
                owned.exact.push_back(*bundle);
            }
            break;
        }
        case m::start_service:          // enables a disabled job file
        case m::set_autostart_enabled:  // both job files
            owned.exact.insert(owned.exact.end(), {service_file, agent_file});
            break;
        default:
            break;
    }
    return owned;
}

// The reply a call must get, where the method's rules leave no doubt.
std::optional<bool> expected_reply(const call_t& call) {
    const m id = call.method->id;
    bool hostile = false;
    if (id == m::set_tray_enabled) {
        return true;  // the tray switch answers YES to anything
    }
    if (id == m::restart) {
        return false;  // the helper never restarts the application
    }
    if (call.arg(role_t::auth, &hostile) != nullptr && hostile) {
        return false;
    }
    const wire_value* ns = call.arg(role_t::ns, &hostile);
    if (ns != nullptr && hostile) {
        const bool query = id == m::is_service_installed || id == m::is_service_disabled ||
                           id == m::is_service_run_at_load || id == m::is_autostart_enabled;
        if (query || !valid_namespace(*ns)) {
            return false;  // no installation has a job file by that name
        }
    }
    const wire_value* bundle = call.arg(role_t::bundle, &hostile);
    if (bundle != nullptr && hostile && (id == m::install || id == m::uninstall)) {
        // Nothing hostile is the application's bundle, to install or to remove.
        return false;
    }
    if (id == m::install_service || id == m::install || id == m::uninstall) {
        return true;  // past the checks, these always finish
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Watching what a call did.

struct node_t {
    fs::file_type type;
    mode_t mode;
    uid_t uid;
    gid_t gid;
    // Files only: a directory's own times change with every entry, which shows up by itself.
    off_t size = 0;
    ino_t inode = 0;
    std::int64_t mtime = 0;
    std::int64_t ctime = 0;
    bool operator==(const node_t&) const = default;
};

using snapshot_t = std::map<std::string, node_t>;

const char* const watched_roots[] = {"/etc",        "/Library",    "/Applications",
                                     "/var/log",    "/tmp",        "/var/db",
                                     "/srv/source", "/srv/config", "/srv/hostile"};

void record(snapshot_t& snapshot, const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return;  // gone while the walk went on
    }
    node_t node{fs::symlink_status(path).type(), info.st_mode, info.st_uid, info.st_gid};
    if (!S_ISDIR(info.st_mode)) {
        node.size = info.st_size;
        node.inode = info.st_ino;
        node.mtime = info.st_mtim.tv_sec * 1000000000ll + info.st_mtim.tv_nsec;
        node.ctime = info.st_ctim.tv_sec * 1000000000ll + info.st_ctim.tv_nsec;
    }
    snapshot[path] = node;
}

snapshot_t take_snapshot() {
    snapshot_t snapshot;
    for (const char* root : watched_roots) {
        record(snapshot, root);
        std::error_code error;
        fs::recursive_directory_iterator walk(root, fs::directory_options::skip_permission_denied,
                                              error);
        for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
            // A checkout under /tmp is bound into the sandbox; the test run itself writes there.
            const std::string path = walk->path().string();
            if (path == CORVANA_SOURCE_DIR || path == CORVANA_BINARY_DIR) {
                walk.disable_recursion_pending();
                continue;
            }
            record(snapshot, path);
        }
    }
    return snapshot;
}

std::vector<std::string> changed_paths(const snapshot_t& before, const snapshot_t& after) {
    std::vector<std::string> changed;
    for (const auto& [path, node] : before) {
        auto it = after.find(path);
        if (it == after.end() || !(it->second == node)) {
            changed.push_back(path);
        }
    }
    for (const auto& [path, node] : after) {
        if (!before.contains(path)) {
            changed.push_back(path);
        }
    }
    return changed;
}

std::string shown(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 160)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return text.size() > 160 ? out + "...(" + std::to_string(text.size()) + " bytes)" : out;
}

// The daemon's trace from a remembered offset: every line it added must be one whole trace line,
// and none may be a line a client wrote for it.
class trace_watch_t {
  public:
    void mark() { offset_ = size(); }

    void check(const std::string& label) {
        const std::uintmax_t now = size();
        // A trim moved everything: its first line is the partial one it cut.
        const bool trimmed = now < offset_;
        std::ifstream in(tests::k_daemon_trace, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(trimmed ? 0 : offset_));
        std::string line;
        bool first = true;
        while (std::getline(in, line)) {
            if (std::exchange(first, false) && trimmed) {
                continue;
            }
            if (line.empty()) {
                continue;
            }
            tests::trace_line_t parsed;
            EXPECT_TRUE(tests::parse_trace_line(line, &parsed))
                << label << ": not a trace line: " << shown(line);
            EXPECT_FALSE(parsed.message.starts_with("forged by a client"))
                << label << ": a client's text became a line of its own: " << shown(line);
            EXPECT_EQ(std::count_if(line.begin(), line.end(),
                                    [](char c) { return (c >= 0 && c < 0x20) || c == 0x7f; }),
                      0)
                << label << ": a control character reached the trace: " << shown(line);
        }
        offset_ = size();
    }

  private:
    static std::uintmax_t size() {
        std::error_code error;
        const auto bytes = fs::file_size(tests::k_daemon_trace, error);
        return error ? 0 : bytes;
    }
    std::uintmax_t offset_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Talking to the daemon, politely and not.

// Sends as much as the peer takes: a peer that refuses a frame may close before reading it all.
void send_what_fits(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

// True when the daemon closed the connection without a byte of answer.
bool dropped_without_answer(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) {
        return false;
    }
    char byte;
    return ::recv(fd, &byte, 1, 0) <= 0;
}

std::vector<std::uint8_t> framed(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> out;
    const auto length = static_cast<std::uint32_t>(payload.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<std::uint8_t> binary_of(const plist_node_t& root) {
    char* raw = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &raw, &length);
    std::unique_ptr<char, decltype(&plist_to_bin_free)> bytes(raw, &plist_to_bin_free);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes.get());
    return std::vector<std::uint8_t>(begin, begin + (bytes ? length : 0));
}

void replace_all(std::vector<std::uint8_t>& bytes, const std::string& from, const std::string& to) {
    for (auto it = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
         it != bytes.end(); it = std::search(it, bytes.end(), from.begin(), from.end())) {
        it = std::copy(to.begin(), to.end(), it);
    }
}

// A stand-in of the same length that the encoder writes as an ASCII string object.
std::string placeholder_for(const std::string& text, unsigned seed) {
    std::string out(text.size(), 'x');
    unsigned state = seed * 2654435761u + 1;
    for (auto& c : out) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>('A' + (state >> 16) % 26);
    }
    return out;
}

// The request as a careless peer would encode it: no size limit, and texts the client refuses
// (NUL bytes, invalid UTF-8) written as ASCII string objects holding exactly their bytes.
std::vector<std::uint8_t> crafted_frame(const std::string& selector,
                                        const std::vector<wire_value>& args) {
    std::vector<std::pair<std::string, std::string>> patches;
    plist_node_t root(plist_new_dict());
    plist_dict_set_item(root.get(), "selector", plist_new_string(selector.c_str()));
    plist_dict_set_item(root.get(), "id", plist_new_uint(1));
    plist_t list = plist_new_array();
    for (const auto& arg : args) {
        if (const auto* text = std::get_if<std::string>(&arg)) {
            std::string written = *text;
            if (text->find('\0') != std::string::npos || !is_valid_utf8(*text)) {
                written = placeholder_for(*text, static_cast<unsigned>(patches.size()));
                patches.emplace_back(written, *text);
            }
            plist_array_append_item(list, plist_new_string(written.c_str()));
        } else if (const auto* data = std::get_if<wire_bytes>(&arg)) {
            plist_array_append_item(
                list, plist_new_data(reinterpret_cast<const char*>(data->data()), data->size()));
        } else if (const auto* flag = std::get_if<bool>(&arg)) {
            plist_array_append_item(list, plist_new_bool(*flag ? 1 : 0));
        } else if (const auto* number = std::get_if<std::int64_t>(&arg)) {
            plist_array_append_item(list, plist_new_uint(static_cast<std::uint64_t>(*number)));
        } else {
            plist_array_append_item(list, plist_new_dict());
        }
    }
    plist_dict_set_item(root.get(), "args", list);
    std::vector<std::uint8_t> payload = binary_of(root);
    for (const auto& [from, to] : patches) {
        replace_all(payload, from, to);
    }
    return framed(payload);
}

// One admitted connection, made again whenever a call left it unusable.
class session_t {
  public:
    helper_connection_t& client() {
        if (!client_) {
            auto connected = helper_connection_t::connect(helper_socket_path(),
                                                          corvana::k_default_connect_timeout);
            if (!connected) {
                ADD_FAILURE() << "cannot connect: " << connected.error().message;
                std::abort();
            }
            client_.emplace(std::move(*connected));
        }
        return *client_;
    }
    void drop() { client_.reset(); }

    // Whether the daemon still answers: its version, or nothing.
    std::optional<ns_string> get_version() {
        const auto reply = client().call(protocol::selector(protocol::method::get_version), {},
                                         corvana::k_default_call_timeout);
        if (const auto* text = reply ? std::get_if<std::string>(&*reply) : nullptr) {
            return ns_string(*text);
        }
        return std::nullopt;
    }

  private:
    std::optional<helper_connection_t> client_;
};

// ---------------------------------------------------------------------------------------------
// One call under watch.

class prober_t {
  public:
    void probe(const call_t& call) {
        restore_removable_fixtures();
        const std::string selector = selector_of(*call.method);
        const std::size_t tool_calls_before = tests::fake_tools::calls().size();
        trace_.mark();
        const snapshot_t before = take_snapshot();

        if (encode_request(wire_request{selector, 1, call.args})) {
            const auto reply = session_.client().call(selector, call.args,
                                                      corvana::k_default_guarded_call_timeout);
            EXPECT_TRUE(reply.has_value()) << call.label << ": " << reply.error().message;
            if (!reply) {
                session_.drop();
            } else if (protocol::info(call.method->id).reply == wire_kind::integer) {
                EXPECT_TRUE(std::holds_alternative<std::int64_t>(*reply)) << call.label;
            } else if (protocol::info(call.method->id).reply == wire_kind::boolean) {
                const auto* answer = std::get_if<bool>(&*reply);
                EXPECT_NE(answer, nullptr) << call.label << ": not a BOOL reply";
                if (const auto expected = expected_reply(call); answer && expected) {
                    EXPECT_EQ(*answer, *expected) << call.label;
                }
            }
        } else {
            // The client refuses to send it; a peer that does not care sends it anyway.
            unique_fd fd = tests::raw_connection();
            ASSERT_TRUE(fd) << call.label;
            send_what_fits(fd.get(), crafted_frame(selector, call.args));
            EXPECT_TRUE(dropped_without_answer(fd.get())) << call.label << ": not refused";
        }

        const auto version = session_.get_version();
        EXPECT_EQ(version, ns_string("2.6")) << call.label << ": the daemon stopped answering";
        if (!version) {
            session_.drop();
        }

        const owned_t owned = owned_by(call);
        for (const auto& path : changed_paths(before, take_snapshot())) {
            EXPECT_TRUE(owned.covers(path)) << call.label << ": changed " << shown(path);
        }
        const auto tool_calls = tests::fake_tools::calls();
        for (std::size_t i = tool_calls_before; i < tool_calls.size(); ++i) {
            for (std::size_t a = 1; a < tool_calls[i].size(); ++a) {
                const std::string& arg = tool_calls[i][a];
                EXPECT_FALSE(arg.starts_with("/") && !owned.covers(arg))
                    << call.label << ": " << tool_calls[i][0] << " ran on " << shown(arg);
                EXPECT_EQ(arg.find("pwned"), std::string::npos)
                    << call.label << ": " << tool_calls[i][0] << " got " << shown(arg);
                EXPECT_EQ(arg.find("passwd"), std::string::npos)
                    << call.label << ": " << tool_calls[i][0] << " got " << shown(arg);
            }
        }
        EXPECT_FALSE(fs::exists(pwned)) << call.label << ": a shell ran a client's text";
        fs::remove(pwned);
        trace_.check(call.label);
        ++count_;
    }

    std::size_t count() const { return count_; }
    authorizations_t& auth() { return auth_; }

  private:
    session_t session_;
    trace_watch_t trace_;
    authorizations_t auth_;
    std::size_t count_ = 0;
};

bool text_or_data(role_t role) {
    return role != role_t::flag && role != role_t::number;
}

call_t baseline_call(prober_t& prober, const method_t& method) {
    call_t call{&method, {}, std::vector<bool>(method.roles.size(), false), selector_of(method)};
    for (role_t role : method.roles) {
        call.args.push_back(baseline(method, role, prober.auth()));
    }
    return call;
}

TEST(HostileInputMethods, EveryMethodOfTheProtocolInItsOrderWithArgumentsOfItsKinds) {
    const auto& all = methods();
    ASSERT_EQ(all.size(), protocol::methods.size()) << "a method of the protocol is not probed";
    for (std::size_t at = 0; at < all.size(); ++at) {
        const method_t& method = all[at];
        const auto& info = protocol::info(method.id);
        EXPECT_EQ(static_cast<std::size_t>(method.id), at) << info.selector;
        std::vector<wire_kind> kinds;
        for (role_t role : method.roles) {
            kinds.push_back(kind_of(role));
        }
        EXPECT_TRUE(std::ranges::equal(kinds, info.arguments())) << info.selector;
        EXPECT_EQ(info.guarded(), !method.roles.empty() && method.roles[0] == role_t::auth)
            << info.selector;
    }
}

// Each hostile value in one argument at a time, the others as a working call has them.
CORVANA_ROLE(HostileAlone) {
    prober_t prober;
    for (const auto& method : methods()) {
        for (std::size_t i = 0; i < method.roles.size(); ++i) {
            if (!text_or_data(method.roles[i])) {
                continue;
            }
            for (const auto& value : hostile_values()) {
                call_t call = baseline_call(prober, method);
                const bool data = method.roles[i] == role_t::auth;
                call.args[i] = data ? as_data(value) : as_text(value);
                call.hostile[i] = true;
                call.label += " argument " + std::to_string(i + 1) + " = " + value.name;
                EXPECT_EQ(!encode_request({selector_of(method), 1, call.args}),
                          data ? value.unsendable_data : value.unsendable_text)
                    << call.label
                    << ": the client library sends what it should not, or the reverse";
                prober.probe(call);
            }
        }
    }
    std::printf("probed %zu calls\n", prober.count());
}

// Each hostile value in every text and data argument at once; the methods without any are
// called as they are, and the int of the dark-wake setting gets the extremes.
CORVANA_ROLE(HostileAllAtOnce) {
    prober_t prober;
    for (const auto& method : methods()) {
        if (std::none_of(method.roles.begin(), method.roles.end(), text_or_data)) {
            prober.probe(baseline_call(prober, method));
            continue;
        }
        for (const auto& value : hostile_values()) {
            call_t call = baseline_call(prober, method);
            for (std::size_t i = 0; i < method.roles.size(); ++i) {
                if (text_or_data(method.roles[i])) {
                    call.args[i] =
                        method.roles[i] == role_t::auth ? as_data(value) : as_text(value);
                    call.hostile[i] = true;
                }
            }
            call.label += " all arguments = " + value.name;
            prober.probe(call);
        }
    }
    const method_t& darkwake = methods()[static_cast<std::size_t>(m::set_darkwake_mode)];
    for (std::int64_t mode : {std::int64_t{-1}, std::int64_t{INT32_MIN}, std::int64_t{INT64_MAX},
                              std::int64_t{1} << 32}) {
        call_t call = baseline_call(prober, darkwake);
        call.args[0] = mode;
        call.label += " mode " + std::to_string(mode);
        prober.probe(call);
    }
    std::printf("probed %zu calls\n", prober.count());
}

// Messages no client library writes: each is refused and its connection dropped, and the
// daemon goes on serving.
CORVANA_ROLE(CraftedMessages) {
    session_t session;
    ASSERT_EQ(session.get_version(), ns_string("2.6"));
    const std::string version = "get_version_with_reply:";
    const std::string query = "is_service_installed_with_namespace:with_reply:";

    auto patched = [](std::vector<std::uint8_t> frame, const std::string& from,
                      const std::string& to) {
        replace_all(frame, from, to);
        return frame;
    };
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> cases = {
        {"invalid UTF-8 in the selector",
         patched(crafted_frame(version, {}), version, "get_version\xff\xfeith_reply:")},
        {"NUL in the selector",
         patched(crafted_frame(version, {}), version, std::string("get_version\0with_reply:", 23))},
        {"NUL in a dictionary key",
         patched(crafted_frame(version, {}), "selector", std::string("sel\0ctor", 8))},
        {"NUL in every dictionary key",
         patched(patched(patched(crafted_frame(query, {std::string("corvana")}), "selector",
                                 std::string("sel\0ctor", 8)),
                         "args", std::string("a\0gs", 4)),
                 "id", std::string("\0d", 2))},
        {"NUL inside a text argument",
         patched(crafted_frame(query, {std::string("corvanaXnamespace")}), "corvanaXnamespace",
                 std::string("corvana\0namespace", 17))},
        {"ASCII string object with bytes past 0x7f",
         patched(crafted_frame(query, {std::string("corvana")}), "corvana", "corv\xe1\x80\xff")},
    };

    // An argument nested as deep as a frame can carry.
    {
        plist_t nested = plist_new_string("corvana");
        for (int level = 0; level < 8000; ++level) {
            plist_t outer = plist_new_array();
            plist_array_append_item(outer, nested);
            nested = outer;
        }
        plist_node_t root(plist_new_dict());
        plist_dict_set_item(root.get(), "selector", plist_new_string(query.c_str()));
        plist_dict_set_item(root.get(), "id", plist_new_uint(1));
        plist_t list = plist_new_array();
        plist_array_append_item(list, nested);
        plist_dict_set_item(root.get(), "args", list);
        cases.emplace_back("nesting 8000 deep", framed(binary_of(root)));
    }

    for (const auto& [name, frame] : cases) {
        unique_fd fd = tests::raw_connection();
        ASSERT_TRUE(fd) << name;
        send_what_fits(fd.get(), frame);
        EXPECT_TRUE(dropped_without_answer(fd.get())) << name << ": not refused";
        EXPECT_EQ(session.get_version(), ns_string("2.6"))
            << name << ": the daemon stopped answering";
        session.drop();
    }
    std::printf("probed %zu calls\n", cases.size());
}

// ---------------------------------------------------------------------------------------------
// The outer tests: a fresh daemon each, the signed client playing the role.

class HostileInput : public ::testing::Test {
  protected:
    void SetUp() override {
        prepare_installation();
        tests::fake_tools::reset();
        fs::remove(pwned);
        fs::remove(tests::k_daemon_trace);
        daemon_ = std::make_unique<tests::daemon_session>();
    }

    void run_role(const std::string& role, std::size_t least_refusals) {
        auto client = tests::start_client_role(role, {});
        const int status = client->wait(580s);
        const std::string output = client->output();
        EXPECT_EQ(status, 0) << output;
        const auto summary = output.find("probed ");
        EXPECT_NE(summary, std::string::npos) << output;
        if (summary != std::string::npos) {
            std::printf("%s",
                        output.substr(summary, output.find('\n', summary) - summary + 1).c_str());
        }

        EXPECT_FALSE(daemon_->wait_exit(0ms).has_value()) << "the daemon ended";
        EXPECT_EQ(daemon_->helperctl({"version"}).out, "2.6\n");
        EXPECT_FALSE(fs::exists(pwned));
        EXPECT_TRUE(fs::exists(victim_directory + "/keep"));
        EXPECT_TRUE(fs::exists("/etc/hostile.app/keep"));
        EXPECT_TRUE(fs::exists("/etc/passwd"));

        // Every refused message says so in the trace.
        std::size_t refusals = 0;
        for (const auto& line : tests::trace_messages(tests::k_daemon_trace, "warning")) {
            refusals += line.starts_with("refused a message from pid");
        }
        EXPECT_GE(refusals, least_refusals);
    }

    std::unique_ptr<tests::daemon_session> daemon_;
};

TEST_F(HostileInput, EachArgumentAlone) {
    run_role("HostileAlone", 60);
}

TEST_F(HostileInput, AllArgumentsAtOnce) {
    run_role("HostileAllAtOnce", 40);
}

TEST_F(HostileInput, CraftedMessages) {
    run_role("CraftedMessages", 7);
}

}  // namespace
