#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "platform/codesign/certificates.h"
#include "platform/posix/audit_token.h"

// Signed (and deliberately badly signed) client bundles for end-to-end tests. Everything is made
// inside the sandbox: a throwaway certificate chain, its root installed as the trust anchor, and
// bundles signed through the code-signing library.
namespace tests {

// The identity the helper admits.
inline constexpr const char* k_client_identifier = "com.quillmark.corvana-cv-5e09b1d4";
inline constexpr const char* k_client_team = "Q7XM2RT9PL";
// Markers of the Developer ID intermediate and of the Developer ID application leaf.
inline constexpr const char* k_intermediate_marker_oid = "1.2.840.113635.100.6.2.6";
inline constexpr const char* k_leaf_marker_oid = "1.2.840.113635.100.6.1.13";
// Where the test root is installed as a trust anchor.
inline constexpr const char* k_test_anchor_path = "/etc/codesign/anchors/corvana-test-root.pem";

struct chain_options {
    std::string team = k_client_team;  // the leaf's subject OU
    bool intermediate_marker = true;   // the intermediate carries k_intermediate_marker_oid
    bool leaf_marker = true;           // the leaf carries k_leaf_marker_oid
    // Signed under a root that is not a trust anchor (it bears the trusted root's name, but its
    // own key).
    bool untrusted_root = false;
    // The markers marked critical, as the vendor's own certificates carry them.
    bool critical_markers = false;
    // A critical extension of the leaf with this object identifier, besides the marker (none when
    // empty).
    std::string leaf_critical_extension = {};
    // The leaf expires this long after the chain is made (0: in ten years, like the others).
    long leaf_lifetime_seconds = 0;
};

// A root, an intermediate and a leaf with the leaf's private key. Made once per distinct options
// in a process; the trusted root is the same for all of them.
struct test_chain {
    x509_ptr root;
    x509_ptr intermediate;
    x509_ptr leaf;
    evp_pkey_ptr leaf_key;
};
const test_chain& signing_chain(const chain_options& options = {});

// Installs the trusted test root as a trust anchor (idempotent).
void install_test_anchor();

// PEM files of a chain, for the signing tool: leaf certificate, leaf key, the intermediate
// (--chain) and the root.
struct chain_files {
    std::string leaf_certificate;
    std::string leaf_key;
    std::string intermediate;
    std::string root;
};
chain_files write_chain_files(const std::string& directory, const chain_options& options = {});

struct bundle_options {
    // The bundle is DIRECTORY/NAME.app; an empty name picks a fresh one ("Client1", ...).
    std::string directory = "/tmp/corvana-clients";
    std::string name;
    // The main executable is a copy of this file, at Contents/MacOS/<executable_name>.
    std::string executable_source = CORVANA_HELPERCTL_PATH;
    // Not "Corvana": the install quits every process of that name, the client included.
    std::string executable_name = "CorvanaClient";
    // The signed identifier, and CFBundleIdentifier (the identifier when empty).
    std::string identifier = k_client_identifier;
    std::string bundle_identifier;
    std::string short_version = "6.0.0";  // CFBundleShortVersionString

    bool sign = true;  // false: no _CodeSignature at all
    chain_options chain;
    bool change_executable_after_signing = false;
    bool change_info_plist_after_signing = false;
};

// Builds and signs a client bundle as the options say; returns the path of its main executable.
// Aborts the test program when the bundle can't be made.
std::string signed_client_bundle(const bundle_options& options = {});

// Signs the bundle already at bundle_path (its Contents/Info.plist and main executable in place)
// with the client identifier and a chain made with the options (the good one by default).
void sign_bundle(const std::string& bundle_path, const chain_options& chain = {});

// The text of an information property list for a bundle of the application: the client
// identifier as CFBundleIdentifier, a version the requirement accepts, the executable's name.
std::string application_info_plist(const std::string& executable_name = "Corvana");

// A bundle at bundle_path (".../NAME.app") holding a copy of executable_source, signed with the
// good test chain so that the helper's requirement admits it; returns its main executable.
std::string signed_client_executable(const std::string& bundle_path,
                                     const std::string& executable_source);

// NAME.app for the path of a bundle's main executable.
std::string bundle_of_executable(const std::string& executable_path);

// The PID, pidfd and start time of a process, as a connection's audit token carries them. The
// pidfd stays owned by the caller's process object.
audit_token_t audit_token_for(pid_t pid, int pidfd);

// A child process for admission tests: standard input is a pipe held open (so a shell reading
// it waits), standard output a pipe that wait_for_output reads. Killed and reaped on destruction.
class running_client {
  public:
    static running_client start(const std::string& executable,
                                const std::vector<std::string>& arguments,
                                const std::vector<std::string>& extra_environment = {});
    // A copy of bash that prints "ready" once loaded (shared libraries and preloads mapped) and
    // then waits for its input; returns once it has printed.
    static running_client start_waiting_shell(
        const std::string& executable, const std::vector<std::string>& extra_environment = {});

    running_client(running_client&& other) noexcept;
    running_client& operator=(running_client&&) noexcept = delete;
    running_client(const running_client&) = delete;
    running_client& operator=(const running_client&) = delete;
    ~running_client();

    pid_t pid() const { return pid_; }
    int pidfd() const { return pidfd_.get(); }
    audit_token_t audit_token() const { return audit_token_for(pid_, pidfd_.get()); }

    // The first whole line the child prints that contains marker (any line for an empty marker);
    // nothing on timeout or end of output.
    std::optional<std::string> wait_for_output(std::chrono::milliseconds timeout,
                                               const std::string& marker = {});
    // Closes the child's standard input (a waiting shell reads the end of it).
    void close_input() { input_.reset(); }
    // Kills the child and waits for it.
    void stop();

  private:
    running_client() = default;

    pid_t pid_ = -1;
    unique_fd pidfd_;
    unique_fd input_;
    unique_fd output_;
    std::string pending_;  // read from output_, not yet returned as a line
};

}  // namespace tests
