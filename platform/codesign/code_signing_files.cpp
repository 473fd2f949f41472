#include "platform/codesign/code_signing_files.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/unique_fd.h"
#include "platform/codesign/certificates.h"

namespace code_signing {

namespace {

constexpr std::size_t k_chunk_size = 64 * 1024;

}  // namespace

sha256_t sha256_of(std::span<const std::uint8_t> bytes) {
    sha256_t digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

std::optional<sha256_t> sha256_of_file(int fd, std::uint64_t max_size, std::uint64_t* size) {
    evp_md_ctx_ptr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> buffer(k_chunk_size);
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
    if (size != nullptr) {
        *size = offset;
    }
    sha256_t digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

}  // namespace code_signing
