#include "tests/support/signing.h"

#include <fcntl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "platform/codesign/code_signing_process.h"
#include "platform/codesign/code_signing_sign.h"
#include "platform/plist/property_list.h"
#include "platform/posix/proc_files.h"
#include "tests/support/files.h"
#include "tests/support/sandbox.h"

extern char** environ;

namespace tests {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "test signing support: %s\n", what.c_str());
    std::abort();
}

struct extension_deleter {
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(ASN1_OCTET_STRING* p) const { ASN1_OCTET_STRING_free(p); }
};
using extension_ptr = std::unique_ptr<X509_EXTENSION, extension_deleter>;
using octets_ptr = std::unique_ptr<ASN1_OCTET_STRING, extension_deleter>;

evp_pkey_ptr new_key() {
    evp_pkey_ptr key(EVP_EC_gen("P-256"));
    if (!key) {
        fail("can't generate a key");
    }
    return key;
}

void add_standard_extension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    extension_ptr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) {
        fail(std::string("can't add extension ") + value);
    }
}

// A marker extension as the vendor's certificates carry them: the OID with an ASN.1 NULL value.
void add_marker(X509* certificate, const std::string& oid, bool critical) {
    asn1_object_ptr object(OBJ_txt2obj(oid.c_str(), 1));
    octets_ptr value(ASN1_OCTET_STRING_new());
    static const unsigned char null_value[] = {0x05, 0x00};
    if (!object || !value || ASN1_OCTET_STRING_set(value.get(), null_value, 2) != 1) {
        fail("can't make a marker extension");
    }
    extension_ptr extension(
        X509_EXTENSION_create_by_OBJ(nullptr, object.get(), critical ? 1 : 0, value.get()));
    if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) {
        fail("can't add a marker extension");
    }
}

struct name_parts {
    std::string common_name;
    std::string unit;  // OU, none when empty
};

struct marker_t {
    std::string oid;
    bool critical = false;
};

x509_ptr make_certificate(EVP_PKEY* key, const name_parts& name, X509* issuer, EVP_PKEY* issuer_key,
                          bool authority, const std::vector<marker_t>& markers,
                          long lifetime_seconds = 10L * 365 * 24 * 3600) {
    static long serial = 1000;
    x509_ptr certificate(X509_new());
    if (!certificate) {
        fail("can't allocate a certificate");
    }
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -24L * 3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), lifetime_seconds);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* subject = X509_get_subject_name(certificate.get());
    auto add = [&](const char* field, const std::string& value) {
        X509_NAME_add_entry_by_txt(subject, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0);
    };
    add("CN", name.common_name);
    if (!name.unit.empty()) {
        add("OU", name.unit);
    }
    add("O", "Corvana Test Signing");
    add("C", "US");
    X509* signer = issuer == nullptr ? certificate.get() : issuer;
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
    add_standard_extension(certificate.get(), signer, NID_basic_constraints,
                           authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    add_standard_extension(
        certificate.get(), signer, NID_key_usage,
        authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    if (!authority) {
        add_standard_extension(certificate.get(), signer, NID_ext_key_usage, "codeSigning");
    }
    add_standard_extension(certificate.get(), signer, NID_subject_key_identifier, "hash");
    for (const auto& marker : markers) {
        add_marker(certificate.get(), marker.oid, marker.critical);
    }
    if (X509_sign(certificate.get(), issuer_key == nullptr ? key : issuer_key, EVP_sha256()) <= 0) {
        fail("can't sign a certificate");
    }
    return certificate;
}

struct root_authority {
    x509_ptr certificate;
    evp_pkey_ptr key;
};

root_authority make_root() {
    root_authority root;
    root.key = new_key();
    root.certificate =
        make_certificate(root.key.get(), {"Corvana Test Root CA", {}}, nullptr, nullptr, true, {});
    return root;
}

std::mutex cache_lock;

const root_authority& root_for(bool trusted) {
    static root_authority trusted_root = make_root();
    static root_authority impostor_root = make_root();
    return trusted ? trusted_root : impostor_root;
}

void write_text(const fs::path& path, const std::string& text) {
    if (!write_file(path, text)) {
        fail("can't write " + path.string());
    }
}

std::string info_plist_text(const bundle_options& options, const std::string& short_version) {
    plist_node_t info(plist_new_dict());
    const std::string& bundle_identifier =
        options.bundle_identifier.empty() ? options.identifier : options.bundle_identifier;
    plist_dict_set_item(info.get(), "CFBundleIdentifier",
                        plist_new_string(bundle_identifier.c_str()));
    plist_dict_set_item(info.get(), "CFBundleExecutable",
                        plist_new_string(options.executable_name.c_str()));
    plist_dict_set_item(info.get(), "CFBundleShortVersionString",
                        plist_new_string(short_version.c_str()));
    plist_dict_set_item(info.get(), "CFBundlePackageType", plist_new_string("APPL"));
    auto text = xml_property_list_text(info.get());
    if (!text) {
        fail("can't serialise an Info.plist");
    }
    return *text;
}

}  // namespace

const test_chain& signing_chain(const chain_options& options) {
    std::lock_guard lock(cache_lock);
    static std::map<std::string, test_chain> chains;
    std::string key = options.team + "|" + std::to_string(options.intermediate_marker) +
                      std::to_string(options.leaf_marker) + std::to_string(options.untrusted_root) +
                      std::to_string(options.critical_markers) + "|" +
                      options.leaf_critical_extension + "|" +
                      std::to_string(options.leaf_lifetime_seconds);
    auto found = chains.find(key);
    if (found != chains.end()) {
        return found->second;
    }
    const root_authority& root = root_for(!options.untrusted_root);
    evp_pkey_ptr intermediate_key = new_key();
    test_chain chain;
    chain.root = certificates::share(root.certificate.get());
    std::vector<marker_t> intermediate_markers;
    if (options.intermediate_marker) {
        intermediate_markers.push_back({k_intermediate_marker_oid, options.critical_markers});
    }
    chain.intermediate = make_certificate(
        intermediate_key.get(), {"Corvana Test Developer ID Certification Authority", {}},
        root.certificate.get(), root.key.get(), true, intermediate_markers);
    std::vector<marker_t> leaf_markers;
    if (options.leaf_marker) {
        leaf_markers.push_back({k_leaf_marker_oid, options.critical_markers});
    }
    if (!options.leaf_critical_extension.empty()) {
        leaf_markers.push_back({options.leaf_critical_extension, true});
    }
    chain.leaf_key = new_key();
    chain.leaf = make_certificate(
        chain.leaf_key.get(), {"Developer ID Application: Corvana Test", options.team},
        chain.intermediate.get(), intermediate_key.get(), false, leaf_markers,
        options.leaf_lifetime_seconds != 0 ? options.leaf_lifetime_seconds : 10L * 365 * 24 * 3600);
    return chains.emplace(key, std::move(chain)).first->second;
}

void install_test_anchor() {
    require_sandbox();
    write_text(k_test_anchor_path, certificates::to_pem(root_for(true).certificate.get()));
}

chain_files write_chain_files(const std::string& directory, const chain_options& options) {
    const test_chain& chain = signing_chain(options);
    chain_files files{directory + "/leaf.pem", directory + "/leaf.key",
                      directory + "/intermediate.pem", directory + "/root.pem"};
    write_text(files.leaf_certificate, certificates::to_pem(chain.leaf.get()));
    write_text(files.leaf_key, certificates::to_pem(chain.leaf_key.get()));
    write_text(files.intermediate, certificates::to_pem(chain.intermediate.get()));
    write_text(files.root, certificates::to_pem(chain.root.get()));
    return files;
}

std::string signed_client_bundle(const bundle_options& options) {
    require_sandbox();
    install_test_anchor();
    static int counter = 0;
    std::string name = options.name.empty() ? "Client" + std::to_string(++counter) : options.name;
    fs::path bundle = fs::path(options.directory) / (name + ".app");
    std::error_code error;
    fs::remove_all(bundle, error);
    fs::path executable = bundle / "Contents" / "MacOS" / options.executable_name;
    fs::create_directories(executable.parent_path());
    if (!fs::copy_file(options.executable_source, executable, error)) {
        fail("can't copy " + options.executable_source + ": " + error.message());
    }
    fs::permissions(executable, fs::perms(0755));
    fs::path info = bundle / "Contents" / "Info.plist";
    write_text(info, info_plist_text(options, options.short_version));

    if (options.sign) {
        const test_chain& chain = signing_chain(options.chain);
        certificate_chain_t extra;
        extra.push_back(certificates::share(chain.intermediate.get()));
        auto result = code_signing::sign_bundle(bundle.string(), options.identifier,
                                                chain.leaf.get(), chain.leaf_key.get(), extra);
        if (!result) {
            fail("can't sign " + bundle.string() + ": " + result.description());
        }
    }
    if (options.change_executable_after_signing) {
        std::ofstream out(executable, std::ios::binary | std::ios::app);
        out << '\n';
    }
    if (options.change_info_plist_after_signing) {
        // The kind of change worth attempting: claiming a newer version than was signed.
        write_text(info, info_plist_text(options, "99.0.0"));
    }
    return executable.string();
}

void sign_bundle(const std::string& bundle_path, const chain_options& chain_choice) {
    require_sandbox();
    install_test_anchor();
    const test_chain& chain = signing_chain(chain_choice);
    certificate_chain_t extra;
    extra.push_back(certificates::share(chain.intermediate.get()));
    auto result = code_signing::sign_bundle(bundle_path, k_client_identifier, chain.leaf.get(),
                                            chain.leaf_key.get(), extra);
    if (!result) {
        fail("can't sign " + bundle_path + ": " + result.description());
    }
}

std::string application_info_plist(const std::string& executable_name) {
    bundle_options options;
    options.executable_name = executable_name;
    return info_plist_text(options, options.short_version);
}

std::string signed_client_executable(const std::string& bundle_path,
                                     const std::string& executable_source) {
    fs::path bundle(bundle_path);
    std::string name = bundle.filename().string();
    if (name.size() <= 4 || !name.ends_with(".app")) {
        fail("not a bundle path: " + bundle_path);
    }
    bundle_options options;
    options.directory = bundle.parent_path().string();
    options.name = name.substr(0, name.size() - 4);
    options.executable_source = executable_source;
    return signed_client_bundle(options);
}

std::string bundle_of_executable(const std::string& executable_path) {
    return fs::path(executable_path).parent_path().parent_path().parent_path().string();
}

audit_token_t audit_token_for(pid_t pid, int pidfd) {
    audit_token_t token;
    token.pid = pid;
    token.uid = 0;
    token.gid = 0;
    token.pidfd = pidfd;
    std::string path = "/proc/" + std::to_string(pid);
    unique_fd proc_dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (proc_dir) {
        token.start_time = proc_files::read_start_time(proc_dir.get()).value_or(0);
    }
    return token;
}

running_client running_client::start(const std::string& executable,
                                     const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& extra_environment) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        fail("can't make a pipe");
    }
    unique_fd input_read(input[0]);
    unique_fd input_write(input[1]);
    if (::pipe2(output, O_CLOEXEC) != 0) {
        fail("can't make a pipe");
    }
    unique_fd output_read(output[0]);
    unique_fd output_write(output[1]);

    std::vector<std::string> argv_text{executable};
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env_text;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env_text.emplace_back(*entry);
    }
    env_text.insert(env_text.end(), extra_environment.begin(), extra_environment.end());
    std::vector<char*> argv;
    for (auto& text : argv_text) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& text : env_text) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input_read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, output_write.get(), 1);
    running_client client;
    int status = ::posix_spawn(&client.pid_, executable.c_str(), &actions, nullptr, argv.data(),
                               envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        fail("can't start " + executable);
    }
    // glibc 2.36 declares the pidfd calls without C linkage in C++: call the kernel directly.
    client.pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, client.pid_, 0U)));
    if (!client.pidfd_) {
        fail("can't open a pidfd");
    }
    client.input_ = std::move(input_write);
    client.output_ = std::move(output_read);
    return client;
}

running_client running_client::start_waiting_shell(
    const std::string& executable, const std::vector<std::string>& extra_environment) {
    running_client client = start(
        executable, {"--norc", "--noprofile", "-c", "echo ready; read -r line"}, extra_environment);
    if (!client.wait_for_output(std::chrono::seconds(30), "ready")) {
        fail("the client shell never got ready");
    }
    return client;
}

running_client::running_client(running_client&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      pidfd_(std::move(other.pidfd_)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      pending_(std::move(other.pending_)) {}

running_client::~running_client() {
    stop();
}

void running_client::stop() {
    if (pid_ <= 0) {
        return;
    }
    if (pidfd_) {
        ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0U);
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::optional<std::string> running_client::wait_for_output(std::chrono::milliseconds timeout,
                                                           const std::string& marker) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (line.find(marker) != std::string::npos) {
                return line;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd entry{output_.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[256];
        ssize_t n = ::read(output_.get(), buffer, sizeof buffer);
        if (n <= 0) {
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace tests
