#include "platform/posix/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/unique_fd.h"
#include "platform/posix/path_text.h"
#include "platform/posix/write_all.h"

namespace {

// Removes the temporary file unless it was renamed into place; keeps the errno of the failure
// that made it go, for callers above that still report through errno.
class temporary_file_t {
  public:
    explicit temporary_file_t(std::string path) : path_(std::move(path)) {}
    temporary_file_t(const temporary_file_t&) = delete;
    temporary_file_t& operator=(const temporary_file_t&) = delete;
    ~temporary_file_t() {
        if (!path_.empty()) {
            const int saved = errno;
            ::unlink(path_.c_str());
            errno = saved;
        }
    }
    const std::string& path() const { return path_; }
    void keep() { path_.clear(); }

  private:
    std::string path_;
};

}  // namespace

result<> write_file_atomically(const std::string& path, std::span<const std::uint8_t> bytes,
                               mode_t mode, replaced_file_t replaced) {
    if (path.empty() || path.back() == '/') {
        return result<>::system_failure(EINVAL);
    }
    const path_parts_t parts = split_path(path);
    // The temporary name goes beside the file, behind the path's own text up to its last slash.
    const std::string prefix = path.substr(0, path.size() - parts.name.size());

    struct stat existing {};
    const bool keeps_existing = replaced == replaced_file_t::keep_mode_and_owner &&
                                ::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);

    std::string pattern = prefix + "." + parts.name + ".XXXXXX";
    // mkostemp opens with O_EXCL, so a name planted in the directory is never reused.
    const unique_fd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) {
        return result<>::system_failure(errno);
    }
    temporary_file_t temporary(pattern);

    if (keeps_existing) {
        (void)::fchown(fd.get(), existing.st_uid, existing.st_gid);
        mode = existing.st_mode & 0777;
    }
    if (::fchmod(fd.get(), mode) != 0) {
        return result<>::system_failure(errno);
    }
    if (auto written = write_all(fd.get(), bytes.data(), bytes.size()); !written) {
        return written;
    }
    if (::fsync(fd.get()) != 0) {
        return result<>::system_failure(errno);
    }
    // rename replaces a symbolic link itself, not what it points to, and fails on a directory.
    if (::rename(temporary.path().c_str(), path.c_str()) != 0) {
        return result<>::system_failure(errno);
    }
    temporary.keep();
    const unique_fd directory_fd(
        ::open(parts.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory_fd) {
        (void)::fsync(directory_fd.get());
    }
    return result<>::success();
}
