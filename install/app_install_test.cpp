#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <thread>

#include "install/install_test_support.h"
#include "platform/codesign/code_signing_status.h"
#include "platform/plist/property_list.h"

namespace {

using namespace install_testing;

const std::string source = "/srv/source/Corvana.app";
const std::string installed = "/Applications/Corvana.app";
const std::string service_file = "/Library/LaunchDaemons/com.quillmark.corvana.service.plist";
const std::string agent_file = "/Library/LaunchAgents/com.quillmark.corvana.Frontend.plist";
const char* const shm_names[] = {"7af749cc", "2eca9279", "e2aed581",
                                 "410fe7ba", "e4e3f671", "1a558587"};

std::string own_name() {
    return fs::path(program_invocation_name).filename().string();
}

// Whether wanted appears in got in this order, other lines allowed in between.
bool in_order(const std::vector<logged>& got, const std::vector<logged>& wanted) {
    std::size_t next = 0;
    for (const auto& line : got) {
        if (next < wanted.size() && line == wanted[next]) {
            ++next;
        }
    }
    return next == wanted.size();
}

class AppInstallTest : public InstallFixture {
  protected:
    void SetUp() override {
        InstallFixture::SetUp();
        make_bundle(source, started_marker);
        write_file("/srv/config/system.conf", "system");
        write_file("/srv/config/service.conf", "service");
    }

    bool install(ns_string bundle, const std::string& ns = "corvana",
                 ns_data auth = authorization_for(install_right)) {
        return tests::answer_of<bool>([&](auto reply) {
            tool->install_corvana_with_auth_data(std::move(auth), std::move(bundle), "/srv/config",
                                                 ns, "someone", reply);
        });
    }
};

TEST_F(AppInstallTest, InstallsFromOutsideApplications) {
    make_bundle(installed, started_marker);  // an earlier install
    write_file(installed + "/Contents/old_file", "old");
    for (const char* name :
         {"com.quillmark.corvana.service.plist", "com.quillmark.corvana_beta.service.plist",
          "com.quillmark.Corvana.service.plist", "com.quillmark.other.service.plist",
          "com.quillmark.other.Helper.plist", "com.quillmark.corvana_old.Helper.plist"}) {
        write_file(std::string("/Library/LaunchDaemons/") + name, "old");
    }
    const std::string own_helper_job =
        "/Library/LaunchDaemons/com.quillmark.corvana." + own_name() + ".Helper.plist";
    write_file(own_helper_job, "mine");
    for (const char* name :
         {"com.quillmark.corvana_beta.Frontend.plist", "com.quillmark.other.Frontend.plist"}) {
        write_file(std::string("/Library/LaunchAgents/") + name, "old");
    }
    write_file("/usr/local/bin/cvwrap_corvana", "legacy");
    write_file("/usr/local/bin/cvwrap_other", "legacy");
    for (const char* name : shm_names) {
        const int fd = ::shm_open(name, O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }

    ASSERT_TRUE(install(source));

    // The bundle: replaced, links inside kept, given to root.
    EXPECT_FALSE(exists(installed + "/Contents/old_file"));
    EXPECT_EQ(read_file(installed + "/Contents/Resources/strings.txt"), "text");
    ASSERT_TRUE(fs::is_symlink(installed + "/Contents/Resources/executable_link"));
    EXPECT_EQ(fs::read_symlink(installed + "/Contents/Resources/executable_link"),
              "../MacOS/Corvana");
    EXPECT_EQ(mode_of(installed + "/Contents/Resources/strings.txt"), 0755u);
    EXPECT_TRUE(exists(source));

    // Job files.
    EXPECT_EQ(read_file(service_file), testdata("com.quillmark.corvana.service.plist"));
    EXPECT_EQ(read_file(agent_file),
              testdata("com.quillmark.corvana.Frontend.with_working_directory.plist"));
    for (const char* gone : {"/Library/LaunchDaemons/com.quillmark.corvana_beta.service.plist",
                             "/Library/LaunchDaemons/com.quillmark.Corvana.service.plist",
                             "/Library/LaunchDaemons/com.quillmark.corvana_old.Helper.plist",
                             "/Library/LaunchAgents/com.quillmark.corvana_beta.Frontend.plist",
                             "/usr/local/bin/cvwrap_corvana"}) {
        EXPECT_FALSE(exists(gone)) << gone;
    }
    for (const char* kept : {"/Library/LaunchDaemons/com.quillmark.other.service.plist",
                             "/Library/LaunchDaemons/com.quillmark.other.Helper.plist",
                             "/Library/LaunchAgents/com.quillmark.other.Frontend.plist",
                             "/usr/local/bin/cvwrap_other"}) {
        EXPECT_TRUE(exists(kept)) << kept;
    }
    EXPECT_EQ(read_file(own_helper_job), "mine");

    for (const char* name : shm_names) {
        EXPECT_FALSE(exists(std::string("/dev/shm/") + name)) << name;
    }
    EXPECT_TRUE(exists("/var/log/corvana.trace"));
    EXPECT_EQ(read_file("/etc/corvana/system.conf"), "system");
    EXPECT_TRUE(wait_for_file(started_marker, std::chrono::seconds(10)));

    // Tools: the four rights reset, the bundle and config given to root, the agent stopped and
    // unloaded, the old service stopped and unloaded, the quarantine cleared.
    EXPECT_EQ(security_runs(), 4);
    EXPECT_EQ(chown_calls(), (std::vector<std::string>{"-R root:wheel " + installed,
                                                       "-R root:staff /etc/corvana"}));
    std::vector<std::vector<std::string>> launchctl;
    for (auto call : tests::fake_tools::calls_of("/bin/launchctl")) {
        call.erase(call.begin());
        launchctl.push_back(call);
    }
    EXPECT_EQ(launchctl,
              (std::vector<std::vector<std::string>>{{"stop", "com.quillmark.corvana.Frontend"},
                                                     {"unload", agent_file},
                                                     {"stop", "com.quillmark.corvana.service"},
                                                     {"unload", service_file}}));
    const auto xattr = tests::fake_tools::calls_of("/usr/bin/xattr");
    ASSERT_EQ(xattr.size(), 1u);
    EXPECT_EQ(xattr[0], (std::vector<std::string>{"/usr/bin/xattr", "-d", "-r",
                                                  "com.apple.quarantine", installed}));

    const auto got = lines();
    EXPECT_TRUE(
        in_order(got, {
                          {"info", "* Installing Corvana (corvana) *"},
                          {"info", "* from: " + source + " *"},
                          {"info", "* sys_conf: /srv/config *"},
                          {"info", "Quiting Corvana.."},
                          {"info", "No instances to quit or failed"},
                          {"info", "Deleting " + installed},
                          {"info", "Installing.."},
                          {"info", "CHMODing CHOWNing.."},
                          {"info", "Creating global trace file.."},
                          {"info", "Creating global config.."},
                          {"info", "Correcting permissions.."},
                          {"info", "Configure Launch Services.."},
                          {"info", "Disable global service autostat and stop agent"},
                          {"info",
                           "Deleting Service file "
                           "/Library/LaunchDaemons/com.quillmark.Corvana.service.plist"},
                          {"info", "Deleting Service file " + service_file},
                          {"info",
                           "Deleting Service file "
                           "/Library/LaunchDaemons/com.quillmark.corvana_beta.service.plist"},
                          {"info", "Installing " + service_file},
                          {"info",
                           "Deleting Agent file "
                           "/Library/LaunchAgents/com.quillmark.corvana_beta.Frontend.plist"},
                          {"info", "Installing " + agent_file},
                          {"info", "Deleting legacy /usr/local/bin/cvwrap_corvana"},
                          {"info",
                           "Deleting plist "
                           "/Library/LaunchDaemons/com.quillmark.corvana_old.Helper.plist"},
                          {"info", "SHM cleanup"},
                          {"info", "Starting installed app"},
                          {"info", "** Installation finished **"},
                      }));
    for (const auto& line : got) {
        EXPECT_NE(line.level, "warning") << line;
        EXPECT_NE(line.level, "error") << line;
    }
}

TEST_F(AppInstallTest, SourceUnderApplicationsIsNotCopied) {
    struct skipped {
        std::string bundle;
        bool make_it;
    };
    for (const auto& s : {skipped{installed, true}, skipped{"/Applications/Sub/Corvana.app", true},
                          skipped{"/ApplicationsOld/Corvana.app", false}}) {
        fs::remove_all(installed);
        restart_trace();
        fs::remove(agent_file);
        make_bundle(installed, started_marker);
        write_file(installed + "/Contents/marker", "untouched");
        if (s.make_it && s.bundle != installed) {
            make_bundle(s.bundle, started_marker);
        }
        ASSERT_TRUE(install(s.bundle)) << s.bundle;
        EXPECT_EQ(read_file(installed + "/Contents/marker"), "untouched") << s.bundle;
        EXPECT_TRUE(was_logged(trace, {"warning", "already installed? skipping"})) << s.bundle;
        EXPECT_FALSE(was_logged(trace, {"info", "Quiting Corvana.."})) << s.bundle;
        EXPECT_EQ(read_file(agent_file),
                  testdata("com.quillmark.corvana.Frontend.with_working_directory.plist"));
    }
    EXPECT_EQ(chown_calls(), std::vector<std::string>(3, "-R root:staff /etc/corvana"));
}

TEST_F(AppInstallTest, WrongSourcesAreRefusedBeforeAnythingChanges) {
    write_file(installed + "/Contents/marker", "untouched");
    fs::create_symlink(source, "/srv/link.app");
    // A link to a directory only root may read: the trailing slash makes the path name the
    // directory, but what would be copied is the link, and the mode change after the copy would
    // follow it and open the directory to everyone.
    write_file("/srv/private/secret", "secret", fs::perms(0600));
    fs::permissions("/srv/private", fs::perms(0700));
    fs::create_symlink("/srv/private", "/srv/Private.app");
    for (const std::string bundle :
         {"/srv/source/Corvana.zip", "/srv/source/../source/Corvana.app", "srv/source/Corvana.app",
          "//srv/source/Corvana.app", "/srv/link.app", "/srv/Private.app/",
          "/srv/source/Missing.app", ""}) {
        restart_trace();
        tests::fake_tools::reset();
        EXPECT_FALSE(install(bundle)) << bundle;
        const std::vector<logged> expected = {{"info", "* Installing Corvana (corvana) *"},
                                              {"info", "* from: " + bundle + " *"},
                                              {"info", "* sys_conf: /srv/config *"},
                                              {"info", "Cleaning authorizationdb.."},
                                              {"error", "Wrong install source. aborted"}};
        EXPECT_EQ(lines(), expected) << bundle;
        // The rights were reset and the authorization tested all the same.
        EXPECT_EQ(security_runs(), 4);
    }
    EXPECT_FALSE(install(std::nullopt));
    EXPECT_EQ(read_file(installed + "/Contents/marker"), "untouched");
    EXPECT_TRUE(fs::is_empty("/Library/LaunchDaemons"));
    EXPECT_FALSE(exists("/var/log/corvana.trace"));
    EXPECT_FALSE(exists("/Applications/Private.app"));
    EXPECT_EQ(mode_of("/srv/private"), 0700u);
    EXPECT_EQ(mode_of("/srv/private/secret"), 0600u);
}

// Links are copied as links, and root later runs what the bundle holds: a link that leads out
// of the bundle would let its owner change that code after the install. Such a bundle is refused
// before anything is quit or removed.
TEST_F(AppInstallTest, LinksLeadingOutOfTheBundleAreRefused) {
    write_file(installed + "/Contents/marker", "untouched");
    fs::create_directories("/srv/user/MacOS");
    struct link_case {
        const char* at;
        const char* target;
    };
    // The last one only leaves through the link before it ("up" is Contents): read as text it
    // would stay inside.
    const std::vector<std::vector<link_case>> cases = {
        {{"Contents/MacOS", "/srv/user/MacOS"}},
        {{"Contents/Resources/user", "../../../../user"}},
        {{"Contents/Resources/up", ".."}, {"Contents/Resources/out", "up/../.."}},
    };
    for (const auto& links : cases) {
        const std::string last = source + "/" + links.back().at;
        SCOPED_TRACE(last);
        fs::remove_all(source);
        make_bundle(source, started_marker);
        for (const auto& link : links) {
            fs::remove_all(source + "/" + link.at);
            fs::create_symlink(link.target, source + "/" + link.at);
        }
        restart_trace();
        EXPECT_FALSE(install(source));
        const auto got = lines();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back(), (logged{"error", "Wrong install source (the link " + last +
                                                   " leads out of the bundle: " +
                                                   links.back().target + "). aborted"}));
        EXPECT_FALSE(was_logged(trace, {"info", "Quiting Corvana.."}));
        EXPECT_EQ(read_file(installed + "/Contents/marker"), "untouched");
    }
}

// The install right lets root replace a bundle in "/Applications" and start what it holds: only
// the application may be installed. Anything else is refused before anything is quit, removed or
// copied.
TEST_F(AppInstallTest, OnlyTheApplicationIsInstalled) {
    make_bundle(installed, started_marker);
    write_file(installed + "/Contents/marker", "untouched");
    struct source_case {
        const char* what;
        std::function<void()> make;
        std::string reason;  // the end of the refusal's text
    };
    const std::vector<source_case> cases = {
        {"unsigned", [] { make_bundle(source, "/tmp/other_started", false); },
         "does not satisfy the client requirement: "},
        {"changed after signing",
         [] {
             make_bundle(source, "/tmp/other_started");
             write_file(source + "/Contents/MacOS/Corvana", "#!/bin/sh\ntouch /tmp/other_started\n",
                        fs::perms(0700));
         },
         "does not satisfy the client requirement: "},
        {"signed by another team",
         [] {
             make_bundle(source, "/tmp/other_started", false);
             tests::chain_options other;
             other.team = "OTHERTEAM1";
             tests::sign_bundle(source, other);
         },
         "does not satisfy the client requirement: "},
        // The signature covers the main executable; the jobs run Contents/MacOS/Corvana, which
        // here is an extra file nobody signed.
        {"signed, but its main executable is another file",
         [] {
             write_file(source + "/Contents/Info.plist", tests::application_info_plist("Other"));
             write_file(source + "/Contents/MacOS/Other", "#!/bin/sh\n", fs::perms(0700));
             write_file(source + "/Contents/MacOS/Corvana", "#!/bin/sh\ntouch /tmp/other_started\n",
                        fs::perms(0700));
             tests::sign_bundle(source);
         },
         "does not satisfy the client requirement: its main executable is not "
         "Contents/MacOS/Corvana"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(source);
        c.make();
        restart_trace();
        tests::fake_tools::reset();
        EXPECT_FALSE(install(source));
        const auto got = lines();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().level, "error");
        const std::string head = "Wrong install source (" + source + " ";
        EXPECT_TRUE(got.back().message.starts_with(head + c.reason)) << got.back();
        EXPECT_TRUE(got.back().message.ends_with("). aborted")) << got.back();
        EXPECT_FALSE(was_logged(trace, {"info", "Quiting Corvana.."}));
        EXPECT_EQ(read_file(installed + "/Contents/marker"), "untouched");
        EXPECT_TRUE(fs::is_empty("/Library/LaunchDaemons"));
        EXPECT_TRUE(tests::fake_tools::calls_of("/bin/launchctl").empty());
    }
    EXPECT_FALSE(exists("/tmp/other_started"));

    // Control: the application itself, from the same place, is installed.
    fs::remove_all(source);
    make_bundle(source, started_marker);
    EXPECT_TRUE(install(source));
    EXPECT_FALSE(exists(installed + "/Contents/marker"));
}

// The install replaces the application's earlier install, not another application's bundle
// that bears the name of the source.
TEST_F(AppInstallTest, TheBundleItReplacesMustBeTheApplication) {
    const std::string other_source = "/srv/source/Other.app";
    const std::string other = "/Applications/Other.app";
    make_bundle(other_source, started_marker);
    write_file(other + "/Contents/Info.plist",
               "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
               "<string>org.example.other</string></dict></plist>");
    EXPECT_FALSE(install(other_source));
    const auto refusal = lines().back();
    EXPECT_EQ(refusal.level, "error");
    EXPECT_TRUE(
        refusal.message.starts_with("Wrong install source (it would replace another "
                                    "bundle: " +
                                    other + " does not satisfy the client requirement: "))
        << refusal;
    EXPECT_FALSE(was_logged(trace, {"info", "Quiting Corvana.."}));
    EXPECT_TRUE(exists(other + "/Contents/Info.plist"));
    EXPECT_FALSE(exists(other + "/Contents/MacOS/Corvana"));

    // Control: an older version of the application, which the requirement no longer accepts,
    // is replaced.
    fs::remove_all(other);
    make_bundle(other, started_marker, false);
    write_file(other + "/Contents/Info.plist",
               "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" +
                   std::string(tests::k_client_identifier) +
                   "</string><key>CFBundleExecutable</key><string>Corvana</string>"
                   "<key>CFBundleShortVersionString</key><string>5.9.0</string></dict></plist>");
    tests::sign_bundle(other);
    write_file(other + "/Contents/old_file", "old");
    EXPECT_TRUE(install(other_source));
    EXPECT_FALSE(exists(other + "/Contents/old_file"));
}

// A bundle already under "/Applications" is not copied, but the jobs run it and root starts it:
// it is checked all the same, before anything is changed.
TEST_F(AppInstallTest, BundleAlreadyInPlaceIsCheckedBeforeItIsUsed) {
    make_bundle(installed, started_marker, false);
    EXPECT_FALSE(install(installed));
    EXPECT_EQ(lines().back(),
              (logged{"error", "Wrong install source (" + installed +
                                   " does not satisfy the client requirement: " +
                                   code_signing_status_text(errSecCSUnsigned) + "). aborted"}));
    EXPECT_TRUE(fs::is_empty("/Library/LaunchDaemons"));
    EXPECT_TRUE(fs::is_empty("/Library/LaunchAgents"));
    EXPECT_FALSE(exists("/etc/corvana"));
    EXPECT_TRUE(tests::fake_tools::calls_of("/bin/launchctl").empty());
    EXPECT_TRUE(tests::fake_tools::calls_of("/usr/bin/xattr").empty());
    wait_for_launched_bundles();
    EXPECT_FALSE(exists(started_marker));

    tests::sign_bundle(installed);
    EXPECT_TRUE(install(installed));
    EXPECT_TRUE(wait_for_file(started_marker, std::chrono::seconds(10)));
}

TEST_F(AppInstallTest, SourceReachedThroughALinkIntoApplicationsIsNotRemoved) {
    make_bundle(installed, started_marker);
    write_file(installed + "/Contents/marker", "untouched");
    fs::create_symlink("/Applications", "/srv/apps");
    ASSERT_TRUE(install("/srv/apps/Corvana.app"));
    EXPECT_EQ(read_file(installed + "/Contents/marker"), "untouched");
    EXPECT_TRUE(was_logged(trace, {"warning", "already installed? skipping"}));
}

TEST_F(AppInstallTest, RefusedAuthorizationOrNamespaceDoesNothingElse) {
    EXPECT_FALSE(install(source, "corvana", bad_authorization()));
    auto got = lines();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got.back(), (logged{"error", "Authorization failed"}));
    EXPECT_EQ(security_runs(), 4);

    restart_trace();
    EXPECT_FALSE(install(source, "corvana-2"));
    EXPECT_EQ(lines().back(), (logged{"error", "Invalid arguments"}));

    EXPECT_FALSE(exists(installed));
    EXPECT_TRUE(fs::is_empty("/Library/LaunchDaemons"));
    EXPECT_TRUE(fs::is_empty("/Library/LaunchAgents"));
    EXPECT_FALSE(exists("/etc/corvana"));
    EXPECT_TRUE(tests::fake_tools::calls_of("/bin/launchctl").empty());
}

TEST_F(AppInstallTest, FailedCopyLeavesNoBundle) {
    make_bundle(installed, started_marker);  // an earlier install
    write_file(installed + "/Contents/old_file", "old");
    ASSERT_EQ(::mkfifo((source + "/Contents/Resources/pipe").c_str(), 0644), 0);
    EXPECT_FALSE(install(source));
    EXPECT_FALSE(exists(installed));
    const auto got = lines();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().level, "error");
    EXPECT_TRUE(got.back().message.starts_with("Can't copy app(")) << got.back();
    EXPECT_NE(got.back().message.find(source + "/Contents/Resources/pipe"), std::string::npos);
    EXPECT_TRUE(fs::is_empty("/Library/LaunchDaemons"));
}

TEST_F(AppInstallTest, BundleThatCannotBeDeletedFailsTheInstall) {
    make_bundle(installed, started_marker);
    // A mount point inside the old bundle can't be removed (EBUSY), not even by root.
    const std::string mount_point = installed + "/Contents/Resources";
    ASSERT_EQ(::mount("busy", mount_point.c_str(), "tmpfs", 0, "size=64k"), 0)
        << std::strerror(errno);
    const bool answer = install(source);
    ::umount2(mount_point.c_str(), MNT_DETACH);
    EXPECT_FALSE(answer);
    const auto got = lines();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().level, "error");
    EXPECT_TRUE(got.back().message.starts_with("Can't delete app(")) << got.back();
    EXPECT_TRUE(fs::is_empty("/Library/LaunchDaemons"));
}

TEST_F(AppInstallTest, AppThatCannotStartStillSucceeds) {
    // Still the application, signed, but its executable names an interpreter that is not there.
    write_file(source + "/Contents/MacOS/Corvana", "#!/nonexistent/sh\n", fs::perms(0700));
    tests::sign_bundle(source);
    ASSERT_TRUE(install(source));
    EXPECT_TRUE(was_logged(trace, {"warning", "Can't start app"}));
    EXPECT_EQ(lines().back(), (logged{"info", "** Installation finished **"}));
}

TEST_F(AppInstallTest, FailuresOfTheCleanupAreOnlyWarnings) {
    tests::fake_tools::set_status("launchctl", 1);
    tests::fake_tools::set_status("xattr", 1);
    write_file(service_file, "old");
    ASSERT_TRUE(install(source));
    EXPECT_TRUE(was_logged(trace, {"warning", "failed to stop com.quillmark.corvana.service"}));
    EXPECT_TRUE(was_logged(trace, {"warning", "failed to unload com.quillmark.corvana.service"}));
    EXPECT_TRUE(was_logged(trace, {"warning", "Can't remove from quarantine"}));
    EXPECT_EQ(read_file(service_file), testdata("com.quillmark.corvana.service.plist"));
}

TEST_F(AppInstallTest, TwoNamespacesAtOnce) {
    std::optional<bool> first;
    std::optional<bool> second;
    std::thread a([&] {
        tool->install_corvana_with_auth_data(authorization_for(install_right), source,
                                             "/srv/config", "alpha", "a",
                                             [&](bool ok) { first = ok; });
    });
    std::thread b([&] {
        tool->install_corvana_with_auth_data(authorization_for(install_right), source,
                                             "/srv/config", "beta", "b",
                                             [&](bool ok) { second = ok; });
    });
    a.join();
    b.join();
    EXPECT_EQ(first, true);
    EXPECT_EQ(second, true);
    for (const char* ns : {"alpha", "beta"}) {
        for (const std::string& path :
             {"/Library/LaunchDaemons/com.quillmark." + std::string(ns) + ".service.plist",
              "/Library/LaunchAgents/com.quillmark." + std::string(ns) + ".Frontend.plist"}) {
            auto job = read_property_list(path);
            ASSERT_TRUE(job) << path;
            EXPECT_EQ(plist_get_node_type(job->get()), PLIST_DICT);
        }
        EXPECT_EQ(read_file("/etc/" + std::string(ns) + "/service.conf"), "service");
    }
    EXPECT_EQ(read_file(installed + "/Contents/Resources/strings.txt"), "text");
}

}  // namespace
