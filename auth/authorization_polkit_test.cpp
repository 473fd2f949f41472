// The guarded operations asking polkit, through the real daemon and command line, with polkitd
// played by python-dbusmock on a private system bus.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/authorization/authorization.h"
#include "platform/authorization/client_form.h"
#include "tests/support/authorization_database.h"
#include "tests/support/command.h"
#include "tests/support/daemon_session.h"
#include "tests/support/fake_tools.h"
#include "tests/support/polkit_bus.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using tests::polkit_bus;

constexpr const char* k_dir = "/var/tmp/authorization-polkit-test";
constexpr const char* k_settings_right = "com.quillmark.Corvana.Helper.global_settings";
constexpr const char* k_settings_action = "com.quillmark.Corvana.Helper.global-settings";

std::string failed(const char* what, long code) {
    return std::string(what) + " The operation couldn\u2019t be completed. (OSStatus error " +
           std::to_string(code) + ".)";
}

const std::string k_denied = failed("external auth failed", errAuthorizationDenied);
const std::string k_canceled = failed("external auth failed", errAuthorizationCanceled);

struct guarded_command_t {
    std::string action;
    std::vector<std::string> arguments;  // the command without --auth
    std::string message;
    std::vector<std::string> refusal;  // the error lines of a refused check
};

std::vector<guarded_command_t> guarded_commands() {
    const std::vector<std::string> bundle{"--bundle",        "/var/tmp/Corvana.app", "--sysconfig",
                                          "/var/tmp/config", "--namespace",          "ns"};
    auto with = [](std::vector<std::string> head, const std::vector<std::string>& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    return {
        {"com.quillmark.Corvana.Helper.install-corvana",
         with({"install"}, bundle),
         "Corvana is trying to install itself",
         {k_denied, "Authorization failed"}},
        {"com.quillmark.Corvana.Helper.install-service",
         {"install-service", "--namespace", "ns", "--config", "/var/tmp/config"},
         "Corvana is trying to install global service",
         {k_denied, "Authorization failed"}},
        {"com.quillmark.Corvana.Helper.uninstall-corvana",
         with({"uninstall"}, bundle),
         "Corvana is trying to uninstall itself",
         {k_denied, "Authorization failed. Uninstall aborted"}},
        {k_settings_action,
         {"check-settings-auth"},
         "Corvana is trying to unlock the global settings",
         {k_denied}},
    };
}

class AuthorizationPolkitTest : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        tests::fake_tools::reset();
        tests::ensure_authorization_users();
        tests::remove_authorization_database();
        fs::remove(tests::k_daemon_trace);
        fs::remove_all(k_dir);
        fs::create_directories(k_dir);
        ::chmod(k_dir, 0755);
    }

    void start(bool with_polkit = true) {
        bus_ = std::make_unique<polkit_bus>(with_polkit);
        tests::daemon_session::options options;
        options.environment = {polkit_bus::environment()};
        daemon_.emplace(options);
    }

    // A client-made authorization in a file any user may read (so another user can try it).
    std::string make_form(const std::string& name) {
        const std::string path = std::string(k_dir) + "/" + name;
        auto made = tests::run_command(
            {tests::signed_helperctl_path(), "make-authorization", "--out", path});
        EXPECT_EQ(made.exit_code, 0) << made.err;
        ::chmod(path.c_str(), 0644);
        return path;
    }

    std::string unlock(const std::string& auth, const std::string& user = "") {
        std::vector<std::string> argv;
        if (!user.empty()) {
            const auto uid = std::to_string(tests::uid_of(user.c_str()));
            argv = {"/usr/bin/setpriv", "--reuid=" + uid, "--regid=65534", "--clear-groups"};
        }
        argv.insert(argv.end(),
                    {tests::signed_helperctl_path(), "check-settings-auth", "--auth", auth});
        auto result = tests::run_command(argv);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return result.out;
    }

    // A guarded command run in the background, once polkit holds its question.
    std::unique_ptr<tests::child_process> waiting_client(const std::vector<std::string>& command) {
        std::vector<std::string> argv{tests::signed_helperctl_path()};
        argv.insert(argv.end(), command.begin(), command.end());
        auto client = std::make_unique<tests::child_process>(argv);
        EXPECT_TRUE(
            tests::wait_until([&] { return bus_->has_hanging_calls(); }, std::chrono::seconds(20)));
        return client;
    }

    std::size_t questions() { return bus_->calls("CheckAuthorization").size(); }

    std::vector<std::string> errors() {
        return tests::trace_messages(tests::k_daemon_trace, "error");
    }

    std::unique_ptr<polkit_bus> bus_;
    std::optional<tests::daemon_session> daemon_;
};

TEST_F(AuthorizationPolkitTest, EachRightIsAskedForTheClientProcessWithItsDescription) {
    start();
    std::vector<std::string> actions;
    for (const auto& command : guarded_commands()) {
        actions.push_back(command.action);
    }
    bus_->hang(actions);
    std::size_t seen = 0;
    for (const auto& command : guarded_commands()) {
        SCOPED_TRACE(command.action);
        const std::size_t earlier = errors().size();
        auto client = waiting_client(command.arguments);
        const pid_t pid = client->pid();
        const auto start_time = tests::process_start_time(pid);
        bus_->release_hanging_calls();  // nothing is allowed: refused
        ASSERT_EQ(client->wait_exit(std::chrono::seconds(20)), 0);

        const auto asked = bus_->calls("CheckAuthorization");
        ASSERT_EQ(asked.size(), ++seen);
        const std::string& call = asked.back().arguments;
        // subject (unix-process: pid, start-time, uid), action, details, flags, cancellation id
        EXPECT_THAT(call, HasSubstr("'unix-process'"));
        EXPECT_THAT(call, HasSubstr("'pid'): dbus.UInt32(" + std::to_string(pid) + ","));
        EXPECT_THAT(call,
                    HasSubstr("'start-time'): dbus.UInt64(" + std::to_string(start_time) + ","));
        EXPECT_THAT(call, HasSubstr("'uid'): dbus.Int32(0,"));
        EXPECT_THAT(call, testing::Not(HasSubstr("'pidfd'")));  // the mock is older than 124
        EXPECT_TRUE(std::regex_search(
            call, std::regex("\"" + command.action + "\" \\{\"polkit.message\": \"" +
                             command.message + "\"\\} 1 \"corvana-[0-9a-f]{32}\"$")))
            << call;
        const auto lines = errors();
        EXPECT_EQ(std::vector(lines.begin() + static_cast<std::ptrdiff_t>(earlier), lines.end()),
                  command.refusal);
    }

    // A polkit that takes a pidfd (124 on) gets the client's as well.
    bus_->report_version("124");
    auto client = waiting_client({"check-settings-auth"});
    bus_->release_hanging_calls();
    ASSERT_EQ(client->wait_exit(std::chrono::seconds(20)), 0);
    EXPECT_THAT(bus_->calls("CheckAuthorization").back().arguments, HasSubstr("'pidfd'"));
}

TEST_F(AuthorizationPolkitTest, GrantedRightsStayWithTheirOwnersAuthorization) {
    start();
    bus_->allow({k_settings_action});
    const std::string mine = make_form("mine.auth");
    EXPECT_EQ(unlock(mine), "true\n");
    EXPECT_EQ(questions(), 1u);
    // Extended: the authorization now holds the right, and polkit is not asked again.
    EXPECT_EQ(unlock(mine), "true\n");
    EXPECT_EQ(questions(), 1u);

    // Another user presenting it is refused without asking; the same user with a form of their
    // own is asked, and granted (the control: that user's client reaches polkit).
    EXPECT_EQ(unlock(mine, "authuser"), "false\n");
    EXPECT_EQ(questions(), 1u);
    EXPECT_EQ(unlock(make_form("theirs.auth"), "authuser"), "true\n");
    EXPECT_EQ(questions(), 2u);
    EXPECT_THAT(bus_->calls("CheckAuthorization").back().arguments,
                HasSubstr("'uid'): dbus.Int32(" + std::to_string(tests::uid_of("authuser")) + ","));

    // Root's tokens work as before, without asking; 32 bytes that are neither a token nor a
    // client's form, and a client's form past its life, are refused without asking.
    EXPECT_EQ(unlock(tests::issue_authorization({k_settings_right})), "true\n");
    client_form_bytes_t old{};
    ASSERT_TRUE(make_client_form(old));
    const auto dead =
        static_cast<std::uint64_t>(*client_form_made_at(old) - 2 * kAuthorizationLifetimeSeconds);
    for (std::size_t i = 0; i < 8; ++i) {  // the making time, big-endian after the marker
        old[k_client_form_marker.size() + i] = static_cast<std::uint8_t>(dead >> (8 * (7 - i)));
    }
    std::vector<std::uint8_t> plain(32, 0x5a);
    for (const auto& [name, bytes] :
         {std::pair{"old.auth", std::vector<std::uint8_t>(old.begin(), old.end())},
          std::pair{"plain.auth", plain}}) {
        const std::string path = std::string(k_dir) + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), 32);
        EXPECT_EQ(unlock(path), "false\n") << name;
    }
    EXPECT_EQ(questions(), 2u);
    EXPECT_THAT(errors(), ElementsAre(k_denied, k_denied, k_denied));
}

TEST_F(AuthorizationPolkitTest, OnATerminalTheCommandHasAnAgentForItselfUnlessToldNot) {
    start();
    bus_->allow({k_settings_action});
    const std::string form = make_form("terminal.auth");
    auto on_terminal = [&](const std::string& option) {
        const std::string command =
            tests::signed_helperctl_path() + " " + option + " check-settings-auth --auth " + form;
        return tests::run_command({"/usr/bin/script", "-qec", command, "/dev/null"},
                                  {polkit_bus::environment()});
    };
    EXPECT_THAT(on_terminal("").out, HasSubstr("true"));
    const auto agents = bus_->calls("RegisterAuthenticationAgent");
    ASSERT_EQ(agents.size(), 1u);
    // Registered for the very process polkit is then asked about.
    const std::regex pid("'pid'\\): dbus.UInt32\\(([0-9]+),");
    std::smatch agent_pid;
    std::smatch asked_pid;
    const std::string asked = bus_->calls("CheckAuthorization").back().arguments;
    ASSERT_TRUE(std::regex_search(agents.front().arguments, agent_pid, pid));
    ASSERT_TRUE(std::regex_search(asked, asked_pid, pid));
    EXPECT_EQ(agent_pid[1], asked_pid[1]);

    EXPECT_THAT(on_terminal("--no-ask-password").out, HasSubstr("true"));
    EXPECT_EQ(bus_->calls("RegisterAuthenticationAgent").size(), 1u);
}

TEST_F(AuthorizationPolkitTest, RefusedDismissedAndNoPolkitEachFailTheCheck) {
    start();
    bus_->allow({});
    EXPECT_EQ(unlock(make_form("refused.auth")), "false\n");

    bus_->hang({k_settings_action});
    auto client = waiting_client({"check-settings-auth"});
    bus_->dismiss_hanging_calls();
    EXPECT_EQ(client->wait_exit(std::chrono::seconds(20)), 0);
    EXPECT_THAT(errors(), ElementsAre(k_denied, k_canceled));

    // Without polkit on the bus nobody can grant anything: refused, as before there was polkit.
    daemon_.reset();
    bus_.reset();
    fs::remove(tests::k_daemon_trace);
    start(false);
    EXPECT_EQ(unlock(make_form("nobody.auth")), "false\n");
    EXPECT_THAT(errors(), ElementsAre(k_denied));
}

TEST_F(AuthorizationPolkitTest, AClientThatHangsUpCancelsItsPromptWhileOthersAreServed) {
    start();
    bus_->hang({k_settings_action});
    auto client = waiting_client({"check-settings-auth"});

    // The waiting call holds one connection's thread only.
    auto version = daemon_->helperctl({"version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(unlock(tests::issue_authorization({k_settings_right})), "true\n");
    // Past the idle time (ten seconds after the last connection), the helper still waits.
    std::this_thread::sleep_for(std::chrono::seconds(11));
    EXPECT_FALSE(daemon_->wait_exit(std::chrono::milliseconds(0)));

    client->kill(SIGKILL);
    ASSERT_TRUE(
        tests::eventually([&] { return !bus_->calls("CancelCheckAuthorization").empty(); }));
    const std::string check = bus_->calls("CheckAuthorization").front().arguments;
    const std::string cancel = bus_->calls("CancelCheckAuthorization").front().arguments;
    EXPECT_THAT(check, testing::EndsWith(" " + cancel));
    EXPECT_TRUE(tests::eventually([&] { return errors() == std::vector{k_canceled}; }));
}

}  // namespace
