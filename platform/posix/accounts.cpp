#include "platform/posix/accounts.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// Look-ups grow their buffer on ERANGE, up to a bound.
constexpr std::size_t k_max_lookup_buffer = 1 << 20;

// Runs look_up(entry, buffer, size, result) with a growing buffer; what take makes of the entry
// found, or nothing.
template <typename Entry, typename LookUp, typename Take>
auto find_entry(LookUp look_up, Take take) -> decltype(take(std::declval<const Entry&>())) {
    std::vector<char> buffer(4096);
    while (buffer.size() <= k_max_lookup_buffer) {
        Entry entry{};
        Entry* result = nullptr;
        const int error = look_up(&entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || result == nullptr) {
            return std::nullopt;
        }
        return take(*result);
    }
    return std::nullopt;
}

std::optional<account_t> account_from(const passwd& entry) {
    if (entry.pw_name == nullptr) {
        return std::nullopt;
    }
    return account_t{entry.pw_name, entry.pw_uid, entry.pw_gid,
                     entry.pw_dir != nullptr ? entry.pw_dir : ""};
}

}  // namespace

std::optional<account_t> account_of(uid_t uid) {
    return find_entry<passwd>(
        [uid](passwd* entry, char* buffer, std::size_t size, passwd** result) {
            return ::getpwuid_r(uid, entry, buffer, size, result);
        },
        account_from);
}

std::optional<account_t> account_named(const std::string& name) {
    return find_entry<passwd>(
        [&name](passwd* entry, char* buffer, std::size_t size, passwd** result) {
            return ::getpwnam_r(name.c_str(), entry, buffer, size, result);
        },
        account_from);
}

std::optional<gid_t> group_named(const std::string& name) {
    return find_entry<group>(
        [&name](group* entry, char* buffer, std::size_t size, group** result) {
            return ::getgrnam_r(name.c_str(), entry, buffer, size, result);
        },
        [](const group& entry) { return std::optional<gid_t>(entry.gr_gid); });
}

bool is_group_member(const account_t& account, gid_t group) {
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
    return false;
}
