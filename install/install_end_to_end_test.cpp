// The three installation requests through the real daemon and the real command line, with
// authorizations issued by "corvana-helperctl authorize".
#include <gtest/gtest.h>

#include "install/install_test_support.h"
#include "tests/support/command.h"
#include "tests/support/daemon_session.h"
#include "tests/support/signing.h"

namespace {

using namespace install_testing;

const std::string service_file = "/Library/LaunchDaemons/com.quillmark.corvana.service.plist";
const std::string agent_file = "/Library/LaunchAgents/com.quillmark.corvana.Frontend.plist";

// The daemon's own executable name is what its helper job file is named after.
std::string own_helper_job_file() {
    return "/Library/LaunchDaemons/" + fs::path(CORVANA_DAEMON_PATH).filename().string() + ".plist";
}

// The installs quit every process named "Corvana", which is the default name of a signed test
// client's executable: this client goes by another name, and lives where the fixture's clean-up
// of "/Applications" does not reach.
const std::string& signed_client() {
    static const std::string path = [] {
        tests::bundle_options options;
        options.directory = "/tmp/install-end-to-end";
        options.name = "InstallCtl";
        options.executable_name = "corvana-helperctl";
        return tests::signed_client_bundle(options);
    }();
    return path;
}

class InstallEndToEndTest : public InstallFixture {
  protected:
    void SetUp() override {
        InstallFixture::SetUp();
        make_bundle("/srv/source/Corvana.app", started_marker);
        write_file("/srv/config/system.conf", "system");
        write_file("/srv/config/service.conf", "service");
        daemon = std::make_unique<tests::daemon_session>();
    }

    std::string run(const std::vector<std::string>& args) {
        std::vector<std::string> argv{signed_client()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = tests::run_command(argv);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return result.out;
    }

    std::unique_ptr<tests::daemon_session> daemon;
};

TEST_F(InstallEndToEndTest, InstallServiceThenApplicationThenUninstall) {
    make_bundle("/Applications/Corvana.app", started_marker);
    const std::string service_auth = tests::issue_authorization({service_right});
    EXPECT_EQ(run({"install-service", "--auth", service_auth, "--namespace", "corvana", "--config",
                   "/srv/config"}),
              "true\n");
    EXPECT_EQ(read_file(service_file), testdata("com.quillmark.corvana.service.plist"));
    EXPECT_EQ(read_file(agent_file), testdata("com.quillmark.corvana.Frontend.plist"));
    EXPECT_EQ(read_file("/etc/corvana/service.conf"), "service");
    EXPECT_EQ(mode_of("/etc/corvana"), 0775u);

    write_file(own_helper_job_file(), "mine");
    write_file("/Library/LaunchDaemons/com.quillmark.corvana_old.Helper.plist", "old");
    const std::string install_auth = tests::issue_authorization({install_right});
    EXPECT_EQ(run({"install", "--auth", install_auth, "--bundle", "/srv/source/Corvana.app",
                   "--sysconfig", "/srv/config", "--namespace", "corvana"}),
              "true\n");
    EXPECT_EQ(read_file("/Applications/Corvana.app/Contents/Resources/strings.txt"), "text");
    EXPECT_TRUE(fs::is_symlink("/Applications/Corvana.app/Contents/Resources/executable_link"));
    EXPECT_EQ(read_file(agent_file),
              testdata("com.quillmark.corvana.Frontend.with_working_directory.plist"));
    EXPECT_EQ(read_file(own_helper_job_file()), "mine");
    EXPECT_FALSE(exists("/Library/LaunchDaemons/com.quillmark.corvana_old.Helper.plist"));
    EXPECT_TRUE(wait_for_file(started_marker, std::chrono::seconds(10)));

    const std::string uninstall_auth = tests::issue_authorization({uninstall_right});
    EXPECT_EQ(run({"uninstall", "--auth", uninstall_auth, "--bundle", "/Applications/Corvana.app",
                   "--namespace", "corvana"}),
              "true\n");
    EXPECT_FALSE(exists("/Applications/Corvana.app"));
    EXPECT_FALSE(exists(service_file));
    EXPECT_FALSE(exists(agent_file));

    for (const std::string message :
         {"* Installing Corvana Services (corvana) *", "** Service installation finished **",
          "* Installing Corvana (corvana) *", "** Installation finished **",
          "Uninstalling /Applications/Corvana.app..", "Corvana uninstalled."}) {
        EXPECT_TRUE(was_logged(tests::k_daemon_trace, {"info", message})) << message;
    }
}

TEST_F(InstallEndToEndTest, RefusedRequestsChangeNothing) {
    make_bundle("/Applications/Corvana.app", started_marker);
    write_file("/Applications/Corvana.app/Contents/marker", "untouched");
    // A right held for another request does not do for uninstalling.
    const std::string install_auth = tests::issue_authorization({install_right});
    EXPECT_EQ(run({"uninstall", "--auth", install_auth, "--bundle", "/Applications/Corvana.app",
                   "--namespace", "corvana"}),
              "false\n");
    EXPECT_TRUE(exists("/Applications/Corvana.app/Contents/MacOS/Corvana"));

    const std::string service_auth = tests::issue_authorization({service_right});
    EXPECT_EQ(run({"install-service", "--auth", service_auth, "--namespace", "corvana-2",
                   "--config", "/srv/config"}),
              "false\n");
    EXPECT_TRUE(fs::is_empty("/Library/LaunchDaemons"));
    EXPECT_FALSE(exists("/etc/corvana-2"));

    write_file("/srv/garbage.auth", std::string(32, 'x'));
    EXPECT_EQ(run({"install", "--auth", "/srv/garbage.auth", "--bundle", "/srv/source/Corvana.app",
                   "--sysconfig", "/srv/config", "--namespace", "corvana"}),
              "false\n");
    EXPECT_EQ(read_file("/Applications/Corvana.app/Contents/marker"), "untouched");
    EXPECT_TRUE(fs::is_empty("/Library/LaunchAgents"));
}

}  // namespace
