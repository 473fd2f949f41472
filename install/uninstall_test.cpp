#include <gtest/gtest.h>

#include "install/install_test_support.h"

namespace {

using namespace install_testing;

const std::string installed = "/Applications/Corvana.app";

class UninstallTest : public InstallFixture {
  protected:
    bool uninstall(ns_string bundle, const std::string& ns,
                   ns_data auth = authorization_for(uninstall_right)) {
        return tests::answer_of<bool>([&](auto reply) {
            tool->uninstall_corvana_with_auth_data(std::move(auth), std::move(bundle),
                                                   "/srv/config", ns, "someone", reply);
        });
    }
};

TEST_F(UninstallTest, RemovesTheNamespacesFilesAndTheBundle) {
    for (const char* path : {"/Library/LaunchAgents/com.quillmark.corvana.Frontend.plist",
                             "/Library/LaunchAgents/com.quillmark.CORVANA.extra.plist",
                             "/Library/LaunchAgents/com.quillmark.corvana_beta.Frontend.plist",
                             "/Library/LaunchDaemons/com.quillmark.corvana.service.plist",
                             "/Library/LaunchDaemons/com.quillmark.corvana.Helper.plist",
                             "/Library/LaunchDaemons/com.quillmark.corvanax.service.plist",
                             "/Library/PrivilegedHelperTools/com.quillmark.corvana.Helper",
                             "/etc/corvana/system.conf"}) {
        write_file(path, "x");
    }
    make_bundle(installed, started_marker);

    ASSERT_TRUE(uninstall(installed, "corvana"));

    for (const char* gone : {"/Library/LaunchAgents/com.quillmark.corvana.Frontend.plist",
                             "/Library/LaunchAgents/com.quillmark.CORVANA.extra.plist",
                             "/Library/LaunchDaemons/com.quillmark.corvana.service.plist",
                             "/Library/LaunchDaemons/com.quillmark.corvana.Helper.plist",
                             "/Library/PrivilegedHelperTools/com.quillmark.corvana.Helper",
                             "/Applications/Corvana.app"}) {
        EXPECT_FALSE(exists(gone)) << gone;
    }
    for (const char* kept : {"/Library/LaunchAgents/com.quillmark.corvana_beta.Frontend.plist",
                             "/Library/LaunchDaemons/com.quillmark.corvanax.service.plist",
                             "/etc/corvana/system.conf"}) {
        EXPECT_TRUE(exists(kept)) << kept;
    }
    EXPECT_EQ(security_runs(), 4);
    EXPECT_TRUE(tests::fake_tools::calls_of("/bin/launchctl").empty());

    const std::string daemons = "/Library/LaunchDaemons/";
    const std::vector<logged> expected = {
        {"info", "Uninstalling /Applications/Corvana.app.."},
        {"info", "Deleting Files /Library/LaunchAgents/com.quillmark.CORVANA.extra.plist"},
        {"info", "Deleting Files /Library/LaunchAgents/com.quillmark.corvana.Frontend.plist"},
        {"info", "Deleting Files " + daemons + "com.quillmark.corvana.Helper.plist"},
        {"info", "Deleting Files " + daemons + "com.quillmark.corvana.service.plist"},
        {"info", "Deleting Files /Library/PrivilegedHelperTools/com.quillmark.corvana.Helper"},
        // The helper's job file matched the wildcard already.
        {"info", "Deleting Files " + daemons + "com.quillmark.corvana.Helper.plist"},
        {"warning", "Can't delete " + daemons + "com.quillmark.corvana.Helper.plist"},
        {"info", "Corvana Files deleted"},
        {"info", "Cleaning authorizationdb.."},
        {"info", "Corvana uninstalled."},
    };
    EXPECT_EQ(lines(), expected);
}

TEST_F(UninstallTest, HelperFilesUseTheHyphenatedNamespace) {
    for (const char* path : {"/Library/LaunchDaemons/com.quillmark.corvana_beta.service.plist",
                             "/Library/LaunchDaemons/com.quillmark.corvana-beta.Helper.plist",
                             "/Library/PrivilegedHelperTools/com.quillmark.corvana-beta.Helper",
                             "/Library/LaunchDaemons/com.quillmark.corvana.service.plist"}) {
        write_file(path, "x");
    }
    make_bundle("/Applications/Beta.app", started_marker);
    ASSERT_TRUE(uninstall("/Applications/Beta.app", "corvana_beta"));
    EXPECT_FALSE(exists("/Library/LaunchDaemons/com.quillmark.corvana_beta.service.plist"));
    EXPECT_FALSE(exists("/Library/LaunchDaemons/com.quillmark.corvana-beta.Helper.plist"));
    EXPECT_FALSE(exists("/Library/PrivilegedHelperTools/com.quillmark.corvana-beta.Helper"));
    EXPECT_TRUE(exists("/Library/LaunchDaemons/com.quillmark.corvana.service.plist"));
    EXPECT_FALSE(exists("/Applications/Beta.app"));
    EXPECT_TRUE(exists("/Applications"));
}

// A path that is not a plain bundle path is refused before anything is removed.
TEST_F(UninstallTest, WrongBundleRemovesNothing) {
    write_file("/Library/LaunchDaemons/com.quillmark.corvana.service.plist", "x");
    write_file("/srv/Corvana.zip", "zip");
    write_file("/srv/Corvana.app/inside", "x");
    for (const std::string bundle :
         {"/srv/Corvana.zip", "/srv/x/../Corvana.app", "srv/Corvana.app", ""}) {
        restart_trace();
        tests::fake_tools::reset();
        EXPECT_FALSE(uninstall(bundle, "corvana")) << bundle;
        EXPECT_EQ(lines().back(), (logged{"error", "Wrong install source. aborted"})) << bundle;
        EXPECT_FALSE(was_logged(trace, {"info", "Corvana Files deleted"}));
        EXPECT_EQ(security_runs(), 0);
    }
    EXPECT_TRUE(exists("/Library/LaunchDaemons/com.quillmark.corvana.service.plist"));
    EXPECT_TRUE(exists("/srv/Corvana.zip"));
    EXPECT_TRUE(exists("/srv/Corvana.app/inside"));
}

TEST_F(UninstallTest, MissingBundleAnswersFalseAndKeepsTheRights) {
    EXPECT_FALSE(uninstall("/Applications/Nothing.app", "corvana"));
    const auto last = lines().back();
    EXPECT_EQ(last.level, "error");
    EXPECT_TRUE(last.message.starts_with("Can't delete app(")) << last;
    EXPECT_NE(last.message.find("/Applications/Nothing.app"), std::string::npos) << last;
    EXPECT_EQ(security_runs(), 0);
}

TEST_F(UninstallTest, RefusalsRemoveNothing) {
    write_file("/Library/LaunchDaemons/com.quillmark.corvana.service.plist", "x");
    make_bundle(installed, started_marker);

    EXPECT_FALSE(uninstall(installed, "corvana", bad_authorization()));
    EXPECT_EQ(lines().back(), (logged{"error", "Authorization failed. Uninstall aborted"}));
    // An authorization that holds another right does not do: uninstalling needs its own.
    EXPECT_FALSE(uninstall(installed, "corvana", authorization_for(install_right)));
    restart_trace();
    EXPECT_FALSE(uninstall(installed, "corvana.x"));
    EXPECT_EQ(lines().back(), (logged{"error", "Invalid arguments"}));
    EXPECT_FALSE(uninstall(installed, "../corvana"));

    EXPECT_TRUE(exists("/Library/LaunchDaemons/com.quillmark.corvana.service.plist"));
    EXPECT_TRUE(exists(installed + "/Contents/MacOS/Corvana"));
    EXPECT_EQ(security_runs(), 0);
}

// The right lets root remove the application's bundle in "/Applications", nothing else: any other
// bundle is refused before anything is removed.
TEST_F(UninstallTest, OnlyTheApplicationInApplicationsIsRemoved) {
    const std::string job_file = "/Library/LaunchDaemons/com.quillmark.corvana.service.plist";
    write_file(job_file, "x");
    make_bundle("/srv/elsewhere/Corvana.app", started_marker);
    make_bundle("/Applications/Sub/Corvana.app", started_marker);
    write_file("/Applications/Other.app/Contents/Info.plist",
               "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
               "<string>org.example.other</string></dict></plist>");
    // Validly signed by someone else, claiming the application's identifier.
    make_bundle("/Applications/Claims.app", started_marker, false);
    tests::chain_options other;
    other.team = "OTHERTEAM1";
    tests::sign_bundle("/Applications/Claims.app", other);
    fs::create_symlink("/srv/elsewhere/Corvana.app", "/Applications/Dangling.app");
    fs::rename("/srv/elsewhere", "/srv/moved");

    struct refusal {
        std::string bundle;
        std::string line;
    };
    const std::vector<refusal> refusals = {
        {"/srv/moved/Corvana.app",
         "Wrong install source (/srv/moved/Corvana.app is not a bundle in /Applications). aborted"},
        {"/Applications/Sub/Corvana.app",
         "Wrong install source (/Applications/Sub/Corvana.app is not a bundle in /Applications). "
         "aborted"},
        {"/Applications/Other.app",
         "Wrong install source (/Applications/Other.app does not satisfy the client requirement: "},
        {"/Applications/Claims.app",
         "Wrong install source (/Applications/Claims.app does not satisfy the client "
         "requirement: "},
        {"/Applications/Dangling.app",
         "Wrong install source (/Applications/Dangling.app does not satisfy the client "
         "requirement: "},
    };
    for (const auto& r : refusals) {
        restart_trace();
        EXPECT_FALSE(uninstall(r.bundle, "corvana")) << r.bundle;
        const auto got = lines();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().level, "error");
        EXPECT_TRUE(got.back().message.starts_with(r.line)) << got.back();
        EXPECT_FALSE(was_logged(trace, {"info", "Corvana Files deleted"}));
    }
    EXPECT_TRUE(exists(job_file));
    for (const char* kept :
         {"/srv/moved/Corvana.app/Contents/MacOS/Corvana",
          "/Applications/Sub/Corvana.app/Contents/MacOS/Corvana",
          "/Applications/Other.app/Contents/Info.plist",
          "/Applications/Claims.app/Contents/MacOS/Corvana", "/Applications/Dangling.app"}) {
        EXPECT_TRUE(exists(kept)) << kept;
    }
    EXPECT_EQ(security_runs(), 0);

    // Control: the application itself is removed, with the namespace's files.
    make_bundle(installed, started_marker);
    EXPECT_TRUE(uninstall(installed, "corvana"));
    EXPECT_FALSE(exists(installed));
    EXPECT_FALSE(exists(job_file));
}

// A broken install can still be removed: a bundle whose signature no longer holds is recognised
// by the identifier its information list gives.
TEST_F(UninstallTest, DamagedApplicationIsRecognisedByItsIdentifier) {
    make_bundle(installed, started_marker);
    write_file(installed + "/Contents/MacOS/Corvana", "changed", fs::perms(0700));
    EXPECT_TRUE(uninstall(installed, "corvana"));
    EXPECT_FALSE(exists(installed));

    make_bundle(installed, started_marker, false);
    EXPECT_TRUE(uninstall(installed, "corvana"));
    EXPECT_FALSE(exists(installed));
}

TEST_F(UninstallTest, LinkedBundleIsRemovedNotItsTarget) {
    make_bundle("/srv/real/Corvana.app", started_marker);
    fs::create_symlink("/srv/real/Corvana.app", installed);
    ASSERT_TRUE(uninstall(installed, "corvana"));
    EXPECT_FALSE(exists(installed));
    EXPECT_TRUE(exists("/srv/real/Corvana.app/Contents/MacOS/Corvana"));
}

}  // namespace
