#include "platform/codesign/certificates.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <iterator>

#include "base/unique_fd.h"
#include "platform/posix/small_file.h"

namespace certificates {

namespace {

struct dir_closer {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

bio_ptr memory_bio(std::string_view text) {
    if (text.size() > INT_MAX) {
        return nullptr;
    }
    return bio_ptr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::optional<std::string> utf8_of(const ASN1_STRING* value) {
    unsigned char* raw = nullptr;
    int length = ASN1_STRING_to_UTF8(&raw, value);
    openssl_bytes_ptr text(raw);
    if (length < 0 || !text) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(text.get()), static_cast<std::size_t>(length));
}

// Short attribute names of the requirement language; anything else must be a dotted OID.
int attribute_nid(std::string_view attribute) {
    static constexpr struct {
        std::string_view name;
        int nid;
    } names[] = {
        {"CN", NID_commonName},        {"C", NID_countryName},
        {"L", NID_localityName},       {"ST", NID_stateOrProvinceName},
        {"O", NID_organizationName},   {"OU", NID_organizationalUnitName},
        {"STREET", NID_streetAddress}, {"UID", NID_userId},
        {"E", NID_pkcs9_emailAddress}, {"D", NID_description},
    };
    for (const auto& entry : names) {
        if (entry.name == attribute) {
            return entry.nid;
        }
    }
    return NID_undef;
}

asn1_object_ptr object_of(std::string_view oid) {
    if (!is_numeric_oid(oid)) {
        return nullptr;
    }
    return asn1_object_ptr(OBJ_txt2obj(std::string(oid).c_str(), 1));
}

std::vector<std::string> name_values(const X509_NAME* name, std::string_view attribute) {
    std::vector<std::string> values;
    if (name == nullptr) {
        return values;
    }
    asn1_object_ptr object;
    int nid = attribute_nid(attribute);
    if (nid != NID_undef) {
        object.reset(OBJ_dup(OBJ_nid2obj(nid)));
    } else {
        object = object_of(attribute);
    }
    if (!object) {
        return values;
    }
    for (int index = X509_NAME_get_index_by_OBJ(name, object.get(), -1); index >= 0;
         index = X509_NAME_get_index_by_OBJ(name, object.get(), index)) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, index);
        if (auto text = utf8_of(X509_NAME_ENTRY_get_data(entry))) {
            values.push_back(std::move(*text));
        }
    }
    return values;
}

const X509_EXTENSION* find_extension(X509* certificate, std::string_view oid) {
    asn1_object_ptr object = object_of(oid);
    if (!object) {
        return nullptr;
    }
    int index = X509_get_ext_by_OBJ(certificate, object.get(), -1);
    return index < 0 ? nullptr : X509_get_ext(certificate, index);
}

}  // namespace

std::optional<certificate_chain_t> parse_pem_certificates(std::string_view pem) {
    bio_ptr bio = memory_bio(pem);
    if (!bio) {
        return std::nullopt;
    }
    ERR_clear_error();
    certificate_chain_t chain;
    for (;;) {
        x509_ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!certificate) {
            break;
        }
        chain.push_back(std::move(certificate));
    }
    // The loop ends at the first thing that isn't a certificate: only the end of the text is fine.
    unsigned long error = ERR_peek_last_error();
    bool at_end = ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    if (chain.empty() || !at_end) {
        return std::nullopt;
    }
    return chain;
}

std::optional<certificate_chain_t> read_pem_certificates(const std::string& path) {
    auto file = read_small_file(path, k_max_pem_file_size);
    if (!file) {
        return std::nullopt;
    }
    return parse_pem_certificates(
        std::string_view(reinterpret_cast<const char*>(file->data()), file->size()));
}

evp_pkey_ptr read_pem_private_key(const std::string& path) {
    auto file = read_small_file(path, k_max_pem_file_size);
    if (!file) {
        return nullptr;
    }
    bio_ptr bio =
        memory_bio(std::string_view(reinterpret_cast<const char*>(file->data()), file->size()));
    if (!bio) {
        return nullptr;
    }
    // No passphrase callback: an encrypted key fails instead of prompting on a terminal.
    evp_pkey_ptr key(PEM_read_bio_PrivateKey(
        bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr));
    ERR_clear_error();
    return key;
}

std::string to_pem(X509* certificate) {
    bio_ptr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) {
        return {};
    }
    return bio_text(bio.get());
}

std::string to_pem(EVP_PKEY* key) {
    bio_ptr bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return {};
    }
    return bio_text(bio.get());
}

certificate_chain_t load_trust_anchors(bool* complete) {
    certificate_chain_t anchors;
    if (complete != nullptr) {
        *complete = false;
    }
    unique_fd fd(::open(k_trust_anchor_directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        if (complete != nullptr) {
            *complete = errno == ENOENT;
        }
        return anchors;
    }
    dir_ptr directory(::fdopendir(fd.get()));
    if (!directory) {
        return anchors;
    }
    bool all_read = true;
    fd.release();  // the directory stream owns it now
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string_view name = entry->d_name;
        if (name.size() > 4 && name.ends_with(".pem") && names.size() < k_max_trust_anchors) {
            names.emplace_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        auto file = read_small_file_at(::dirfd(directory.get()), name.c_str(), k_max_pem_file_size);
        if (!file) {
            // Gone, too large or not a file is what the directory holds; a failed read (out of
            // descriptors, say) is not.
            const int error = file.error();
            all_read = all_read && (error == k_file_missing || error == k_file_not_regular ||
                                    error == k_file_too_large);
            continue;
        }
        auto certificates = parse_pem_certificates(
            std::string_view(reinterpret_cast<const char*>(file->data()), file->size()));
        if (!certificates) {
            continue;
        }
        for (auto& certificate : *certificates) {
            anchors.push_back(std::move(certificate));
        }
    }
    if (complete != nullptr) {
        *complete = all_read;
    }
    return anchors;
}

x509_ptr share(X509* certificate) {
    if (certificate == nullptr || X509_up_ref(certificate) != 1) {
        return nullptr;
    }
    return x509_ptr(certificate);
}

x509_stack_ptr make_stack(std::span<const x509_ptr> certificates) {
    x509_stack_ptr stack(sk_X509_new_null());
    if (!stack) {
        return nullptr;
    }
    for (const auto& certificate : certificates) {
        x509_ptr reference = share(certificate.get());
        if (!reference || sk_X509_push(stack.get(), reference.get()) <= 0) {
            return nullptr;
        }
        reference.release();
    }
    return stack;
}

bool is_numeric_oid(std::string_view text) {
    // At least two arcs, each a run of digits; bounded so OBJ_txt2obj never sees a monster.
    if (text.empty() || text.size() > 128) {
        return false;
    }
    int arcs = 0;
    bool in_arc = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (!in_arc) {
                ++arcs;
            }
            in_arc = true;
        } else if (c == '.' && in_arc) {
            in_arc = false;
        } else {
            return false;
        }
    }
    return in_arc && arcs >= 2;
}

bool is_name_attribute(std::string_view attribute) {
    return attribute_nid(attribute) != NID_undef || is_numeric_oid(attribute);
}

std::vector<std::string> subject_values(X509* certificate, std::string_view attribute) {
    return name_values(X509_get_subject_name(certificate), attribute);
}

std::vector<std::string> issuer_values(X509* certificate, std::string_view attribute) {
    return name_values(X509_get_issuer_name(certificate), attribute);
}

bool critical_extensions_understood(X509* certificate) {
    const int count = X509_get_ext_count(certificate);
    for (int index = 0; index < count; ++index) {
        X509_EXTENSION* extension = X509_get_ext(certificate, index);
        if (X509_EXTENSION_get_critical(extension) != 1 ||
            X509_supported_extension(extension) == 1) {
            continue;
        }
        char oid[129];
        const int length = OBJ_obj2txt(oid, sizeof oid, X509_EXTENSION_get_object(extension), 1);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof oid ||
            std::find(std::begin(k_developer_id_marker_oids), std::end(k_developer_id_marker_oids),
                      std::string_view(oid, static_cast<std::size_t>(length))) ==
                std::end(k_developer_id_marker_oids)) {
            return false;
        }
    }
    return true;
}

bool has_extension(X509* certificate, std::string_view oid) {
    return find_extension(certificate, oid) != nullptr;
}

std::optional<std::string> extension_text(X509* certificate, std::string_view oid) {
    const X509_EXTENSION* extension = find_extension(certificate, oid);
    if (extension == nullptr) {
        return std::nullopt;
    }
    const ASN1_OCTET_STRING* octets =
        X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(extension));
    const unsigned char* cursor = ASN1_STRING_get0_data(octets);
    long length = ASN1_STRING_length(octets);
    asn1_type_ptr value(d2i_ASN1_TYPE(nullptr, &cursor, length));
    ERR_clear_error();
    if (!value) {
        return std::nullopt;
    }
    switch (value->type) {
        case V_ASN1_UTF8STRING:
        case V_ASN1_PRINTABLESTRING:
        case V_ASN1_IA5STRING:
        case V_ASN1_T61STRING:
        case V_ASN1_BMPSTRING:
        case V_ASN1_UNIVERSALSTRING:
        case V_ASN1_VISIBLESTRING:
            return utf8_of(value->value.asn1_string);
        default:
            return std::nullopt;
    }
}

std::array<std::uint8_t, 20> sha1_fingerprint(X509* certificate) {
    std::array<std::uint8_t, 20> digest{};
    unsigned int length = 0;
    X509_digest(certificate, EVP_sha1(), digest.data(), &length);
    return digest;
}

}  // namespace certificates
