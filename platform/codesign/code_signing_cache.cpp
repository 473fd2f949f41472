#include "platform/codesign/code_signing_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace code_signing {

namespace {

// Enough for every client build a machine runs at once; the oldest entry makes room.
constexpr std::size_t k_max_entries = 64;

struct file_key_t {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;

    bool operator==(const file_key_t& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

struct entry_t {
    file_key_t key;
    sha256_t digest;
};

std::mutex cache_lock;
std::vector<entry_t> entries;  // oldest first

bool only_root_can_change(const struct stat& info) {
    return S_ISREG(info.st_mode) && info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// What identifies the anchor directory's state: its own times and every file's, by name.
std::string anchor_directory_state() {
    std::string state;
    unique_fd fd(::open(k_trust_anchor_directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        return state;
    }
    auto append = [&state](const struct stat& s) {
        const timespec times[] = {s.st_mtim, s.st_ctim};
        state.append(reinterpret_cast<const char*>(&s.st_dev), sizeof s.st_dev);
        state.append(reinterpret_cast<const char*>(&s.st_ino), sizeof s.st_ino);
        state.append(reinterpret_cast<const char*>(&s.st_size), sizeof s.st_size);
        state.append(reinterpret_cast<const char*>(times), sizeof times);
    };
    append(info);
    DIR* directory = ::fdopendir(fd.get());
    if (directory == nullptr) {
        return state;
    }
    fd.release();  // the directory stream owns it now
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory)) {
        std::string_view name = entry->d_name;
        if (name.ends_with(".pem") && names.size() < certificates::k_max_trust_anchors) {
            names.emplace_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        struct stat file {};
        if (::fstatat(::dirfd(directory), name.c_str(), &file, 0) == 0) {
            state += name;
            append(file);
        }
    }
    ::closedir(directory);
    return state;
}

std::mutex anchors_lock;
std::string anchors_state;
std::shared_ptr<const trust_anchors_t> anchors;

struct remembered_signature_t {
    sha256_t signature;
    sha256_t content;
    sha256_t anchors;
    certificate_chain_t chain;
};

std::mutex signatures_lock;
std::vector<remembered_signature_t> signatures;  // oldest first

bool within_validity(const certificate_chain_t& chain) {
    for (const auto& certificate : chain) {
        if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) >= 0 ||
            X509_cmp_current_time(X509_get0_notAfter(certificate.get())) <= 0) {
            return false;
        }
    }
    return true;
}

certificate_chain_t shared_copy(const certificate_chain_t& chain) {
    certificate_chain_t copy;
    for (const auto& certificate : chain) {
        copy.push_back(certificates::share(certificate.get()));
    }
    return copy;
}

}  // namespace

std::shared_ptr<const trust_anchors_t> current_trust_anchors() {
    std::string state = anchor_directory_state();
    std::lock_guard guard(anchors_lock);
    if (anchors && state == anchors_state) {
        return anchors;
    }
    auto loaded = std::make_shared<trust_anchors_t>();
    bool complete = false;
    loaded->certificates = certificates::load_trust_anchors(&complete);
    std::vector<std::uint8_t> encodings;
    for (const auto& certificate : loaded->certificates) {
        unsigned char* der = nullptr;
        int length = i2d_X509(certificate.get(), &der);
        openssl_bytes_ptr owned(der);
        if (length > 0) {
            encodings.insert(encodings.end(), der, der + length);
        }
    }
    loaded->fingerprint = sha256_of(encodings);
    if (!complete) {
        // Not remembered: a set read short (while a flood of connections holds the descriptors)
        // would otherwise refuse every client until the directory changed.
        return loaded;
    }
    anchors = std::move(loaded);
    anchors_state = std::move(state);
    return anchors;
}

verified_signature_t verify_detached_against_anchors(std::span<const std::uint8_t> signature,
                                                     std::span<const std::uint8_t> content) {
    auto current = current_trust_anchors();
    const sha256_t signature_digest = sha256_of(signature);
    const sha256_t content_digest = sha256_of(content);
    {
        std::lock_guard guard(signatures_lock);
        for (const auto& entry : signatures) {
            if (entry.signature == signature_digest && entry.content == content_digest &&
                entry.anchors == current->fingerprint) {
                if (!within_validity(entry.chain)) {
                    break;  // verified afresh below, which says why it fails
                }
                verified_signature_t result;
                result.status = signature_status::valid;
                result.chain = shared_copy(entry.chain);
                return result;
            }
        }
    }
    verified_signature_t result = verify_detached(signature, content, current->certificates);
    if (result.status != signature_status::valid) {
        return result;
    }
    std::lock_guard guard(signatures_lock);
    std::erase_if(signatures, [&](const remembered_signature_t& entry) {
        return entry.signature == signature_digest && entry.content == content_digest;
    });
    if (signatures.size() >= k_max_entries) {
        signatures.erase(signatures.begin());
    }
    signatures.push_back(
        {signature_digest, content_digest, current->fingerprint, shared_copy(result.chain)});
    return result;
}

std::optional<sha256_t> cached_sha256_of_file(int fd, const struct stat& info,
                                              std::uint64_t max_size) {
    if (!only_root_can_change(info)) {
        return sha256_of_file(fd, max_size);
    }
    const file_key_t key{info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    {
        std::lock_guard guard(cache_lock);
        auto found = std::find_if(entries.begin(), entries.end(),
                                  [&](const entry_t& entry) { return entry.key == key; });
        if (found != entries.end()) {
            return found->digest;
        }
    }
    // Hashed outside the lock: admissions of other clients don't wait for this one.
    std::uint64_t hashed = 0;
    auto digest = sha256_of_file(fd, max_size, &hashed);
    if (!digest || hashed != static_cast<std::uint64_t>(info.st_size)) {
        return digest;
    }
    std::lock_guard guard(cache_lock);
    if (entries.size() >= k_max_entries) {
        entries.erase(entries.begin());
    }
    entries.push_back({key, *digest});
    return digest;
}

}  // namespace code_signing
