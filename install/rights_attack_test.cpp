// An unprivileged user holding one installation right, against the real daemon and the real
// command line: each right does what its description says and nothing more. Each attack has a
// control, the same right used for what it is for, so the test sees the channel work.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "install/install_test_support.h"
#include "tests/support/command.h"
#include "tests/support/daemon_session.h"
#include "tests/support/sandbox.h"
#include "tests/support/signing.h"

namespace {

using namespace install_testing;

constexpr const char* k_attacker = "mallory";
constexpr const char* k_victim = "alice";
const std::string attacker_home = "/home/mallory";
const std::string victim_home = "/home/alice";
const std::string pwned = "/tmp/pwned";

// Hands a tree to a user, as if they had made it (Debian's chown: the sandbox's "/usr/sbin/chown"
// is a fake that only records its calls).
void give_to(const std::string& path, const std::string& user) {
    const std::string command = "/bin/chown -R " + user + ":" + user + " " + path;
    ASSERT_EQ(std::system(command.c_str()), 0);
}

bool trace_holds(const std::string& level, const std::string& text) {
    for (const auto& message : tests::trace_messages(tests::k_daemon_trace, level)) {
        if (message.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// A signed client outside "/Applications" (the fixture empties that), which every user may run;
// its executable is not named "Corvana", which installs quit.
const std::string& signed_client() {
    static const std::string path = [] {
        tests::bundle_options options;
        options.directory = "/opt/rights-attack";
        options.name = "Ctl";
        options.executable_name = "corvana-helperctl";
        return tests::signed_client_bundle(options);
    }();
    return path;
}

class RightsAttack : public InstallFixture {
  protected:
    void SetUp() override {
        InstallFixture::SetUp();
        ASSERT_TRUE(tests::ensure_user(k_attacker));
        ASSERT_TRUE(tests::ensure_user(k_victim));
        for (const auto& home : {attacker_home, victim_home}) {
            fs::remove_all(home);
            fs::create_directories(home);
        }
        for (const char* made : {"/etc/mallory", "/etc/stolen", "/var/db/corvana-helper"}) {
            fs::remove_all(made);
        }
        fs::remove(pwned);
        fs::remove(tests::k_daemon_trace);
        signed_client();
        daemon = std::make_unique<tests::daemon_session>();
    }

    // The signed client run by the attacker, with an authorization issued to them for one right.
    std::string as_attacker(const char* right, std::vector<std::string> args) {
        const std::string auth = tests::issue_authorization({right}, k_attacker);
        args.insert(args.begin() + 1, {"--auth", auth});
        std::vector<std::string> argv{"/usr/bin/setpriv",
                                      "--reuid=" + std::string(k_attacker),
                                      "--regid=" + std::string(k_attacker),
                                      "--clear-groups",
                                      "--",
                                      signed_client()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = tests::run_command(argv);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return result.out;
    }

    std::unique_ptr<tests::daemon_session> daemon;
};

// "Corvana is trying to install itself": with that right a user had root replace an
// administrator's bundle with their own and start it, and the namespace's jobs run it as root.
TEST_F(RightsAttack, TheInstallRightInstallsOnlyTheApplication) {
    // The administrator's other application.
    write_file("/Applications/Other.app/Contents/Info.plist",
               "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
               "<string>org.example.other</string></dict></plist>");
    write_file("/Applications/Other.app/Contents/marker", "the administrator's");
    const std::string own = attacker_home + "/Other.app";
    make_bundle(own, pwned, false);
    write_file(attacker_home + "/config/system.conf", "system");
    write_file(attacker_home + "/config/service.conf", "service");
    give_to(attacker_home, k_attacker);

    EXPECT_EQ(as_attacker(install_right, {"install", "--bundle", own, "--sysconfig",
                                          attacker_home + "/config", "--namespace", "mallory"}),
              "false\n");
    EXPECT_EQ(read_file("/Applications/Other.app/Contents/marker"), "the administrator's");
    EXPECT_FALSE(exists("/Library/LaunchDaemons/com.quillmark.mallory.service.plist"));
    EXPECT_FALSE(exists("/etc/mallory"));
    EXPECT_TRUE(trace_holds(
        "error", "Wrong install source (" + own + " does not satisfy the client requirement: "));
    // Nor does the genuine application, renamed, replace it.
    const std::string renamed = attacker_home + "/renamed/Other.app";
    make_bundle(renamed, started_marker);
    give_to(attacker_home, k_attacker);
    EXPECT_EQ(as_attacker(install_right, {"install", "--bundle", renamed, "--sysconfig",
                                          attacker_home + "/config", "--namespace", "mallory"}),
              "false\n");
    EXPECT_EQ(read_file("/Applications/Other.app/Contents/marker"), "the administrator's");
    EXPECT_TRUE(trace_holds("error", "Wrong install source (it would replace another bundle: "));
    wait_for_launched_bundles();
    EXPECT_FALSE(exists(pwned));

    // Control: the application itself, from the same user's home, is installed and started.
    const std::string application = attacker_home + "/Corvana.app";
    make_bundle(application, started_marker);
    give_to(application, k_attacker);
    EXPECT_EQ(as_attacker(install_right, {"install", "--bundle", application, "--sysconfig",
                                          attacker_home + "/config", "--namespace", "mallory"}),
              "true\n");
    EXPECT_TRUE(exists("/Applications/Corvana.app/Contents/MacOS/Corvana"));
    EXPECT_TRUE(exists("/Library/LaunchDaemons/com.quillmark.mallory.service.plist"));
    EXPECT_TRUE(wait_for_file(started_marker, std::chrono::seconds(10)));
}

// "Corvana is trying to uninstall itself": with that right a user had root remove another user's
// bundle from their private home, or an administrator's application.
TEST_F(RightsAttack, TheUninstallRightRemovesOnlyTheApplication) {
    make_bundle(victim_home + "/Thesis.app", started_marker, false);
    give_to(victim_home, k_victim);
    ::chmod(victim_home.c_str(), 0700);
    make_bundle("/Applications/Other.app", started_marker, false);
    write_file("/Applications/Other.app/Contents/Info.plist",
               "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
               "<string>org.example.other</string></dict></plist>");
    make_bundle("/Applications/Corvana.app", started_marker);
    write_file("/Library/LaunchDaemons/com.quillmark.corvana.service.plist", "x");

    for (const std::string& bundle :
         {victim_home + "/Thesis.app", std::string("/Applications/Other.app")}) {
        EXPECT_EQ(as_attacker(uninstall_right,
                              {"uninstall", "--bundle", bundle, "--namespace", "corvana"}),
                  "false\n")
            << bundle;
        EXPECT_TRUE(exists(bundle + "/Contents/Info.plist")) << bundle;
    }
    EXPECT_TRUE(exists("/Library/LaunchDaemons/com.quillmark.corvana.service.plist"));
    EXPECT_TRUE(trace_holds("error", "Wrong install source (" + victim_home +
                                         "/Thesis.app is not a bundle in /Applications). aborted"));

    // Control: the application's own bundle goes, with the namespace's files.
    EXPECT_EQ(as_attacker(uninstall_right, {"uninstall", "--bundle", "/Applications/Corvana.app",
                                            "--namespace", "corvana"}),
              "true\n");
    EXPECT_FALSE(exists("/Applications/Corvana.app"));
    EXPECT_FALSE(exists("/Library/LaunchDaemons/com.quillmark.corvana.service.plist"));
}

// "Corvana is trying to install global service": with that right a user had root open a
// system directory to everyone (namespace "ssl": chmod -R 775 /etc/ssl), make the daemon's own
// trace writable for everyone (namespace "corvana"), and copy another user's private files.
TEST_F(RightsAttack, TheServiceInstallRightTouchesOnlyWhatItMakes) {
    make_bundle("/Applications/Corvana.app", started_marker);
    fs::create_directories("/etc/ssl/private");
    write_file("/etc/ssl/private/rights-test.key", "private key", fs::perms(0600));
    ::chmod("/etc/ssl/private", 0700);
    ::chmod("/etc/ssl", 0755);
    ASSERT_EQ(tests::run_command({signed_client(), "version"}).exit_code, 0);  // trace open
    ::chmod(tests::k_daemon_trace, 0644);
    write_file(victim_home + "/private/system.conf", "alice's", fs::perms(0600));
    write_file(victim_home + "/private/service.conf", "alice's", fs::perms(0600));
    give_to(victim_home, k_victim);
    ::chmod(victim_home.c_str(), 0700);
    write_file(attacker_home + "/config/system.conf", "mallory's", fs::perms(0600));
    write_file(attacker_home + "/config/service.conf", "mallory's", fs::perms(0600));
    give_to(attacker_home, k_attacker);
    ::chmod(attacker_home.c_str(), 0700);

    const std::string config = attacker_home + "/config";
    EXPECT_EQ(
        as_attacker(service_right, {"install-service", "--namespace", "ssl", "--config", config}),
        "true\n");
    EXPECT_EQ(mode_of("/etc/ssl"), 0755u);
    EXPECT_EQ(mode_of("/etc/ssl/private"), 0700u);
    EXPECT_EQ(mode_of("/etc/ssl/private/rights-test.key"), 0600u);
    EXPECT_FALSE(exists("/etc/ssl/system.conf"));
    EXPECT_TRUE(trace_holds("error", "/etc/ssl was not made for this installation. Skipping."));

    EXPECT_EQ(as_attacker(service_right,
                          {"install-service", "--namespace", "corvana", "--config", config}),
              "true\n");
    EXPECT_EQ(mode_of(tests::k_daemon_trace), 0644u);

    EXPECT_EQ(
        as_attacker(service_right, {"install-service", "--namespace", "", "--config", config}),
        "false\n");

    EXPECT_EQ(as_attacker(service_right, {"install-service", "--namespace", "stolen", "--config",
                                          victim_home + "/private"}),
              "true\n");
    EXPECT_FALSE(exists("/etc/stolen/system.conf"));
    EXPECT_TRUE(trace_holds("info", "local config incomplete. Skipping."));

    // Control: a namespace of the user's own gets its directory, its trace and the user's own
    // configuration, which only that user can read.
    EXPECT_EQ(as_attacker(service_right,
                          {"install-service", "--namespace", "mallory", "--config", config}),
              "true\n");
    EXPECT_EQ(read_file("/etc/mallory/system.conf"), "mallory's");
    EXPECT_EQ(mode_of("/etc/mallory"), 0775u);
    EXPECT_EQ(mode_of("/var/log/mallory.trace"), 0666u);
}

}  // namespace
