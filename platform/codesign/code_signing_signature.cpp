#include "platform/codesign/code_signing_signature.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509_vfy.h>

#include <climits>

namespace code_signing {

namespace {

bio_ptr memory_bio(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > INT_MAX) {
        return nullptr;
    }
    return bio_ptr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// CMS_get0_signers hands out a stack whose certificates it does not own.
struct borrowed_stack_deleter {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using borrowed_stack_ptr = std::unique_ptr<STACK_OF(X509), borrowed_stack_deleter>;

cms_ptr parse_signed_data(std::span<const std::uint8_t> signature) {
    if (signature.empty() || signature.size() > LONG_MAX) {
        return nullptr;
    }
    const unsigned char* cursor = signature.data();
    cms_ptr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(signature.size())));
    if (!cms || cursor != signature.data() + signature.size()) {
        return nullptr;
    }
    if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
        CMS_is_detached(cms.get()) != 1) {
        return nullptr;
    }
    if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms.get())) != 1) {
        return nullptr;
    }
    return cms;
}

// OpenSSL refuses a certificate with a critical extension it has no handler for, and the vendor
// marks its Developer ID markers critical: those are understood here, since the requirement reads
// them. Any other such extension still ends the verification.
int accept_understood_critical_extensions(int ok, X509_STORE_CTX* context) {
    if (ok != 0 || X509_STORE_CTX_get_error(context) != X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) {
        return ok;
    }
    X509* certificate = X509_STORE_CTX_get_current_cert(context);
    return certificate != nullptr && certificates::critical_extensions_understood(certificate) ? 1
                                                                                               : 0;
}

// The verified chain, or why there is none.
std::optional<certificate_chain_t> trusted_chain(CMS_ContentInfo* cms,
                                                 std::span<const x509_ptr> anchors,
                                                 signature_status& failure) {
    failure = signature_status::untrusted;
    borrowed_stack_ptr signers(CMS_get0_signers(cms));
    if (!signers || sk_X509_num(signers.get()) != 1) {
        return std::nullopt;
    }
    X509* leaf = sk_X509_value(signers.get(), 0);
    x509_stack_ptr embedded(CMS_get1_certs(cms));
    x509_store_ptr store(X509_STORE_new());
    x509_store_ctx_ptr context(X509_STORE_CTX_new());
    if (!store || !context) {
        return std::nullopt;
    }
    for (const auto& anchor : anchors) {
        if (X509_STORE_add_cert(store.get(), anchor.get()) != 1) {
            return std::nullopt;
        }
    }
    if (X509_STORE_CTX_init(context.get(), store.get(), leaf, embedded.get()) != 1) {
        return std::nullopt;
    }
    X509_VERIFY_PARAM_set_depth(X509_STORE_CTX_get0_param(context.get()), k_max_chain_depth);
    X509_STORE_CTX_set_verify_cb(context.get(), accept_understood_critical_extensions);
    if (X509_verify_cert(context.get()) != 1) {
        if (X509_STORE_CTX_get_error(context.get()) == X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) {
            failure = signature_status::unhandled_critical_extension;
        }
        return std::nullopt;
    }
    x509_stack_ptr verified(X509_STORE_CTX_get1_chain(context.get()));
    if (!verified) {
        return std::nullopt;
    }
    certificate_chain_t chain;
    for (int index = 0; index < sk_X509_num(verified.get()); ++index) {
        chain.push_back(certificates::share(sk_X509_value(verified.get(), index)));
    }
    return chain;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> sign_detached(std::span<const std::uint8_t> content,
                                                       X509* leaf, EVP_PKEY* key,
                                                       std::span<const x509_ptr> chain) {
    if (leaf == nullptr || key == nullptr || X509_check_private_key(leaf, key) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    bio_ptr data = memory_bio(content);
    x509_stack_ptr extra = certificates::make_stack(chain);
    if (!data || !extra) {
        return std::nullopt;
    }
    cms_ptr cms(
        CMS_sign(leaf, key, extra.get(), data.get(), CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
    if (!cms) {
        ERR_clear_error();
        return std::nullopt;
    }
    unsigned char* raw = nullptr;
    int length = i2d_CMS_ContentInfo(cms.get(), &raw);
    openssl_bytes_ptr der(raw);
    if (length <= 0 || !der) {
        ERR_clear_error();
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(der.get(), der.get() + length);
}

verified_signature_t verify_detached(std::span<const std::uint8_t> signature,
                                     std::span<const std::uint8_t> content,
                                     std::span<const x509_ptr> anchors) {
    verified_signature_t result;
    cms_ptr cms = parse_signed_data(signature);
    if (!cms) {
        ERR_clear_error();
        result.status = signature_status::malformed;
        return result;
    }
    // First the signature over the content alone; the chain is built below against our anchors
    // only, never the system's default trust store.
    bio_ptr data = memory_bio(content);
    if (!data || CMS_verify(cms.get(), nullptr, nullptr, data.get(), nullptr,
                            CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        ERR_clear_error();
        result.status = signature_status::content_changed;
        return result;
    }
    signature_status failure = signature_status::untrusted;
    auto chain = trusted_chain(cms.get(), anchors, failure);
    ERR_clear_error();
    if (!chain) {
        result.status = failure;
        return result;
    }
    result.status = signature_status::valid;
    result.chain = std::move(*chain);
    return result;
}

}  // namespace code_signing
