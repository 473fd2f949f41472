#include "platform/code_signing_files.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/certificates.h"
#include "platform/unique_fd.h"

namespace code_signing {

namespace {

constexpr std::size_t chunk_size = 64 * 1024;

file_contents_t read_open_file(const unique_fd& fd, std::size_t max_size) {
    file_contents_t result;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.status = read_status::not_regular;
        return result;
    }
    if (static_cast<std::uint64_t>(info.st_size) > max_size) {
        result.status = read_status::too_large;
        return result;
    }
    // Opened without blocking for the type check only; a regular file reads the same either way.
    int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    // The size may change while reading: the bound holds for what is read, not what was stat'ed.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (bytes.size() > max_size) {
                result.status = read_status::too_large;
                return result;
            }
            bytes.resize(std::min(bytes.size() * 2, max_size + 1));
        }
        ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return result;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    if (used > max_size) {
        result.status = read_status::too_large;
        return result;
    }
    bytes.resize(used);
    result.status = read_status::ok;
    result.bytes = std::move(bytes);
    return result;
}

file_contents_t read_opened(int raw_fd, std::size_t max_size) {
    if (raw_fd < 0) {
        file_contents_t result;
        result.status =
            (errno == ENOENT || errno == ENOTDIR) ? read_status::missing : read_status::unreadable;
        return result;
    }
    unique_fd fd(raw_fd);
    return read_open_file(fd, max_size);
}

constexpr int read_flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

}  // namespace

file_contents_t read_small_file(const std::string& path, std::size_t max_size) {
    return read_opened(::open(path.c_str(), read_flags), max_size);
}

file_contents_t read_small_file_at(int dirfd, const char* name, std::size_t max_size) {
    return read_opened(::openat(dirfd, name, read_flags), max_size);
}

sha256_t sha256_of(std::span<const std::uint8_t> bytes) {
    sha256_t digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

std::optional<sha256_t> sha256_of_file(int fd, std::uint64_t max_size) {
    evp_md_ctx_ptr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(chunk_size);
    std::uint64_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        offset += static_cast<std::uint64_t>(n);
        if (offset > max_size) {
            return std::nullopt;
        }
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(n)) != 1) {
            return std::nullopt;
        }
    }
    sha256_t digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

}  // namespace code_signing
