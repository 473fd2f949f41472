#include <gtest/gtest.h>

#include "install/install_test_support.h"

namespace {

using namespace install_testing;

const std::string service_file = "/Library/LaunchDaemons/com.quillmark.corvana.service.plist";
const std::string agent_file = "/Library/LaunchAgents/com.quillmark.corvana.Frontend.plist";

class ServiceInstallTest : public InstallFixture {
  protected:
    void SetUp() override {
        InstallFixture::SetUp();
        make_bundle("/Applications/Corvana.app", started_marker);
        ::chmod("/Applications/Corvana.app/Contents/Resources/strings.txt", 0600);
        write_file("/srv/config/system.conf", "system");
        write_file("/srv/config/service.conf", "service");
        write_file("/srv/config/connection_trace.txt", "trace");
    }

    bool install(const std::string& ns, ns_data auth, ns_string config = "/srv/config") {
        return tests::answer_of<bool>([&](auto reply) {
            tool->install_corvana_service_with(std::move(auth), ns, std::move(config), reply);
        });
    }
    bool install(const std::string& ns) { return install(ns, authorization_for(service_right)); }
};

TEST_F(ServiceInstallTest, FirstInstallWritesJobFilesTraceAndConfig) {
    ASSERT_TRUE(install("corvana"));

    EXPECT_EQ(read_file(service_file), testdata("com.quillmark.corvana.service.plist"));
    EXPECT_EQ(read_file(agent_file), testdata("com.quillmark.corvana.Frontend.plist"));

    EXPECT_TRUE(fs::is_regular_file("/var/log/corvana.trace"));
    EXPECT_EQ(fs::file_size("/var/log/corvana.trace"), 0u);
    EXPECT_EQ(mode_of("/var/log/corvana.trace"), 0666u);

    EXPECT_EQ(read_file("/etc/corvana/system.conf"), "system");
    EXPECT_EQ(read_file("/etc/corvana/service.conf"), "service");
    EXPECT_EQ(read_file("/etc/corvana/connection_trace.txt"), "trace");
    EXPECT_EQ(mode_of("/etc/corvana"), 0775u);
    EXPECT_EQ(mode_of("/etc/corvana/system.conf"), 0775u);
    EXPECT_EQ(mode_of("/Applications/Corvana.app/Contents/Resources/strings.txt"), 0755u);
    EXPECT_EQ(chown_calls(), (std::vector<std::string>{"-R root:staff /etc/corvana",
                                                       "-R root:wheel /Applications/Corvana.app"}));
    // Written, never loaded.
    EXPECT_TRUE(tests::fake_tools::calls_of("/bin/launchctl").empty());
    EXPECT_TRUE(wait_for_file(started_marker, std::chrono::seconds(10)));

    const std::vector<logged> expected = {
        {"info", "* Installing Corvana Services (corvana) *"},
        {"info", "Creating global trace file.."},
        {"info", "Installing " + service_file},
        {"info", "Installing " + agent_file},
        {"info", "Creating global config.."},
        {"info", "Correcting permissions.."},
        {"info", "** Service installation finished **"},
    };
    EXPECT_EQ(lines(), expected);
    for (const auto& line : tests::trace_lines(trace)) {
        EXPECT_EQ(tests::parse_trace_line(line).scope, "helper_tool") << line;
    }
}

TEST_F(ServiceInstallTest, SecondInstallKeepsConfigAndTraceAndRewritesJobFiles) {
    ASSERT_TRUE(install("corvana"));
    write_file("/var/log/corvana.trace", "earlier lines\n", fs::perms(0600));
    write_file("/etc/corvana/system.conf", "edited by hand");
    write_file(service_file, "garbage");
    fs::remove(agent_file);
    restart_trace();

    ASSERT_TRUE(install("corvana"));
    EXPECT_EQ(read_file("/var/log/corvana.trace"), "earlier lines\n");
    EXPECT_EQ(mode_of("/var/log/corvana.trace"), 0666u);
    EXPECT_EQ(read_file("/etc/corvana/system.conf"), "edited by hand");
    EXPECT_EQ(read_file(service_file), testdata("com.quillmark.corvana.service.plist"));
    EXPECT_EQ(read_file(agent_file), testdata("com.quillmark.corvana.Frontend.plist"));
    EXPECT_TRUE(was_logged(trace, {"warning", "global config files already exists. Skipping."}));
    EXPECT_FALSE(was_logged(trace, {"info", "Creating global trace file.."}));
    EXPECT_TRUE(was_logged(trace, {"info", "Correcting permissions.."}));
}

TEST_F(ServiceInstallTest, IncompleteSourceCopiesNothingButFixesPermissions) {
    fs::remove("/srv/config/service.conf");
    ASSERT_TRUE(install("corvana"));
    EXPECT_TRUE(was_logged(trace, {"info", "local config incomplete. Skipping."}));
    EXPECT_TRUE(fs::is_directory("/etc/corvana"));
    EXPECT_TRUE(fs::is_empty("/etc/corvana"));
    EXPECT_EQ(mode_of("/etc/corvana"), 0775u);
    EXPECT_EQ(chown_calls().front(), "-R root:staff /etc/corvana");

    // No source at all, or a relative one, is just as incomplete.
    ASSERT_TRUE(install("corvana", authorization_for(service_right), std::nullopt));
    ASSERT_TRUE(install("corvana", authorization_for(service_right), "srv/config"));
    EXPECT_TRUE(fs::is_empty("/etc/corvana"));
}

// The source is only read: any spelling of it serves. A relative one is refused with its reason,
// since the daemon's working directory is not the caller's.
TEST_F(ServiceInstallTest, AnySpellingOfAnAbsoluteSourceIsCopied) {
    fs::create_directories("/srv/other");
    for (const char* spelling : {"/srv/other/../config", "/srv//config", "/srv/./config/"}) {
        fs::remove_all("/etc/corvana");
        restart_trace();
        ASSERT_TRUE(install("corvana", authorization_for(service_right), spelling));
        EXPECT_EQ(read_file("/etc/corvana/service.conf"), "service") << spelling;
        EXPECT_FALSE(was_logged(trace, {"info", "local config incomplete. Skipping."})) << spelling;
    }
    fs::remove_all("/etc/corvana");
    restart_trace();
    ASSERT_TRUE(install("corvana", authorization_for(service_right), "srv/config"));
    EXPECT_TRUE(fs::is_empty("/etc/corvana"));
    EXPECT_TRUE(was_logged(
        trace, {"warning", "config source srv/config is not an absolute path. Skipping."}));
}

TEST_F(ServiceInstallTest, PartialDestinationGetsOnlyTheMissingFiles) {
    // The helper's own directory, which has lost two of its files.
    ASSERT_TRUE(install("corvana"));
    fs::remove("/etc/corvana/service.conf");
    fs::remove("/etc/corvana/connection_trace.txt");
    write_file("/etc/corvana/system.conf", "existing");
    ASSERT_TRUE(install("corvana"));
    EXPECT_EQ(read_file("/etc/corvana/system.conf"), "existing");
    EXPECT_EQ(read_file("/etc/corvana/service.conf"), "service");
    EXPECT_EQ(read_file("/etc/corvana/connection_trace.txt"), "trace");

    // The optional file may be missing from the source.
    fs::remove_all("/etc/corvana");
    fs::remove("/srv/config/connection_trace.txt");
    ASSERT_TRUE(install("corvana"));
    EXPECT_TRUE(exists("/etc/corvana/service.conf"));
    EXPECT_FALSE(exists("/etc/corvana/connection_trace.txt"));
}

TEST_F(ServiceInstallTest, AJobFileThatCannotBeWrittenIsReportedAndTheReplyStaysYes) {
    write_file(service_file + "/inside", "in the way");
    ASSERT_TRUE(install("corvana"));
    EXPECT_TRUE(was_logged(trace, {"error", "Can't write " + service_file + ": Is a directory"}));
    EXPECT_EQ(read_file(agent_file), testdata("com.quillmark.corvana.Frontend.plist"));
    EXPECT_EQ(lines().back(), (logged{"info", "** Service installation finished **"}));
}

TEST_F(ServiceInstallTest, RefusalsTouchNoFile) {
    struct refusal {
        std::string ns;
        ns_data auth;
        std::vector<logged> expected_tail;
    };
    const std::vector<refusal> refusals = {
        {"corvana-2", authorization_for(service_right), {{"error", "Invalid arguments"}}},
        {"../corvana", authorization_for(service_right), {{"error", "Invalid arguments"}}},
        {"corvana", bad_authorization(), {{"error", "Authorization failed"}}},
        {"corvana", std::nullopt, {{"error", "Authorization failed"}}},
    };
    for (const auto& r : refusals) {
        restart_trace();
        EXPECT_FALSE(install(r.ns, r.auth)) << r.ns;
        const auto got = lines();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.front(), (logged{"info", "* Installing Corvana Services (" + r.ns + ") *"}));
        EXPECT_EQ(got.back(), r.expected_tail.back()) << r.ns;
    }
    EXPECT_TRUE(fs::is_empty("/Library/LaunchDaemons"));
    EXPECT_TRUE(fs::is_empty("/Library/LaunchAgents"));
    EXPECT_FALSE(exists("/var/log/corvana.trace"));
    EXPECT_FALSE(exists("/var/log/corvana-2.trace"));
    EXPECT_FALSE(exists("/etc/corvana"));
    EXPECT_FALSE(exists("/etc/corvana-2"));
    EXPECT_TRUE(tests::fake_tools::calls().empty());
    EXPECT_FALSE(exists(started_marker));

    std::optional<bool> answer;
    tool->install_corvana_service_with(authorization_for(service_right), std::nullopt,
                                       "/srv/config", [&](bool ok) { answer = ok; });
    EXPECT_EQ(answer, false);
    EXPECT_TRUE(was_logged(trace, {"info", "* Installing Corvana Services ((null)) *"}));
}

// The empty namespace would make "/etc" itself the global configuration directory: the
// namespace rule refuses it, and nothing is written.
TEST_F(ServiceInstallTest, EmptyNamespaceLeavesEtcAlone) {
    const mode_t etc_mode = mode_of("/etc");
    const mode_t passwd_mode = mode_of("/etc/passwd");
    EXPECT_FALSE(install(""));
    EXPECT_EQ(lines().back(), (logged{"error", "Invalid arguments"}));
    EXPECT_EQ(mode_of("/etc"), etc_mode);
    EXPECT_EQ(mode_of("/etc/passwd"), passwd_mode);
    EXPECT_FALSE(exists("/etc/system.conf"));
    EXPECT_TRUE(tests::fake_tools::calls().empty());
    EXPECT_TRUE(fs::is_empty("/Library/LaunchDaemons"));
    EXPECT_FALSE(exists("/var/log/.trace"));
}

// A namespace names "/etc/NAMESPACE" and "/var/log/NAMESPACE.trace": where these are the system's
// or another package's, the service install must not open them up ("ssl" would re-mode all of
// "/etc/ssl"). Only what the helper made for the namespace is re-moded and re-owned.
TEST_F(ServiceInstallTest, WhatTheHelperDidNotMakeKeepsItsModes) {
    write_file("/etc/sslx/private/key.pem", "secret", fs::perms(0600));
    ::chmod("/etc/sslx/private", 0700);
    ::chmod("/etc/sslx", 0755);
    write_file("/var/log/sslx.trace", "someone's log", fs::perms(0640));

    ASSERT_TRUE(install("sslx"));
    EXPECT_EQ(mode_of("/etc/sslx"), 0755u);
    EXPECT_EQ(mode_of("/etc/sslx/private"), 0700u);
    EXPECT_EQ(mode_of("/etc/sslx/private/key.pem"), 0600u);
    EXPECT_FALSE(exists("/etc/sslx/system.conf"));
    EXPECT_EQ(mode_of("/var/log/sslx.trace"), 0640u);
    EXPECT_EQ(chown_calls(), (std::vector<std::string>{"-R root:wheel /Applications/Corvana.app"}));
    EXPECT_TRUE(
        was_logged(trace, {"error", "/etc/sslx was not made for this installation. Skipping."}));
    EXPECT_TRUE(was_logged(
        trace,
        {"error", "/var/log/sslx.trace was not made for this installation, its mode stays"}));

    // The daemon's own trace has the name of namespace "corvana"'s: its mode is the daemon's.
    fs::remove(trace);
    write_file("/var/log/corvana.trace", "", fs::perms(0644));
    tests::use_trace_file("/var/log/corvana.trace");
    ASSERT_TRUE(install("corvana"));
    EXPECT_EQ(mode_of("/var/log/corvana.trace"), 0644u);
    for (const auto& line : logged_lines("/var/log/corvana.trace")) {
        EXPECT_NE(line.level, "error") << line;
    }
    restart_trace();

    // What the helper made is known by more than its name: made again by someone else, it is
    // not the helper's.
    ASSERT_TRUE(install("fresh"));
    EXPECT_EQ(mode_of("/etc/fresh"), 0775u);
    EXPECT_EQ(mode_of("/var/log/fresh.trace"), 0666u);
    fs::remove_all("/etc/fresh");
    fs::create_directory("/etc/fresh");
    ::chmod("/etc/fresh", 0755);
    write_file("/etc/fresh/system.conf", "someone else's", fs::perms(0600));
    ASSERT_TRUE(install("fresh"));
    EXPECT_EQ(mode_of("/etc/fresh"), 0755u);
    EXPECT_EQ(mode_of("/etc/fresh/system.conf"), 0600u);
    EXPECT_TRUE(
        was_logged(trace, {"error", "/etc/fresh was not made for this installation. Skipping."}));
}

TEST_F(ServiceInstallTest, PlantedLinksAreNotWrittenThrough) {
    write_file("/srv/victim_file", "secret", fs::perms(0600));
    fs::create_directories("/srv/victim_dir");
    ::chmod("/srv/victim_dir", 0700);
    fs::create_directories("/var/log");
    fs::create_symlink("/srv/victim_file", "/var/log/corvana.trace");
    fs::create_symlink("/srv/victim_dir", "/etc/corvana");

    ASSERT_TRUE(install("corvana"));
    EXPECT_EQ(mode_of("/srv/victim_file"), 0600u);
    EXPECT_EQ(read_file("/srv/victim_file"), "secret");
    EXPECT_EQ(mode_of("/srv/victim_dir"), 0700u);
    EXPECT_TRUE(fs::is_empty("/srv/victim_dir"));
    EXPECT_EQ(chown_calls(), (std::vector<std::string>{"-R root:wheel /Applications/Corvana.app"}));
    EXPECT_TRUE(was_logged(
        trace, {"error", "/var/log/corvana.trace is not a regular file, its mode stays"}));
    EXPECT_TRUE(was_logged(
        trace, {"error", "/etc/corvana can't be the global config directory. Skipping."}));

    // A link where the bundle should be is not followed by the mode and owner changes.
    fs::remove_all("/Applications/Corvana.app");
    fs::create_symlink("/srv/victim_dir", "/Applications/Corvana.app");
    tests::fake_tools::reset();
    ASSERT_TRUE(install("corvana"));
    EXPECT_EQ(mode_of("/srv/victim_dir"), 0700u);
    EXPECT_TRUE(chown_calls().empty());
    EXPECT_TRUE(was_logged(
        trace, {"error", "/Applications/Corvana.app is not a directory, its mode and owner stay"}));

    // A link planted at a job file is replaced, not written through.
    fs::remove(service_file);
    fs::create_symlink("/srv/victim_file", service_file);
    ASSERT_TRUE(install("corvana"));
    EXPECT_EQ(read_file("/srv/victim_file"), "secret");
    EXPECT_FALSE(fs::is_symlink(service_file));
    EXPECT_EQ(read_file(service_file), testdata("com.quillmark.corvana.service.plist"));
}

}  // namespace
