// The real daemon and the real command line, end to end in the sandbox: admission, connection
// bookkeeping, the idle quit and the trace lines around them.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "helper/helper_tool.h"
#include "tests/support/client_role.h"
#include "tests/support/daemon_session.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using tests::daemon_session;

std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (const auto& line : tests::trace_lines(tests::k_daemon_trace)) {
        out.push_back(tests::parse_trace_line(line).message);
    }
    return out;
}

std::size_t count_of(const std::vector<std::string>& all, const std::string& message) {
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
}

class DaemonTest : public testing::Test {
  protected:
    void SetUp() override { std::filesystem::remove(tests::k_daemon_trace); }
};

TEST_F(DaemonTest, AdmitsTheSignedClientAndAnswersTheVersion) {
    daemon_session daemon;
    auto result = daemon.helperctl({"version"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "2.6\n");
    EXPECT_EQ(daemon.helperctl({"set-tray", "x", "on", "/nowhere"}).out, "true\n");
    auto restart = daemon.helperctl({"restart", "--bundle", "/Applications/Corvana.app"});
    EXPECT_EQ(restart.out, "false\n");
}

TEST_F(DaemonTest, RefusesAnUnsignedClientWithoutALogLine) {
    daemon_session daemon;
    std::this_thread::sleep_for(200ms);  // the start line is written before the socket
    auto before = tests::trace_lines(tests::k_daemon_trace).size();
    auto result = daemon.unsigned_helperctl({"version"});
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(tests::trace_lines(tests::k_daemon_trace).size(), before);
}

TEST_F(DaemonTest, CountsConnectionsAndQuitsTenSecondsAfterTheLastAcceptance) {
    daemon_session daemon;
    auto first = tests::start_client_role("Hold", {"first"});
    ASSERT_TRUE(first->wait_ready());
    auto second = tests::start_client_role("Hold", {"second"});
    ASSERT_TRUE(second->wait_ready());
    auto accepted_at = std::chrono::steady_clock::now();

    first->release();
    ASSERT_EQ(first->wait(10s), 0);
    std::this_thread::sleep_for(300ms);
    auto all = messages();
    EXPECT_EQ(count_of(all, "1 active connections"), 1u);
    EXPECT_EQ(count_of(all, "2 active connections"), 1u);
    EXPECT_EQ(count_of(all, "last conn invalidated"), 0u);

    second->release();
    ASSERT_EQ(second->wait(10s), 0);
    auto status = daemon.wait_exit(20s);
    auto quit_after = std::chrono::steady_clock::now() - accepted_at;
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_GE(quit_after, 9s);
    EXPECT_LE(quit_after, 13s);

    all = messages();
    ASSERT_GE(all.size(), 5u);
    EXPECT_EQ(count_of(all, "last conn invalidated"), 1u);
    auto lines = tests::trace_lines(tests::k_daemon_trace);
    EXPECT_EQ(tests::parse_trace_line(lines.front()).scope, "main");
    EXPECT_NE(lines.front().find("corvana"), std::string::npos);
    EXPECT_NE(lines.front().find("2.6"), std::string::npos);
    EXPECT_EQ(tests::parse_trace_line(lines.back()).scope, "main");
    for (const auto& line : lines) {
        EXPECT_NE(tests::parse_trace_line(line).level, "error") << line;
    }
}

TEST_F(DaemonTest, NeverQuitsBeforeItsFirstClient) {
    daemon_session daemon;
    EXPECT_FALSE(daemon.wait_exit(12s).has_value());
    EXPECT_EQ(daemon.helperctl({"version"}).out, "2.6\n");
}

TEST_F(DaemonTest, ANewClientWhileIdleRestartsTheWindow) {
    daemon_session daemon;
    ASSERT_EQ(daemon.helperctl({"version"}).exit_code, 0);
    std::this_thread::sleep_for(6s);
    ASSERT_EQ(daemon.helperctl({"version"}).exit_code, 0);
    auto again = std::chrono::steady_clock::now();
    auto status = daemon.wait_exit(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - again, 9s);
}

TEST_F(DaemonTest, ASecondInstanceRefusesToStartWhileTheFirstServes) {
    daemon_session daemon;
    // Taking the socket over would cut the serving daemon off from every new client.
    tests::child_process second({CORVANA_DAEMON_PATH});
    auto status = second.wait_exit(10s);
    ASSERT_TRUE(status.has_value()) << "the second instance went on serving";
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(daemon.helperctl({"version"}).out, "2.6\n");
    EXPECT_FALSE(daemon.wait_exit(0ms).has_value());
}

TEST_F(DaemonTest, StartsOnTheFirstConnectionWhenSocketActivated) {
    daemon_session daemon(daemon_session::options{.prefix = {}, .socket_activated = true});
    EXPECT_FALSE(std::filesystem::exists(tests::k_daemon_trace));
    auto result = daemon.helperctl({"version"});
    EXPECT_EQ(result.out, "2.6\n") << result.err;
    auto status = daemon.wait_exit(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
}

// 64 clients making 500 calls each at once: every call answered exactly once, no error line.
TEST_F(DaemonTest, ManyClientsAtOnce) {
    daemon_session daemon;
    auto load = tests::start_client_role("Load", {"64", "500"});
    EXPECT_EQ(load->wait(300s), 0) << load->output();
    EXPECT_NE(load->output().find("answered 32000 of 32000"), std::string::npos) << load->output();
    for (const auto& line : tests::trace_lines(tests::k_daemon_trace)) {
        EXPECT_NE(tests::parse_trace_line(line).level, "error") << line;
    }
}

// Seconds since 1 January 2001 UTC, as lastAccess counts them.
double now_since_reference_date() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - 978307200.0;
}

// The idle quit asks its condition again once the listener has stopped taking connections: a
// client admitted between the first ask and the pause keeps the helper, which serves on.
TEST_F(DaemonTest, AClientAdmittedJustBeforeTheIdlePauseKeepsTheHelper) {
    tests::use_trace_file("/var/log/idle_quit_test.trace");
    auto helper = helper_tool_t::init();
    ASSERT_TRUE(helper);
    // Idle for a minute already: the first tick finds that it may quit.
    helper->setCanQuit(true);
    helper->setLastAccess(now_since_reference_date() - 60.0);
    std::atomic<int> pauses{0};
    std::atomic<bool> client_done{false};
    tests::command_result client;
    helper->setBeforeIdlePause([&] {
        if (pauses++ == 0) {
            client = tests::run_command(
                {"/usr/bin/timeout", "30", tests::signed_helperctl_path(), "version"});
            client_done = true;
        }
    });
    std::atomic<bool> returned{false};
    std::thread runner([&] {
        EXPECT_TRUE(helper->run());
        returned = true;
    });
    ASSERT_TRUE(tests::wait_until([&] { return client_done.load(); }, 60s));
    EXPECT_EQ(client.out, "2.6\n") << client.err;
    // The next ticks find the acceptance too recent; a helper that did not ask again has gone.
    std::this_thread::sleep_for(2500ms);
    EXPECT_FALSE(returned.load());
    // Idle again, it quits at the next tick.
    helper->setLastAccess(now_since_reference_date() - 60.0);
    if (!tests::wait_until([&] { return returned.load(); }, 10s)) {
        ADD_FAILURE() << "run did not return once idle";
        runner.detach();
        (void)helper.release();  // still in use by the running loop
        return;
    }
    runner.join();
    EXPECT_GE(pauses.load(), 2);
}

}  // namespace
