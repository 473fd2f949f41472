#include "platform/posix/file_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "base/unique_fd.h"
#include "platform/posix/directory_entries.h"
#include "platform/posix/path_text.h"
#include "platform/posix/write_all.h"

namespace {

using file_manager::k_max_copy_depth;

std::string error_text(int error) {
    return std::error_code(error, std::generic_category()).message();
}

failure_t failed(const char* verb, const std::string& path, int error) {
    return result<>::system_failure(
        error, "could not " + std::string(verb) + " " + path + ": " + error_text(error));
}

failure_t failed(const char* verb, const std::string& path, const char* reason) {
    return result<>::failure("could not " + std::string(verb) + " " + path + ": " + reason);
}

unique_fd open_directory(const std::string& path) {
    return unique_fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

bool stat_no_follow(const std::string& path, struct stat& info) {
    return ::lstat(path.c_str(), &info) == 0;
}

// --- removal ---------------------------------------------------------------------------------

result<> remove_at(int dir_fd, const std::string& name, const std::string& shown, int depth);

result<> empty_directory(int dir_fd, const std::string& shown, int depth) {
    auto names = list_directory(dir_fd);
    if (!names) {
        return failed("read", shown, names.error());
    }
    for (const auto& name : *names) {
        auto result = remove_at(dir_fd, name, shown + "/" + name, depth);
        if (!result) {
            return result;
        }
    }
    return result<>::success();
}

result<> remove_at(int dir_fd, const std::string& name, const std::string& shown, int depth) {
    if (::unlinkat(dir_fd, name.c_str(), 0) == 0) {
        return result<>::success();
    }
    const int unlink_error = errno;
    if (unlink_error != EISDIR && unlink_error != EPERM) {
        return failed("remove", shown, unlink_error);
    }
    // O_NOFOLLOW: a directory swapped for a link since the unlink is never entered.
    auto child = open_subdirectory(dir_fd, name);
    if (!child) {
        const int error = child.error();
        return failed("remove", shown, error == ENOTDIR || error == ELOOP ? unlink_error : error);
    }
    if (depth >= k_max_copy_depth) {
        return failed("remove", shown, "too deeply nested");
    }
    auto emptied = empty_directory(child->get(), shown, depth + 1);
    if (!emptied) {
        return emptied;
    }
    if (::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0) {
        return failed("remove", shown, errno);
    }
    return result<>::success();
}

// --- copying ---------------------------------------------------------------------------------

struct copy_place {
    int dir_fd;
    const std::string& name;
    const std::string& shown;
};

result<> copy_entry(const copy_place& from, const copy_place& to, int depth);

result<> copy_link(const copy_place& from, const copy_place& to, const struct stat& info) {
    // The length lstat reported may be stale; one more byte tells a grown target apart.
    std::string target(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)) + 1, '\0');
    const ssize_t length =
        ::readlinkat(from.dir_fd, from.name.c_str(), target.data(), target.size());
    if (length < 0) {
        return failed("read the link", from.shown, errno);
    }
    if (static_cast<std::size_t>(length) >= target.size()) {
        return failed("read the link", from.shown, "the link changed while it was read");
    }
    target.resize(static_cast<std::size_t>(length));
    if (::symlinkat(target.c_str(), to.dir_fd, to.name.c_str()) != 0) {
        return failed("create", to.shown, errno);
    }
    return result<>::success();
}

result<> copy_contents(int in, int out, const std::string& shown) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) {
            return result<>::success();
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failed("read", shown, errno);
        }
        if (auto written = write_all(out, buffer, static_cast<std::size_t>(got)); !written) {
            return failed("write", shown, written.error());
        }
    }
}

// The copy is root's, and until its caller has set the modes it wants, nobody else may change
// it: whatever the source allowed, group and others get no write permission.
mode_t kept_mode(mode_t mode) {
    return mode & (S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH | S_ISVTX);
}

result<> copy_open_file(int in, const std::string& from_shown, const copy_place& to, bool& created);

result<> copy_file(const copy_place& from, const copy_place& to, bool& created) {
    // O_NONBLOCK: a pipe swapped in after the type check must not hang the copy.
    unique_fd in(
        ::openat(from.dir_fd, from.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) {
        return failed("open", from.shown, errno);
    }
    return copy_open_file(in.get(), from.shown, to, created);
}

result<> copy_open_file(int in, const std::string& from_shown, const copy_place& to,
                        bool& created) {
    struct stat info {};
    if (::fstat(in, &info) != 0) {
        return failed("read", from_shown, errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return failed("copy", from_shown, "not a regular file");
    }
    ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) & ~O_NONBLOCK);
    unique_fd out(::openat(to.dir_fd, to.name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        return failed("create", to.shown, errno);
    }
    created = true;
    auto copied = copy_contents(in, out.get(), from_shown);
    if (!copied) {
        return copied;
    }
    if (::fchmod(out.get(), kept_mode(info.st_mode)) != 0) {
        return failed("set the mode of", to.shown, errno);
    }
    return result<>::success();
}

// Copies the open directory in, shown as from_shown, to a new directory.
result<> copy_open_directory(int in, const std::string& from_shown, const copy_place& to, int depth,
                             bool& created) {
    struct stat info {};
    if (::fstat(in, &info) != 0) {
        return failed("read", from_shown, errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return failed("copy", from_shown, ENOTDIR);
    }
    if (::mkdirat(to.dir_fd, to.name.c_str(), 0700) != 0) {
        return failed("create", to.shown, errno);
    }
    created = true;
    auto out = open_subdirectory(to.dir_fd, to.name);
    if (!out) {
        return failed("open", to.shown, out.error());
    }
    auto names = list_directory(in);
    if (!names) {
        return failed("read", from_shown, names.error());
    }
    for (const auto& name : *names) {
        const std::string entry_shown = from_shown + "/" + name;
        const std::string to_shown = to.shown + "/" + name;
        auto result = copy_entry({in, name, entry_shown}, {out->get(), name, to_shown}, depth + 1);
        if (!result) {
            return result;
        }
    }
    // Set last: a directory made read-only by its mode must still take its contents.
    if (::fchmod(out->get(), kept_mode(info.st_mode)) != 0) {
        return failed("set the mode of", to.shown, errno);
    }
    return result<>::success();
}

result<> copy_directory(const copy_place& from, const copy_place& to, int depth, bool& created) {
    if (depth >= k_max_copy_depth) {
        return failed("copy", from.shown, "too deeply nested");
    }
    auto in = open_subdirectory(from.dir_fd, from.name);
    if (!in) {
        return failed("open", from.shown, in.error());
    }
    return copy_open_directory(in->get(), from.shown, to, depth, created);
}

result<> copy_entry_tracked(const copy_place& from, const copy_place& to, int depth,
                            bool& created) {
    struct stat info {};
    if (::fstatat(from.dir_fd, from.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return failed("read", from.shown, errno);
    }
    if (S_ISLNK(info.st_mode)) {
        auto result = copy_link(from, to, info);
        created = result.ok();
        return result;
    }
    if (S_ISREG(info.st_mode)) {
        return copy_file(from, to, created);
    }
    if (S_ISDIR(info.st_mode)) {
        return copy_directory(from, to, depth, created);
    }
    return failed("copy", from.shown, "not a file, directory or symbolic link");
}

result<> copy_entry(const copy_place& from, const copy_place& to, int depth) {
    bool created = false;
    return copy_entry_tracked(from, to, depth, created);
}

// The directory that holds path's last component, opened, and that component: everything here
// works relative to the parent, so the item itself is never reached through a link in its path's
// last step. A failure names verb for a name that can't be used.
struct parent_place {
    unique_fd directory;
    std::string name;
};

result<parent_place> open_parent(const std::string& path, const char* verb) {
    auto [parent, name] = split_path(path);
    if (!is_single_path_component(name)) {
        return failed(verb, path, EINVAL);
    }
    unique_fd directory = open_directory(parent);
    if (!directory.valid()) {
        return failed("open", parent, errno);
    }
    return parent_place{std::move(directory), std::move(name)};
}

// Runs a copy to the new item at path; when the copy fails half-way, whatever it had created is
// removed again.
template <typename Copy>
result<> copy_to_new_item(const std::string& path, Copy copy) {
    auto target = open_parent(path, "copy to");
    if (!target) {
        return std::move(target).as_failure();
    }
    bool created = false;
    auto result = copy(copy_place{target->directory.get(), target->name, path}, created);
    if (!result && created) {
        // Leave no half-copied item behind; the copy's own failure is what counts.
        (void)remove_at(target->directory.get(), target->name, path, 0);
    }
    return result;
}

}  // namespace

namespace file_manager {

bool exists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

bool exists_no_follow(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat_no_follow(path, info);
}

bool is_directory_no_follow(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat_no_follow(path, info) && S_ISDIR(info.st_mode);
}

bool is_regular_file_no_follow(const std::string& path) {
    struct stat info {};
    return !path.empty() && stat_no_follow(path, info) && S_ISREG(info.st_mode);
}

result<> create_file(const std::string& path) {
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return failed("create", path, errno);
    }
    return result<>::success();
}

result<> create_directory(const std::string& raw) {
    const std::string path(without_trailing_slashes(raw));
    if (path.empty()) {
        return failed("create", raw, ENOENT);
    }
    std::size_t end = 0;
    while (end != std::string::npos) {
        end = path.find('/', end + 1);
        const std::string prefix = path.substr(0, end);
        if (prefix.empty() || prefix.back() == '/') {
            continue;
        }
        if (::mkdir(prefix.c_str(), 0755) == 0) {
            continue;
        }
        const int error = errno;
        struct stat info {};
        if (error == EEXIST && ::stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            continue;
        }
        return failed("create", prefix, error == EEXIST ? ENOTDIR : error);
    }
    return result<>::success();
}

result<unique_fd> open_directory_no_follow(const std::string& path) {
    auto place = open_parent(path, "open");
    if (!place) {
        return std::move(place).as_failure();
    }
    const int parent_dir = place->directory.get();
    const std::string& name = place->name;
    // By name, without the slash: "link/" would make the kernel follow the link.
    auto directory = open_subdirectory(parent_dir, name);
    if (!directory) {
        const int error = directory.error();
        struct stat info {};
        const bool is_link = ::fstatat(parent_dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                             S_ISLNK(info.st_mode);
        return is_link ? failed("open", path, "a symbolic link, not a directory")
                       : failed("open", path, error);
    }
    return directory;
}

result<> copy_item(const std::string& from, const std::string& to) {
    auto from_place = open_parent(from, "copy");
    if (!from_place) {
        return std::move(from_place).as_failure();
    }
    const copy_place source{from_place->directory.get(), from_place->name, from};
    return copy_to_new_item(to, [&](const copy_place& place, bool& created) {
        return copy_entry_tracked(source, place, 0, created);
    });
}

result<> copy_file_from(int from, const std::string& from_shown, const std::string& to) {
    return copy_to_new_item(to, [&](const copy_place& place, bool& created) {
        return copy_open_file(from, from_shown, place, created);
    });
}

result<> copy_directory_from(int from, const std::string& from_shown, const std::string& to) {
    return copy_to_new_item(to, [&](const copy_place& place, bool& created) {
        return copy_open_directory(from, from_shown, place, 0, created);
    });
}

result<> remove_item(const std::string& path) {
    auto place = open_parent(path, "remove");
    if (!place) {
        return std::move(place).as_failure();
    }
    return remove_at(place->directory.get(), place->name, path, 0);
}

namespace {

void walk(int dir_fd, const std::string& prefix, int depth, std::vector<std::string>& out) {
    auto names = list_directory(dir_fd);
    if (!names) {
        return;
    }
    for (const auto& name : *names) {
        const std::string relative = prefix.empty() ? name : prefix + "/" + name;
        out.push_back(relative);
        struct stat info {};
        if (depth + 1 >= k_max_walk_depth ||
            ::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(info.st_mode)) {
            continue;
        }
        if (auto child = open_subdirectory(dir_fd, name)) {
            walk(child->get(), relative, depth + 1, out);
        }
    }
}

}  // namespace

result<std::vector<std::string>> subpaths(const std::string& directory) {
    unique_fd dir = open_directory(directory);
    if (!dir.valid()) {
        return failed("read", directory, errno);
    }
    std::vector<std::string> out;
    walk(dir.get(), "", 0, out);
    return out;
}

}  // namespace file_manager
