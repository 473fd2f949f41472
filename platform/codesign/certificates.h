#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Owning handles of the OpenSSL objects the code-signing services use.
struct openssl_deleter {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
    void operator()(ASN1_OBJECT* p) const { ASN1_OBJECT_free(p); }
    void operator()(ASN1_TYPE* p) const { ASN1_TYPE_free(p); }
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

using x509_ptr = std::unique_ptr<X509, openssl_deleter>;
using evp_pkey_ptr = std::unique_ptr<EVP_PKEY, openssl_deleter>;
using bio_ptr = std::unique_ptr<BIO, openssl_deleter>;
using cms_ptr = std::unique_ptr<CMS_ContentInfo, openssl_deleter>;
using x509_store_ptr = std::unique_ptr<X509_STORE, openssl_deleter>;
using x509_store_ctx_ptr = std::unique_ptr<X509_STORE_CTX, openssl_deleter>;
using asn1_object_ptr = std::unique_ptr<ASN1_OBJECT, openssl_deleter>;
using asn1_type_ptr = std::unique_ptr<ASN1_TYPE, openssl_deleter>;
using evp_md_ctx_ptr = std::unique_ptr<EVP_MD_CTX, openssl_deleter>;
// Bytes that OpenSSL allocated for us (DER encodings, UTF-8 conversions).
using openssl_bytes_ptr = std::unique_ptr<unsigned char, openssl_deleter>;
// A stack that owns a reference to each of its certificates.
using x509_stack_ptr = std::unique_ptr<STACK_OF(X509), openssl_deleter>;

// A certificate chain, leaf first; when verified, the trust anchor is the last element.
using certificate_chain_t = std::vector<x509_ptr>;

// The stand-in for the platform vendor's root: every PEM certificate in this directory is a trust
// anchor for code signatures.
inline constexpr const char* k_trust_anchor_directory = "/etc/codesign/anchors/";

namespace certificates {

// Certificate and key files are small; anything bigger is not one.
inline constexpr std::size_t k_max_pem_file_size = 1024 * 1024;
// A directory of anchors with more files than this is not read further.
inline constexpr std::size_t k_max_trust_anchors = 256;

// Every certificate of a PEM text, in order. Nothing when the text holds none or is damaged.
[[nodiscard]] std::optional<certificate_chain_t> parse_pem_certificates(std::string_view pem);
[[nodiscard]] std::optional<certificate_chain_t> read_pem_certificates(const std::string& path);
// The first private key of a PEM file (unencrypted).
[[nodiscard]] evp_pkey_ptr read_pem_private_key(const std::string& path);

// PEM texts, for writing certificates and keys to files.
[[nodiscard]] std::string to_pem(X509* certificate);
[[nodiscard]] std::string to_pem(EVP_PKEY* key);

// The certificates of every readable "*.pem" file in the anchor directory; files that don't parse
// are skipped, so one damaged file can't disable the others. complete, when given, says whether
// the directory was read as it is (false when a read failed: out of descriptors, say).
[[nodiscard]] certificate_chain_t load_trust_anchors(bool* complete = nullptr);

// Another reference to the same certificate.
[[nodiscard]] x509_ptr share(X509* certificate);

// A stack holding a reference to each certificate of the range.
[[nodiscard]] x509_stack_ptr make_stack(std::span<const x509_ptr> certificates);

// Whether the text is a dotted numeric object identifier ("1.2.840.113635.100.6.2.6").
[[nodiscard]] bool is_numeric_oid(std::string_view text);

// Whether the text names a name attribute: a short name (CN, C, L, ST, O, OU, STREET, UID, E, D)
// or a dotted object identifier.
[[nodiscard]] bool is_name_attribute(std::string_view attribute);

// The values of one attribute of the subject (or issuer) name, as UTF-8. The attribute is a short
// name (CN, C, L, ST, O, OU, STREET, UID, E, D) or a dotted object identifier. Empty when the name
// has no such attribute or the attribute is unknown.
[[nodiscard]] std::vector<std::string> subject_values(X509* certificate,
                                                      std::string_view attribute);
[[nodiscard]] std::vector<std::string> issuer_values(X509* certificate, std::string_view attribute);

// The platform vendor's Developer ID markers: the certificate-authority marker of the
// intermediate and the application marker of the leaf. The vendor marks them critical.
inline constexpr std::string_view k_developer_id_marker_oids[] = {"1.2.840.113635.100.6.2.6",
                                                                  "1.2.840.113635.100.6.1.13"};

// Whether every critical extension of the certificate is understood: one OpenSSL handles, or a
// Developer ID marker (which the requirement language reads).
[[nodiscard]] bool critical_extensions_understood(X509* certificate);

// Whether the certificate carries an extension with the dotted object identifier.
[[nodiscard]] bool has_extension(X509* certificate, std::string_view oid);
// The value of that extension when it is a text (any ASN.1 string type); nothing otherwise.
[[nodiscard]] std::optional<std::string> extension_text(X509* certificate, std::string_view oid);

// SHA-1 of the certificate's DER encoding, as the requirement language's H"..." constants name a
// certificate.
[[nodiscard]] std::array<std::uint8_t, 20> sha1_fingerprint(X509* certificate);

}  // namespace certificates
