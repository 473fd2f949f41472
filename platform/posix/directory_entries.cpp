#include "platform/posix/directory_entries.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace {

struct dir_closer {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

}  // namespace

result<std::vector<std::string>> list_directory(int dir_fd) {
    std::vector<std::string> names;
    // The listing reads through a duplicate, which the directory stream owns.
    unique_fd copy(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        return result<>::system_failure(errno);
    }
    unique_dir dir(::fdopendir(copy.get()));
    if (!dir) {
        return result<>::system_failure(errno);
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
    if (errno != 0) {
        return result<>::system_failure(errno);
    }
    std::sort(names.begin(), names.end());
    return names;
}

result<unique_fd> open_subdirectory(int dir_fd, const std::string& name) {
    unique_fd directory(
        ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
        return result<>::system_failure(errno);
    }
    return directory;
}
