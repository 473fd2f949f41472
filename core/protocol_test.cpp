// Hostile and broken clients: whatever one connection sends, the daemon refuses it with a warning,
// drops that connection, and keeps serving every other one.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include <corvana/helper_client.h>

#include "base/unique_fd.h"
#include "platform/ipc/xpc_message.h"
#include "protocol/types.h"
#include "tests/support/client_role.h"
#include "tests/support/daemon_session.h"
#include "tests/support/fake_tools.h"
#include "tests/support/trace_capture.h"

namespace {

using namespace std::chrono_literals;

void send_bytes(int fd, const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// True when the daemon closed the connection within the limit without answering.
bool dropped_without_answer(int fd, std::chrono::milliseconds limit = 15s) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
        return false;
    }
    // End of file, or a reset when the daemon closed with bytes of ours still unread.
    char byte;
    return ::recv(fd, &byte, 1, 0) <= 0;
}

std::vector<std::uint8_t> frame(std::uint32_t length, const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(length >> shift));
    }
    for (auto byte : payload) {
        out.push_back(byte);
    }
    return out;
}

std::vector<std::uint8_t> request(const std::string& selector, std::vector<wire_value> args) {
    return *encode_request(wire_request{selector, 1, std::move(args)});
}

// Runs in the signed copy of this program: every hostile message on its own connection, while
// one well-behaved connection stays open throughout.
CORVANA_ROLE(Hostile) {
    auto steady = corvana::helper_client_t::connect();
    ASSERT_TRUE(steady && steady->version());

    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases = {
        {"garbage", frame(10, std::vector<std::uint8_t>(10, 0x41))},
        {"xml instead of binary", frame(5, {'<', '?', 'x', 'm', 'l'})},
        {"huge length", frame(0x7fffffff, {1, 2, 3})},
        {"zero length", frame(0, {})},
        {"wrong type",
         request("is_service_installed_with_namespace:with_reply:", {std::int64_t{5}})},
        {"nil where a BOOL goes",
         request("setAutostartEnabled:forNamespace:reply:", {wire_nil{}, std::string("x")})},
        {"wrong count", request("get_version_with_reply:", {std::string("extra")})},
        {"unknown selector", request("format_disk:", {})},
    };
    for (const auto& [name, bytes] : cases) {
        unique_fd fd = tests::raw_connection();
        ASSERT_TRUE(fd) << name;
        send_bytes(fd.get(), bytes);
        EXPECT_TRUE(dropped_without_answer(fd.get())) << name;
    }

    // A length one past the bound, and no body: refused on the header alone, long before the
    // 10 s a started message is given to complete.
    {
        unique_fd fd = tests::raw_connection();
        ASSERT_TRUE(fd);
        send_bytes(fd.get(), frame(64 * 1024 + 1, {}));
        EXPECT_TRUE(dropped_without_answer(fd.get(), 5s));
    }

    // A frame cut short, then the client goes away.
    {
        unique_fd fd = tests::raw_connection();
        auto full = request("get_version_with_reply:", {});
        send_bytes(fd.get(), std::vector<std::uint8_t>(full.begin(), full.begin() + 10));
    }
    // A client that goes away in the middle of a slow call: the reply meets a closed socket.
    {
        unique_fd fd = tests::raw_connection();
        send_bytes(fd.get(), request("set_darkwake_mode:reply:", {std::int64_t{1}}));
    }
    std::this_thread::sleep_for(3s);

    EXPECT_EQ(steady->version().value_or("unanswered"), "2.6");
    auto fresh = corvana::helper_client_t::connect();
    ASSERT_TRUE(fresh) << fresh.error().message;
    EXPECT_EQ(fresh->version().value_or("unanswered"), "2.6");
    std::printf("survived\n");
}

TEST(Protocol, TheDaemonSurvivesHostileClients) {
    tests::fake_tools::set_delay("sysctl", 1);
    tests::fake_tools::set_output("sysctl", "debug.darkwake: 0 -> 1\n");
    tests::daemon_session daemon;
    auto hostile = tests::start_client_role("Hostile", {});
    EXPECT_EQ(hostile->wait(120s), 0) << hostile->output();
    EXPECT_NE(hostile->output().find("survived"), std::string::npos) << hostile->output();
    EXPECT_FALSE(daemon.wait_exit(0ms).has_value());

    auto warnings = tests::trace_messages(tests::k_daemon_trace, "warning");
    std::size_t refusals = 0;
    std::size_t over_the_bound = 0;
    for (const auto& w : warnings) {
        refusals += w.find("refused a message") != std::string::npos;
        over_the_bound += w.find("message length 65537 out of bounds") != std::string::npos;
    }
    EXPECT_GE(refusals, 10u);
    EXPECT_EQ(over_the_bound, 1u);
    for (const auto& e : tests::trace_messages(tests::k_daemon_trace, "error")) {
        ADD_FAILURE() << "error line: " << e;
    }
    EXPECT_EQ(daemon.helperctl({"version"}).out, "2.6\n");
}

TEST(Protocol, CommandLineUsageAndExitCodes) {
    tests::daemon_session daemon;
    EXPECT_EQ(daemon.helperctl({}).exit_code, 2);
    EXPECT_EQ(daemon.helperctl({"no-such-command"}).exit_code, 2);
    EXPECT_EQ(daemon.helperctl({"set-autostart", "maybe", "corvana"}).exit_code, 2);
    EXPECT_EQ(daemon.helperctl({"install", "--auth", "/nonexistent"}).exit_code, 2);
    EXPECT_EQ(daemon.helperctl({"set-darkwake", "12x"}).exit_code, 2);
    EXPECT_EQ(daemon.helperctl({"is-installed", "\xff"}).exit_code, 2);
    auto help = daemon.helperctl({"install", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("--sysconfig DIR"), std::string::npos);
    EXPECT_EQ(daemon.helperctl({"--socket", "/nonexistent.socket", "version"}).exit_code, 3);
    EXPECT_EQ(daemon.helperctl({"--socket", tests::daemon_session::socket_path(), "version"}).out,
              "2.6\n");
}

TEST(Protocol, CommandLineTakesOptionsEitherWayAndAnswersHelpAndVersion) {
    tests::daemon_session daemon;
    const std::string socket = tests::daemon_session::socket_path();
    // "--name=value" as well as "--name value", before or after the command.
    EXPECT_EQ(daemon.helperctl({"--socket=" + socket, "version"}).out, "2.6\n");
    EXPECT_EQ(daemon.helperctl({"restart", "--bundle=/Applications/Corvana.app"}).out, "false\n");
    auto after = daemon.helperctl({"version", "--socket=/nonexistent.socket"});
    EXPECT_EQ(after.exit_code, 3) << after.err;
    // A negative number is a word, not an option.
    EXPECT_EQ(daemon.helperctl({"set-darkwake", "--socket", socket, "-1"}).exit_code, 0);
    EXPECT_EQ(daemon.helperctl({"is-installed", "--bogus=1", "corvana"}).exit_code, 2);
    EXPECT_EQ(daemon.helperctl({"restart", "--bundle"}).exit_code, 2);

    auto help = daemon.helperctl({"set-tray", "--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out, "usage: corvana-helperctl set-tray TEXT on|off PATH\n");
    auto version = daemon.helperctl({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, "corvana-helperctl 2.6\n");

    // The socket's value is not taken for the command, even when it reads like one.
    auto authorize_help = daemon.helperctl({"--socket", "authorize", "authorize", "--help"});
    EXPECT_EQ(authorize_help.exit_code, 0) << authorize_help.err;
    EXPECT_NE(authorize_help.out.find("usage: corvana-helperctl authorize"), std::string::npos);
    EXPECT_EQ(daemon.helperctl({"--socket", "version", "is-installed", "corvana"}).exit_code, 3);
}

}  // namespace
