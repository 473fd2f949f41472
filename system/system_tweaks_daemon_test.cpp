// The system tweaks through the real daemon: the start-up open-files check under limits set by
// prlimit, and the remote calls through the command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/daemon_session.h"
#include "tests/support/fake_tools.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::IsEmpty;
using tests::daemon_session;
using tests::fake_tools;

constexpr const char* k_launchctl = "/bin/launchctl";
constexpr const char* k_third_party = "os maxfiles seems to be modified by 3rd party software";
constexpr const char* k_adjusting = "Adjusting macOS settings (launchctl limit maxfiles)..";
const std::vector<std::string> k_raise = {k_launchctl, "limit", "maxfiles", "65536", "1000000"};

std::vector<std::string> messages(const std::string& level) {
    return tests::trace_messages(tests::k_daemon_trace, level);
}

// The info lines of the open-files check, without the daemon's other info lines.
std::vector<std::string> limit_lines() {
    std::vector<std::string> lines;
    for (auto& message : messages("info")) {
        if (message.starts_with("os maxfiles values ")) {
            lines.push_back(std::move(message));
        }
    }
    return lines;
}

// The start-up check runs on a thread of its own that nobody waits for.
template <class Condition>
bool eventually(Condition condition) {
    return tests::wait_until(condition, 20s);
}

class SystemTweaksDaemon : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        fake_tools::reset();
        fs::remove(tests::k_daemon_trace);
    }

    void start_with_open_files(const std::string& soft_and_hard) {
        daemon_.emplace(daemon_session::options{
            .prefix = {"/usr/bin/prlimit", "--nofile=" + soft_and_hard, "--"}});
    }

    std::string ask(const std::vector<std::string>& args) {
        auto result = daemon_->helperctl(args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        return result.out;
    }

    std::optional<daemon_session> daemon_;
};

TEST_F(SystemTweaksDaemon, LowSoftLimitIsRaisedAtStartAndOnRequest) {
    start_with_open_files("1000:4096");
    // launchctl runs after both warnings.
    ASSERT_TRUE(eventually([] { return !fake_tools::calls_of(k_launchctl).empty(); }));
    EXPECT_THAT(limit_lines(), ElementsAre("os maxfiles values 1000 : 4096"));
    EXPECT_THAT(messages("warning"), ElementsAre(k_third_party, k_adjusting));

    EXPECT_EQ(ask({"fix-max-files"}), "true\n");
    EXPECT_THAT(fake_tools::calls_of(k_launchctl), ElementsAre(k_raise, k_raise));
    EXPECT_THAT(limit_lines(),
                ElementsAre("os maxfiles values 1000 : 4096", "os maxfiles values 1000 : 4096"));
}

TEST_F(SystemTweaksDaemon, AmpleSoftLimitOnlyWarns) {
    start_with_open_files("2048:8192");
    EXPECT_EQ(ask({"fix-max-files"}), "true\n");
    ASSERT_TRUE(eventually([] { return messages("warning").size() >= 2; }));

    EXPECT_THAT(limit_lines(),
                ElementsAre("os maxfiles values 2048 : 8192", "os maxfiles values 2048 : 8192"));
    EXPECT_THAT(messages("warning"), ElementsAre(k_third_party, k_third_party));
    EXPECT_THAT(fake_tools::calls_of(k_launchctl), IsEmpty());
}

TEST_F(SystemTweaksDaemon, DarkWakeAndReboot) {
    start_with_open_files("2048:8192");

    fake_tools::set_output("sysctl", "debug.darkwake: 0 -> 1\n");
    EXPECT_EQ(ask({"set-darkwake", "1"}), "0\n");
    EXPECT_EQ(ask({"set-darkwake", "-1"}), "0\n");
    fake_tools::set_output("sysctl", "debug.darkwake: 3\n");
    EXPECT_EQ(ask({"set-darkwake", "3"}), "-1\n");
    fake_tools::set_status("sysctl", 1);
    EXPECT_EQ(ask({"set-darkwake", "4"}), "-1\n");
    EXPECT_THAT(fake_tools::calls_of("/usr/sbin/sysctl"),
                ElementsAre(ElementsAre("/usr/sbin/sysctl", "debug.darkwake=1"),
                            ElementsAre("/usr/sbin/sysctl", "debug.darkwake=-1"),
                            ElementsAre("/usr/sbin/sysctl", "debug.darkwake=3"),
                            ElementsAre("/usr/sbin/sysctl", "debug.darkwake=4")));
    EXPECT_THAT(messages("error"),
                ElementsAre("setting darkwake mode failed", "setting darkwake mode failed"));

    EXPECT_EQ(ask({"reboot"}), "true\n");
    fake_tools::set_status("reboot", 1);
    EXPECT_EQ(ask({"reboot"}), "false\n");
    EXPECT_THAT(fake_tools::calls_of("/sbin/reboot"),
                ElementsAre(ElementsAre("/sbin/reboot"), ElementsAre("/sbin/reboot")));
}

}  // namespace
