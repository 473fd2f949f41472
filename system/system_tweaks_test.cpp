#include "system/system_tweaks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "helper/helper_tool.h"
#include "tests/support/fake_tools.h"
#include "tests/support/reply.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"

namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::IsEmpty;
using tests::fake_tools;

constexpr const char* k_launchctl = "/bin/launchctl";
constexpr const char* k_sysctl = "/usr/sbin/sysctl";
constexpr const char* k_reboot = "/sbin/reboot";
constexpr const char* k_trace = "/var/log/system_tweaks_test.trace";

constexpr const char* k_third_party = "os maxfiles seems to be modified by 3rd party software";
constexpr const char* k_adjusting = "Adjusting macOS settings (launchctl limit maxfiles)..";

class SystemTweaks : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        fake_tools::reset();
        fresh_trace();
        tool_ = helper_tool_t::init_without_listener();
        ASSERT_TRUE(tool_);
    }

    // The trace keeps its file open: a removed file must be reopened, not written on unlinked.
    static void fresh_trace() {
        fs::remove(k_trace);
        tests::use_trace_file(k_trace);
    }

    std::vector<std::string> messages(const std::string& level) {
        return tests::trace_messages(k_trace, level);
    }

    // Runs the open-files check in a child whose limits are set first: a lowered hard limit
    // can't be raised again in this process. The child's exit status counts the replies, times
    // ten, plus the last reply.
    int check_in_child_with(rlim_t soft, rlim_t hard, bool concurrent_start_up_run = false) {
        const pid_t child = fork();
        if (child == 0) {
            const struct rlimit limits { soft, hard };
            if (setrlimit(RLIMIT_NOFILE, &limits) != 0) {
                _exit(99);
            }
            std::atomic<int> replies{0};
            std::atomic<bool> last{false};
            std::thread start_up;
            if (concurrent_start_up_run) {
                start_up = std::thread([this] { tool_->fixOSMaxFilesIfNeedAndReply(nullptr); });
            }
            tool_->fixOSMaxFilesIfNeedAndReply([&](bool answer) {
                ++replies;
                last = answer;
            });
            if (start_up.joinable()) {
                start_up.join();
            }
            _exit(replies * 10 + (last ? 1 : 0));
        }
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status));
        return WEXITSTATUS(status);
    }

    int darkwake(int mode) {
        return tests::answer_of<int>([&](auto reply) { tool_->set_darkwake_mode(mode, reply); });
    }

    bool reboot() {
        return tests::answer_of<bool>(
            [&](auto reply) { tool_->reboot_computer_with_reply(reply); });
    }

    std::unique_ptr<helper_tool_t> tool_;
};

const std::vector<std::string> k_raise = {k_launchctl, "limit", "maxfiles", "65536", "1000000"};

TEST_F(SystemTweaks, UnlimitedHardLimitOnlyLogsTheValues) {
    check_open_files_limits(*tool_, {256, RLIM_INFINITY});

    EXPECT_THAT(messages("info"), ElementsAre("os maxfiles values 256 : -1"));
    EXPECT_THAT(messages("warning"), IsEmpty());
    EXPECT_THAT(fake_tools::calls(), IsEmpty());
}

TEST_F(SystemTweaks, LoweredHardLimitWithAnAmpleSoftLimitOnlyWarns) {
    EXPECT_EQ(check_in_child_with(1024, 10240), 11);

    EXPECT_THAT(messages("info"), ElementsAre("os maxfiles values 1024 : 10240"));
    EXPECT_THAT(messages("warning"), ElementsAre(k_third_party));
    EXPECT_THAT(fake_tools::calls(), IsEmpty());
}

TEST_F(SystemTweaks, LowSoftLimitRaisesLaunchdsLimit) {
    EXPECT_EQ(check_in_child_with(1023, 4096), 11);

    EXPECT_THAT(messages("info"), ElementsAre("os maxfiles values 1023 : 4096"));
    EXPECT_THAT(messages("warning"), ElementsAre(k_third_party, k_adjusting));
    EXPECT_THAT(fake_tools::calls(), ElementsAre(k_raise));
}

TEST_F(SystemTweaks, AFailingLaunchctlStillAnswersYes) {
    fake_tools::set_status("launchctl", 1);
    EXPECT_EQ(check_in_child_with(200, 300), 11);
    EXPECT_THAT(fake_tools::calls(), ElementsAre(k_raise));
    EXPECT_EQ(tool_->_hackOSMaxFiles(), 1);
}

TEST_F(SystemTweaks, StartUpRunAndRemoteCallOverlap) {
    // Long enough that both checks are inside launchctl at once.
    fake_tools::set_delay("launchctl", 0.5);
    EXPECT_EQ(check_in_child_with(512, 2048, true), 11);

    EXPECT_THAT(messages("info"),
                ElementsAre("os maxfiles values 512 : 2048", "os maxfiles values 512 : 2048"));
    EXPECT_EQ(messages("warning").size(), 4u);
    EXPECT_THAT(fake_tools::calls(), ElementsAre(k_raise, k_raise));
}

TEST_F(SystemTweaks, StartUpRunWithoutAReplyBlock) {
    // The process's own limits, whatever they are: the check must finish without a reply block.
    tool_->fixOSMaxFilesIfNeedAndReply(nullptr);
    tool_->fixOSMaxFilesIfNeedAndReply({});
    EXPECT_EQ(messages("info").size(), 2u);
}

TEST_F(SystemTweaks, DarkWakeAnswersTheValueBeforeTheChange) {
    fake_tools::set_output("sysctl", "debug.darkwake: 0 -> 1\n");

    EXPECT_EQ(darkwake(1), 0);
    EXPECT_THAT(fake_tools::calls(), ElementsAre(ElementsAre(k_sysctl, "debug.darkwake=1")));
    // The report is logged as it came, its closing line feed turned into a blank like every
    // line break inside a trace line.
    EXPECT_THAT(messages("info"), ElementsAre("debug.darkwake: 0 -> 1 "));
    EXPECT_THAT(messages("error"), IsEmpty());
}

TEST_F(SystemTweaks, DarkWakeReportsThatAreNotAChange) {
    struct {
        const char* report;
        int expected;
    } const cases[] = {
        {"debug.darkwake: 3\n", -1},
        {"debug.darkwake: 1 -> 2 -> 3\n", -1},
        {"sysctl: unknown oid 'debug.darkwake'\n", -1},
        {"", -1},
        {"debug.darkwake: x -> 1\n", 0},
        {"debug.darkwake: 8 -> 2\n", 8},
    };
    for (const auto& c : cases) {
        fake_tools::reset();
        fresh_trace();
        fake_tools::set_output("sysctl", c.report);
        EXPECT_EQ(darkwake(2), c.expected) << c.report;
        const auto errors = messages("error");
        if (c.expected == -1) {
            EXPECT_THAT(errors, ElementsAre("setting darkwake mode failed")) << c.report;
        } else {
            EXPECT_THAT(errors, IsEmpty()) << c.report;
        }
    }
}

TEST_F(SystemTweaks, DarkWakeWithAFailingSysctl) {
    fake_tools::set_output("sysctl", "debug.darkwake: 0 -> 1\n");
    fake_tools::set_status("sysctl", 1);

    EXPECT_EQ(darkwake(1), -1);
    EXPECT_THAT(messages("info"), ElementsAre("sysctl reported nothing for debug.darkwake=1"));
    EXPECT_THAT(messages("error"), ElementsAre("setting darkwake mode failed"));
}

TEST_F(SystemTweaks, DarkWakeModeIsPassedOnUnchanged) {
    for (int mode : {-1, 0, 2147483647, -2147483647 - 1}) {
        fake_tools::reset();
        (void)darkwake(mode);
        EXPECT_THAT(fake_tools::calls(),
                    ElementsAre(ElementsAre(k_sysctl, "debug.darkwake=" + std::to_string(mode))));
    }
}

TEST_F(SystemTweaks, DarkWakeReportIsLoggedAsTextNotAsAFormat) {
    fake_tools::set_output("sysctl", "debug.darkwake: %s%n%s -> 1");

    EXPECT_EQ(darkwake(1), 0);
    EXPECT_THAT(messages("info"), ElementsAre("debug.darkwake: %s%n%s -> 1"));
}

TEST_F(SystemTweaks, RebootAnswersWithTheToolsStatus) {
    EXPECT_TRUE(reboot());
    fake_tools::set_status("reboot", 1);
    EXPECT_FALSE(reboot());
    EXPECT_THAT(fake_tools::calls(), ElementsAre(ElementsAre(k_reboot), ElementsAre(k_reboot)));
    // Nothing of its own in the trace.
    EXPECT_THAT(tests::trace_lines(k_trace), IsEmpty());
}

}  // namespace
