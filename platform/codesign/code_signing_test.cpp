#include "platform/codesign/code_signing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/syscall.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "base/unique_fd.h"
#include "platform/codesign/code_signing_cache.h"
#include "platform/codesign/code_signing_process.h"
#include "tests/support/helper_requirement.h"
#include "tests/support/role.h"
#include "tests/support/signing.h"

namespace {

namespace fs = std::filesystem;
using tests::bundle_options;
using tests::helper_requirement_text;
using tests::running_client;

const sec_requirement_t& helper_requirement() {
    static const sec_requirement_t requirement = [] {
        auto compiled = SecRequirementCreateWithString(helper_requirement_text());
        if (!compiled) {
            std::abort();
        }
        return std::move(*compiled);
    }();
    return requirement;
}

// A bash copy as the bundle's executable, so a running client can say when it is fully loaded.
bundle_options shell_bundle() {
    bundle_options options;
    options.executable_source = "/bin/bash";
    return options;
}

// The whole admission check, as the listener makes it.
OSStatus admission_status(const running_client& client,
                          const sec_requirement_t& requirement = helper_requirement()) {
    auto code = SecCodeCopyGuestWithAttributes(client.audit_token());
    if (!code) {
        return errSecCSNoSuchCode;
    }
    return SecCodeCheckValidity(*code, &requirement);
}

OSStatus admission_status_of(const bundle_options& options,
                             const std::vector<std::string>& environment = {}) {
    std::string executable = tests::signed_client_bundle(options);
    running_client client = running_client::start_waiting_shell(executable, environment);
    return admission_status(client);
}

// A shared library mapped by this test program, to preload into clients.
std::string some_system_library() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::size_t slash = line.find('/');
        if (slash != std::string::npos && line.find("libm.so") != std::string::npos) {
            return line.substr(slash);
        }
    }
    return {};
}

TEST(CodeSigning, HelperRequirementAdmitsTheGoodClient) {
    EXPECT_EQ(admission_status_of(shell_bundle()), errSecSuccess);
    // The vendor's own certificates carry the markers as critical extensions.
    bundle_options vendor = shell_bundle();
    vendor.chain.critical_markers = true;
    EXPECT_EQ(admission_status_of(vendor), errSecSuccess);
}

TEST(CodeSigning, NewerVersionsCompareNumerically) {
    bundle_options options = shell_bundle();
    options.short_version = "6.10.0";
    EXPECT_EQ(admission_status_of(options), errSecSuccess);
}

struct refusal_case {
    const char* name;
    bundle_options options;
    OSStatus expected;
};

void PrintTo(const refusal_case& refusal, std::ostream* out) {
    *out << refusal.name;
}

class CodeSigningRefusal : public testing::TestWithParam<refusal_case> {};

TEST_P(CodeSigningRefusal, IsRefused) {
    EXPECT_EQ(admission_status_of(GetParam().options), GetParam().expected);
}

std::vector<refusal_case> refusal_cases() {
    std::vector<refusal_case> cases;
    auto add = [&](const char* name, OSStatus expected, auto change) {
        bundle_options options = shell_bundle();
        change(options);
        cases.push_back({name, options, expected});
    };
    add("WrongTeam", errSecCSReqFailed, [](bundle_options& o) { o.chain.team = "AAAAAAAAAA"; });
    add("OlderVersion", errSecCSReqFailed, [](bundle_options& o) { o.short_version = "5.9.9"; });
    add("WrongIdentifier", errSecCSReqFailed,
        [](bundle_options& o) { o.identifier = "com.quillmark.corvana-cv-5e09b1d5"; });
    add("Unsigned", errSecCSUnsigned, [](bundle_options& o) { o.sign = false; });
    add("UntrustedRoot", errSecCSSignatureUntrusted,
        [](bundle_options& o) { o.chain.untrusted_root = true; });
    add("ExecutableChanged", errSecCSSignatureFailed,
        [](bundle_options& o) { o.change_executable_after_signing = true; });
    add("InfoPlistChanged", errSecCSSignatureFailed,
        [](bundle_options& o) { o.change_info_plist_after_signing = true; });
    add("IntermediateWithoutMarker", errSecCSReqFailed,
        [](bundle_options& o) { o.chain.intermediate_marker = false; });
    add("LeafWithoutMarker", errSecCSReqFailed,
        [](bundle_options& o) { o.chain.leaf_marker = false; });
    add("UnknownCriticalExtension", errSecUnknownCriticalExtensionFlag, [](bundle_options& o) {
        o.chain.critical_markers = true;
        o.chain.leaf_critical_extension = "1.3.6.1.4.1.99999.1";
    });
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Variants, CodeSigningRefusal, testing::ValuesIn(refusal_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CodeSigning, PreloadedLibrariesMustBeSystemCode) {
    std::string library = some_system_library();
    ASSERT_FALSE(library.empty());
    // A root-owned system library is fine: it is what every process maps anyway.
    EXPECT_EQ(admission_status_of(shell_bundle(), {"LD_PRELOAD=" + library}), errSecSuccess);

    // The same code in a file a user can write, or owns, is not.
    fs::create_directories("/tmp/user-libs");
    fs::copy_file(library, "/tmp/user-libs/writable.so", fs::copy_options::overwrite_existing);
    ASSERT_EQ(::chmod("/tmp/user-libs/writable.so", 0666), 0);
    EXPECT_EQ(admission_status_of(shell_bundle(), {"LD_PRELOAD=/tmp/user-libs/writable.so"}),
              errSecCSGuestInvalid);
    // Root's ownership is not enough when the file's group may write it.
    fs::copy_file(library, "/tmp/user-libs/group-writable.so",
                  fs::copy_options::overwrite_existing);
    ASSERT_EQ(::chown("/tmp/user-libs/group-writable.so", 0, 0), 0);
    ASSERT_EQ(::chmod("/tmp/user-libs/group-writable.so", 0664), 0);
    EXPECT_EQ(admission_status_of(shell_bundle(), {"LD_PRELOAD=/tmp/user-libs/group-writable.so"}),
              errSecCSGuestInvalid);

    fs::copy_file(library, "/tmp/user-libs/owned.so", fs::copy_options::overwrite_existing);
    ASSERT_EQ(::chown("/tmp/user-libs/owned.so", 65534, 65534), 0);
    ASSERT_EQ(::chmod("/tmp/user-libs/owned.so", 0755), 0);
    EXPECT_EQ(admission_status_of(shell_bundle(), {"LD_PRELOAD=/tmp/user-libs/owned.so"}),
              errSecCSGuestInvalid);
}

TEST(CodeSigning, TracedClientIsRefused) {
    running_client client =
        running_client::start_waiting_shell(tests::signed_client_bundle(shell_bundle()));
    ASSERT_EQ(admission_status(client), errSecSuccess);
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, client.pid(), nullptr, nullptr), 0);
    EXPECT_EQ(admission_status(client), errSecCSGuestInvalid);
}

// Run only inside a signed copy of this program: a client with a second thread, which prints its
// thread ID and waits for standard input to close.
CORVANA_ROLE(ThreadedClient) {
    std::thread waiter([] {
        std::cout << "thread " << ::syscall(SYS_gettid) << std::endl;
        std::string line;
        std::getline(std::cin, line);
    });
    waiter.join();
}

TEST(CodeSigning, TracerOnAnyThreadIsRefused) {
    bundle_options options;
    options.executable_source = std::filesystem::read_symlink("/proc/self/exe");
    running_client client = running_client::start(tests::signed_client_bundle(options),
                                                  {tests::role_argument("ThreadedClient")});
    auto line = client.wait_for_output(std::chrono::seconds(30), "thread ");
    ASSERT_TRUE(line);
    pid_t thread = std::stoi(line->substr(line->find(' ') + 1));
    ASSERT_NE(thread, client.pid());
    ASSERT_EQ(admission_status(client), errSecSuccess);
    // A tracer attached to a thread other than the first one.
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, thread, nullptr, nullptr), 0);
    EXPECT_EQ(admission_status(client), errSecCSGuestInvalid);
    // Let go of the thread, or the process could never be reaped.
    int status = 0;
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, thread, nullptr, nullptr), 0);
    ASSERT_EQ(::waitpid(thread, &status, __WALL), thread);
    ASSERT_EQ(::ptrace(PTRACE_DETACH, thread, nullptr, nullptr), 0);
}

TEST(CodeSigning, OnlyTheSignedMainExecutableIsCovered) {
    // Even identical code under another name in the same bundle is not what was signed.
    std::string executable = tests::signed_client_bundle(shell_bundle());
    std::string twin = fs::path(executable).parent_path() / "Twin";
    fs::copy_file(executable, twin);
    running_client client = running_client::start_waiting_shell(twin);
    EXPECT_EQ(admission_status(client), errSecCSSignatureFailed);
}

TEST(CodeSigning, TrustComesFromTheAnchorDirectory) {
    std::string executable = tests::signed_client_bundle(shell_bundle());
    running_client client = running_client::start_waiting_shell(executable);
    // A damaged file beside the anchor does not disable it.
    std::ofstream("/etc/codesign/anchors/damaged.pem") << "-----BEGIN CERTIFICATE-----\nxx\n";
    EXPECT_EQ(admission_status(client), errSecSuccess);
    fs::remove(tests::k_test_anchor_path);
    EXPECT_EQ(admission_status(client), errSecCSSignatureUntrusted);
    tests::install_test_anchor();
    EXPECT_EQ(admission_status(client), errSecSuccess);
}

TEST(CodeSigning, ExecutableOutsideABundleIsUnsigned) {
    fs::create_directories("/tmp/bare");
    fs::copy_file("/bin/bash", "/tmp/bare/client", fs::copy_options::overwrite_existing);
    running_client client = running_client::start_waiting_shell("/tmp/bare/client");
    EXPECT_EQ(admission_status(client), errSecCSUnsigned);
}

TEST(CodeSigning, ReplacedExecutableNoLongerMatchesItsBundle) {
    std::string executable = tests::signed_client_bundle(shell_bundle());
    running_client client = running_client::start_waiting_shell(executable);
    // Renaming a fresh copy over the running file: the bundle now holds other code than runs.
    fs::copy_file(executable, executable + ".new");
    fs::rename(executable + ".new", executable);
    EXPECT_EQ(admission_status(client), errSecCSStaticCodeChanged);
}

TEST(CodeSigning, TokenMustNameTheLiveProcessItWasTakenFrom) {
    std::string executable = tests::signed_client_bundle(shell_bundle());
    running_client client = running_client::start_waiting_shell(executable);
    running_client other = running_client::start_waiting_shell(executable);

    audit_token_t wrong_start = client.audit_token();
    wrong_start.start_time += 1;
    EXPECT_FALSE(SecCodeCopyGuestWithAttributes(wrong_start));

    audit_token_t foreign_pidfd = client.audit_token();
    foreign_pidfd.pidfd = other.pidfd();
    EXPECT_FALSE(SecCodeCopyGuestWithAttributes(foreign_pidfd));

    EXPECT_FALSE(SecCodeCopyGuestWithAttributes(audit_token_t{}));

    // Looked up while alive, checked after it is gone: the check can't be about anyone else.
    auto code = SecCodeCopyGuestWithAttributes(client.audit_token());
    ASSERT_TRUE(code);
    audit_token_t stale = client.audit_token();
    client.stop();
    EXPECT_EQ(SecCodeCheckValidity(*code, &helper_requirement()), errSecCSNoSuchCode);
    EXPECT_FALSE(SecCodeCopyGuestWithAttributes(stale));
}

TEST(CodeSigning, HostileSignatureFilesAreRefusedWithoutBlocking) {
    std::string executable = tests::signed_client_bundle(shell_bundle());
    std::string signature =
        tests::bundle_of_executable(executable) + "/Contents/_CodeSignature/CodeSignature";
    running_client client = running_client::start_waiting_shell(executable);

    fs::remove(signature);
    ASSERT_EQ(::mkfifo(signature.c_str(), 0644), 0);
    EXPECT_EQ(admission_status(client), errSecCSSignatureFailed);

    fs::remove(signature);
    std::ofstream(signature) << std::string(2 * 1024 * 1024, 'x');
    EXPECT_EQ(admission_status(client), errSecCSTooBig);

    std::ofstream(signature, std::ios::trunc) << "not a signature";
    EXPECT_EQ(admission_status(client), errSecCSSignatureFailed);
}

TEST(CodeSigning, SignatureOfAnotherBundleDoesNotCarryOver) {
    // A valid signature, identifier and all, lifted onto a bundle with other code in it.
    bundle_options good = shell_bundle();
    std::string donor = tests::bundle_of_executable(tests::signed_client_bundle(good));
    bundle_options other = shell_bundle();
    other.executable_source = "/bin/sh";
    other.sign = false;
    std::string executable = tests::signed_client_bundle(other);
    std::string target = tests::bundle_of_executable(executable);
    fs::copy(donor + "/Contents/_CodeSignature", target + "/Contents/_CodeSignature");
    fs::copy_file(donor + "/Contents/Info.plist", target + "/Contents/Info.plist",
                  fs::copy_options::overwrite_existing);
    running_client client = running_client::start(executable, {"-c", "echo ready; read line"});
    ASSERT_TRUE(client.wait_for_output(std::chrono::seconds(30), "ready"));
    EXPECT_EQ(admission_status(client), errSecCSSignatureFailed);
}

TEST(CodeSigning, StaticCheckOfABundleOnDisk) {
    std::string good = tests::bundle_of_executable(tests::signed_client_bundle(shell_bundle()));
    auto code = SecStaticCodeCreateWithPath(good);
    ASSERT_TRUE(code);
    EXPECT_EQ(SecStaticCodeCheckValidity(*code, &helper_requirement()), errSecSuccess);
    EXPECT_EQ(SecStaticCodeCheckValidity(*code, nullptr), errSecSuccess);

    bundle_options old_version = shell_bundle();
    old_version.short_version = "5.9.9";
    auto old_code = SecStaticCodeCreateWithPath(
        tests::bundle_of_executable(tests::signed_client_bundle(old_version)));
    ASSERT_TRUE(old_code);
    EXPECT_EQ(SecStaticCodeCheckValidity(*old_code, nullptr), errSecSuccess);
    EXPECT_EQ(SecStaticCodeCheckValidity(*old_code, &helper_requirement()), errSecCSReqFailed);

    EXPECT_FALSE(SecStaticCodeCreateWithPath("/nonexistent/Thing.app"));
}

// A root-owned executable is hashed once and its digest remembered by its identity and times:
// rewritten in place at the same size with its modification time set back, only the change time
// tells the new content from the old, and it must.
TEST(CodeSigning, ARememberedDigestGoesWithTheChangeTime) {
    std::string executable = tests::signed_client_bundle(shell_bundle());
    auto code = SecStaticCodeCreateWithPath(tests::bundle_of_executable(executable));
    ASSERT_TRUE(code);
    ASSERT_EQ(SecStaticCodeCheckValidity(*code, nullptr), errSecSuccess);  // now remembered

    struct stat before {};
    ASSERT_EQ(::stat(executable.c_str(), &before), 0);
    ASSERT_EQ(before.st_uid, 0u);
    {
        unique_fd file(::open(executable.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(file);
        char byte = 0;
        ASSERT_EQ(::pread(file.get(), &byte, 1, 100), 1);
        byte = static_cast<char>(byte ^ 0x5a);
        ASSERT_EQ(::pwrite(file.get(), &byte, 1, 100), 1);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::futimens(file.get(), times), 0);
    }
    struct stat after {};
    ASSERT_EQ(::stat(executable.c_str(), &after), 0);
    // Control: every other part of the key is as it was.
    ASSERT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(SecStaticCodeCheckValidity(*code, nullptr), errSecCSSignatureFailed);
}

// A verified signature is remembered with its chain; the chain's validity is still measured
// against the clock on every use.
TEST(CodeSigning, ARememberedSignatureExpiresWithItsCertificate) {
    constexpr long lifetime = 5;
    bundle_options options = shell_bundle();
    options.chain.leaf_lifetime_seconds = lifetime;
    const auto made = std::chrono::steady_clock::now();
    auto code = SecStaticCodeCreateWithPath(
        tests::bundle_of_executable(tests::signed_client_bundle(options)));
    ASSERT_TRUE(code);
    ASSERT_EQ(SecStaticCodeCheckValidity(*code, &helper_requirement()), errSecSuccess);
    std::this_thread::sleep_until(made + std::chrono::seconds(lifetime + 1));
    EXPECT_NE(SecStaticCodeCheckValidity(*code, &helper_requirement()), errSecSuccess);
}

// The image watch is taken only on the program image that was stamped: a process that executed
// another program meanwhile is not watched as if it still ran the first.
TEST(CodeSigning, AnImageWatchNeedsTheStampedImage) {
    // Without address randomisation, the next program's stack lies where this one's did, and
    // the stamp's address can be read there: only the bytes tell the images apart.
    running_client client = running_client::start(
        "/usr/bin/setarch", {"-R", tests::signed_client_bundle(shell_bundle()), "--norc",
                             "--noprofile", "-c", "echo ready; read -r line; exec /bin/sleep 60"});
    ASSERT_TRUE(client.wait_for_output(std::chrono::seconds(30), "ready"));
    auto process = code_signing::pinned_process_t::pin(client.audit_token());
    ASSERT_TRUE(process);
    auto stamp = process->exec_stamp();
    ASSERT_TRUE(stamp);
    // Control: the image stamped is watched while it runs.
    EXPECT_TRUE(process->watch_image(*stamp));

    client.close_input();
    const std::string exe = "/proc/" + std::to_string(client.pid()) + "/exe";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fs::read_symlink(exe) != "/usr/bin/sleep" && fs::read_symlink(exe) != "/bin/sleep" &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto now = process->exec_stamp();
    ASSERT_TRUE(now);
    ASSERT_NE(*now, *stamp);
    EXPECT_FALSE(process->watch_image(*stamp));
    EXPECT_TRUE(process->watch_image(*now));
}

// A check ends, without an answer about the code, once its deadline has passed or whoever asked
// has gone.
TEST(CodeSigning, ACheckEndsAtItsLimits) {
    running_client client =
        running_client::start_waiting_shell(tests::signed_client_bundle(shell_bundle()));
    auto check = [&](const code_check_limits_t& limits) {
        auto code = SecCodeCopyGuestWithAttributes(client.audit_token());
        return code ? SecCodeCheckValidity(*code, &helper_requirement(), limits)
                    : errSecCSNoSuchCode;
    };
    EXPECT_EQ(check({}), errSecSuccess);
    code_check_limits_t past;
    past.deadline = std::chrono::steady_clock::now();
    EXPECT_EQ(check(past), errSecCSCancelled);
    code_check_limits_t gone;
    gone.abandoned = [] { return true; };
    EXPECT_EQ(check(gone), errSecCSCancelled);
}

// The trust anchors read while the process is out of descriptors are incomplete; they are not
// remembered, or every client would be refused until the anchor directory changed.
TEST(CodeSigning, AnchorsReadShortAreReadAgain) {
    tests::install_test_anchor();
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A new file makes the directory's state new, so the anchors are read again below.
        std::ofstream("/etc/codesign/anchors/short-read.pem") << "not a certificate\n";
        rlimit limits{};
        ::getrlimit(RLIMIT_NOFILE, &limits);
        const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::close(lowest);
        // Room for the directory, none for a file in it.
        rlimit short_of{static_cast<rlim_t>(lowest) + 1, limits.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &short_of);
        const bool short_read = code_signing::current_trust_anchors()->certificates.empty();
        ::setrlimit(RLIMIT_NOFILE, &limits);
        const bool read_again = !code_signing::current_trust_anchors()->certificates.empty();
        ::_exit(short_read && read_again ? 0 : short_read ? 1 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    fs::remove("/etc/codesign/anchors/short-read.pem");
    // 2: the control failed (the read was not short); 1: the short set was kept.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
}

}  // namespace
