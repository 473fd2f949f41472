#include "platform/posix/bundle_links.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>
#include <vector>

#include "base/unique_fd.h"
#include "platform/posix/directory_entries.h"

namespace {

// The kernel retries a walk with ".." itself, and answers EAGAIN when a rename elsewhere keeps
// it from being sure; a few more tries settle it.
constexpr int k_resolve_attempts = 8;

result<> could_not_check(const std::string& shown, int error) {
    return result<>::system_failure(error,
                                    "could not check " + shown + ": " +
                                        std::error_code(error, std::generic_category()).message());
}

result<> leads_out(const std::string& shown, const std::string& target) {
    return result<>::failure("the link " + shown + " leads out of the bundle: " + target);
}

// Resolution by the kernel's own path walk, confined to the bundle: it fails with EXDEV where the
// walk would leave it, ".." past the top and absolute links on the way included.
int open_beneath(int bundle, const std::string& relative) {
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, bundle, relative.c_str(), &how, sizeof how));
}

result<> check_link(int bundle, int dir_fd, const std::string& name, const std::string& relative,
                    const std::string& shown) {
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t length = ::readlinkat(dir_fd, name.c_str(), target.data(), target.size());
    if (length < 0) {
        return could_not_check(shown, errno);
    }
    if (static_cast<std::size_t>(length) >= target.size()) {
        return could_not_check(shown, ENAMETOOLONG);
    }
    const std::string text(target.data(), static_cast<std::size_t>(length));
    if (text.starts_with('/')) {
        return leads_out(shown, text);
    }
    for (int attempt = 0; attempt < k_resolve_attempts; ++attempt) {
        const unique_fd resolved(open_beneath(bundle, relative));
        if (resolved.valid()) {
            return result<>::success();
        }
        switch (errno) {
            case EAGAIN:
            case EINTR:
                continue;
            case EXDEV:
                return leads_out(shown, text);
            case ENOENT:
            case ENOTDIR:
            case ELOOP:
                // Nothing there, in the source or in a copy that nobody else can add to.
                return result<>::success();
            default:
                return could_not_check(shown, errno);
        }
    }
    return could_not_check(shown, EAGAIN);
}

result<> check_directory(int bundle, int dir_fd, const std::string& relative,
                         const std::string& shown, int depth) {
    auto names = list_directory(dir_fd);
    if (!names) {
        return could_not_check(shown, names.error());
    }
    for (const auto& name : *names) {
        const std::string entry = relative.empty() ? name : relative + "/" + name;
        const std::string entry_shown = shown + "/" + name;
        struct stat info {};
        if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return could_not_check(entry_shown, errno);
        }
        if (S_ISLNK(info.st_mode)) {
            if (auto checked = check_link(bundle, dir_fd, name, entry, entry_shown); !checked) {
                return checked;
            }
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            continue;
        }
        if (depth + 1 >= file_manager::k_max_copy_depth) {
            return result<>::failure("could not check " + entry_shown + ": too deeply nested");
        }
        auto child = open_subdirectory(dir_fd, name);
        if (!child) {
            return could_not_check(entry_shown, child.error());
        }
        if (auto checked = check_directory(bundle, child->get(), entry, entry_shown, depth + 1);
            !checked) {
            return checked;
        }
    }
    return result<>::success();
}

}  // namespace

result<> bundle_links_stay_inside(int bundle, const std::string& shown) {
    return check_directory(bundle, bundle, "", shown, 0);
}
