#include "platform/posix/accounts.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Look-ups grow their buffer on ERANGE, up to a bound.
constexpr std::size_t k_max_lookup_buffer = 1 << 20;

// Runs look_up(entry, buffer, size, result) with a growing buffer; what take makes of the entry
// found, or a failure that names what was looked for.
template <typename Entry, typename LookUp, typename Take>
auto find_entry(LookUp look_up, Take take, const std::string& sought)
    -> decltype(take(std::declval<const Entry&>())) {
    std::vector<char> buffer(4096);
    while (buffer.size() <= k_max_lookup_buffer) {
        Entry entry{};
        Entry* result = nullptr;
        const int error = look_up(&entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0) {
            return result_factories_t::system_failure(
                error, "could not look up " + sought + ": " + std::strerror(error));
        }
        if (result == nullptr) {
            return result_factories_t::failure("no " + sought);
        }
        return take(*result);
    }
    return result_factories_t::system_failure(
        ERANGE, "could not look up " + sought + ": the entry is too large");
}

result<account_t> account_from(const passwd& entry) {
    if (entry.pw_name == nullptr) {
        return result<>::failure("an account without a name");
    }
    return account_t{entry.pw_name, entry.pw_uid, entry.pw_gid,
                     entry.pw_dir != nullptr ? entry.pw_dir : ""};
}

}  // namespace

result<account_t> account_of(uid_t uid) {
    return find_entry<passwd>(
        [uid](passwd* entry, char* buffer, std::size_t size, passwd** result) {
            return ::getpwuid_r(uid, entry, buffer, size, result);
        },
        account_from, "user with uid " + std::to_string(uid));
}

result<account_t> account_named(const std::string& name) {
    return find_entry<passwd>(
        [&name](passwd* entry, char* buffer, std::size_t size, passwd** result) {
            return ::getpwnam_r(name.c_str(), entry, buffer, size, result);
        },
        account_from, "user named " + name);
}

result<gid_t> group_named(const std::string& name) {
    return find_entry<group>(
        [&name](group* entry, char* buffer, std::size_t size, group** result) {
            return ::getgrnam_r(name.c_str(), entry, buffer, size, result);
        },
        [](const group& entry) { return result<gid_t>(entry.gr_gid); }, "group named " + name);
}

result<bool> is_group_member(const account_t& account, gid_t group) {
    if (account.gid == group) {
        return true;
    }
    int count = 64;
    std::vector<gid_t> groups;
    for (int attempt = 0; attempt < 8; ++attempt) {
        groups.resize(static_cast<std::size_t>(count));
        int found = count;
        if (::getgrouplist(account.name.c_str(), account.gid, groups.data(), &found) >= 0) {
            groups.resize(static_cast<std::size_t>(found));
            return std::find(groups.begin(), groups.end(), group) != groups.end();
        }
        if (found <= count) {
            count *= 2;
        } else {
            count = found;
        }
    }
    return result<>::failure("could not list the groups of " + account.name);
}
