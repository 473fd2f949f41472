#include "platform/file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace {

// Walks hold one descriptor per level; this bounds them (and the recursion) for hostile trees.
constexpr int max_copy_depth = 128;

std::string error_text(int error) {
    return std::error_code(error, std::generic_category()).message();
}

file_result_t failed(const char* verb, const std::string& path, int error) {
    return file_result_t::failure("could not " + std::string(verb) + " " + path + ": " +
                                  error_text(error));
}

file_result_t failed(const char* verb, const std::string& path, const char* reason) {
    return file_result_t::failure("could not " + std::string(verb) + " " + path + ": " + reason);
}

std::string strip_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

// Splits a path into the directory that holds the item and the item's name.
std::pair<std::string, std::string> split_path(const std::string& raw) {
    std::string path = strip_trailing_slashes(raw);
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    return {parent, path.substr(slash + 1)};
}

bool usable_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name != "/";
}

struct dir_closer {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

// The names in a directory, in name order. The descriptor stays the caller's: the listing reads
// through a duplicate, which the directory stream owns.
bool list_directory(int dir_fd, std::vector<std::string>& names) {
    unique_fd copy(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        return false;
    }
    unique_dir dir(::fdopendir(copy.get()));
    if (!dir) {
        return false;
    }
    (void)copy.release();
    ::rewinddir(dir.get());
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    const int error = errno;
    std::sort(names.begin(), names.end());
    errno = error;
    return error == 0;
}

unique_fd open_directory(const std::string& path) {
    return unique_fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

unique_fd open_subdirectory(int dir_fd, const std::string& name) {
    return unique_fd(
        ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool stat_no_follow(const std::string& path, struct stat& info) {
    return ::lstat(path.c_str(), &info) == 0;
}

// --- removal ---------------------------------------------------------------------------------

file_result_t remove_at(int dir_fd, const std::string& name, const std::string& shown, int depth);

file_result_t empty_directory(int dir_fd, const std::string& shown, int depth) {
    std::vector<std::string> names;
    if (!list_directory(dir_fd, names)) {
        return failed("read", shown, errno);
    }
    for (const auto& name : names) {
        auto result = remove_at(dir_fd, name, shown + "/" + name, depth);
        if (!result) {
            return result;
        }
    }
    return file_result_t::success();
}

file_result_t remove_at(int dir_fd, const std::string& name, const std::string& shown, int depth) {
    if (::unlinkat(dir_fd, name.c_str(), 0) == 0) {
        return file_result_t::success();
    }
    const int unlink_error = errno;
    if (unlink_error != EISDIR && unlink_error != EPERM) {
        return failed("remove", shown, unlink_error);
    }
    // O_NOFOLLOW: a directory swapped for a link since the unlink is never entered.
    unique_fd child = open_subdirectory(dir_fd, name);
    if (!child.valid()) {
        return failed("remove", shown, errno == ENOTDIR || errno == ELOOP ? unlink_error : errno);
    }
    if (depth >= max_copy_depth) {
        return failed("remove", shown, "too deeply nested");
    }
    auto emptied = empty_directory(child.get(), shown, depth + 1);
    if (!emptied) {
        return emptied;
    }
    if (::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0) {
        return failed("remove", shown, errno);
    }
    return file_result_t::success();
}

// --- copying ---------------------------------------------------------------------------------

struct copy_place {
    int dir_fd;
    const std::string& name;
    const std::string& shown;
};

file_result_t copy_entry(const copy_place& from, const copy_place& to, int depth);

file_result_t copy_link(const copy_place& from, const copy_place& to, const struct stat& info) {
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
    return file_result_t::success();
}

file_result_t copy_contents(int in, int out, const std::string& shown) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got == 0) {
            return file_result_t::success();
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failed("read", shown, errno);
        }
        if (!write_all(out, buffer, static_cast<std::size_t>(got))) {
            return failed("write", shown, errno);
        }
    }
}

mode_t kept_mode(mode_t mode) {
    return mode & (S_IRWXU | S_IRWXG | S_IRWXO | S_ISVTX);
}

file_result_t copy_file(const copy_place& from, const copy_place& to, bool& created) {
    // O_NONBLOCK: a pipe swapped in after the type check must not hang the copy.
    unique_fd in(
        ::openat(from.dir_fd, from.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) {
        return failed("open", from.shown, errno);
    }
    struct stat info {};
    if (::fstat(in.get(), &info) != 0) {
        return failed("read", from.shown, errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return failed("copy", from.shown, "not a regular file");
    }
    ::fcntl(in.get(), F_SETFL, 0);
    unique_fd out(::openat(to.dir_fd, to.name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        return failed("create", to.shown, errno);
    }
    created = true;
    auto copied = copy_contents(in.get(), out.get(), from.shown);
    if (!copied) {
        return copied;
    }
    if (::fchmod(out.get(), kept_mode(info.st_mode)) != 0) {
        return failed("set the mode of", to.shown, errno);
    }
    return file_result_t::success();
}

file_result_t copy_directory(const copy_place& from, const copy_place& to, int depth,
                             bool& created) {
    if (depth >= max_copy_depth) {
        return failed("copy", from.shown, "too deeply nested");
    }
    unique_fd in = open_subdirectory(from.dir_fd, from.name);
    if (!in.valid()) {
        return failed("open", from.shown, errno);
    }
    struct stat info {};
    if (::fstat(in.get(), &info) != 0) {
        return failed("read", from.shown, errno);
    }
    if (::mkdirat(to.dir_fd, to.name.c_str(), 0700) != 0) {
        return failed("create", to.shown, errno);
    }
    created = true;
    unique_fd out = open_subdirectory(to.dir_fd, to.name);
    if (!out.valid()) {
        return failed("open", to.shown, errno);
    }
    std::vector<std::string> names;
    if (!list_directory(in.get(), names)) {
        return failed("read", from.shown, errno);
    }
    for (const auto& name : names) {
        const std::string from_shown = from.shown + "/" + name;
        const std::string to_shown = to.shown + "/" + name;
        auto result =
            copy_entry({in.get(), name, from_shown}, {out.get(), name, to_shown}, depth + 1);
        if (!result) {
            return result;
        }
    }
    // Set last: a directory made read-only by its mode must still take its contents.
    if (::fchmod(out.get(), kept_mode(info.st_mode)) != 0) {
        return failed("set the mode of", to.shown, errno);
    }
    return file_result_t::success();
}

file_result_t copy_entry_tracked(const copy_place& from, const copy_place& to, int depth,
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

file_result_t copy_entry(const copy_place& from, const copy_place& to, int depth) {
    bool created = false;
    return copy_entry_tracked(from, to, depth, created);
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

file_result_t create_file(const std::string& path) {
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return failed("create", path, errno);
    }
    return file_result_t::success();
}

file_result_t create_directory(const std::string& raw) {
    const std::string path = strip_trailing_slashes(raw);
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
    return file_result_t::success();
}

file_result_t copy_item(const std::string& from, const std::string& to) {
    const auto [from_parent, from_name] = split_path(from);
    const auto [to_parent, to_name] = split_path(to);
    if (!usable_name(from_name)) {
        return failed("copy", from, EINVAL);
    }
    if (!usable_name(to_name)) {
        return failed("copy to", to, EINVAL);
    }
    unique_fd from_dir = open_directory(from_parent);
    if (!from_dir.valid()) {
        return failed("open", from_parent, errno);
    }
    unique_fd to_dir = open_directory(to_parent);
    if (!to_dir.valid()) {
        return failed("open", to_parent, errno);
    }
    bool created = false;
    auto result = copy_entry_tracked({from_dir.get(), from_name, from}, {to_dir.get(), to_name, to},
                                     0, created);
    if (!result && created) {
        // Leave no half-copied item behind; the copy's own failure is what counts.
        (void)remove_at(to_dir.get(), to_name, to, 0);
    }
    return result;
}

file_result_t remove_item(const std::string& path) {
    const auto [parent, name] = split_path(path);
    if (!usable_name(name)) {
        return failed("remove", path, EINVAL);
    }
    unique_fd dir = open_directory(parent);
    if (!dir.valid()) {
        return failed("remove", path, errno);
    }
    return remove_at(dir.get(), name, path, 0);
}

namespace {

void walk(int dir_fd, const std::string& prefix, int depth, std::vector<std::string>& out) {
    std::vector<std::string> names;
    if (!list_directory(dir_fd, names)) {
        return;
    }
    for (const auto& name : names) {
        const std::string relative = prefix.empty() ? name : prefix + "/" + name;
        out.push_back(relative);
        struct stat info {};
        if (depth + 1 >= max_walk_depth ||
            ::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(info.st_mode)) {
            continue;
        }
        unique_fd child = open_subdirectory(dir_fd, name);
        if (child.valid()) {
            walk(child.get(), relative, depth + 1, out);
        }
    }
}

}  // namespace

std::vector<std::string> subpaths(const std::string& directory) {
    std::vector<std::string> out;
    unique_fd dir = open_directory(directory);
    if (dir.valid()) {
        walk(dir.get(), "", 0, out);
    }
    return out;
}

}  // namespace file_manager
