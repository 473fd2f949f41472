#include "system/process_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "tests/support/watchdog.h"

namespace {

using seconds_d = std::chrono::duration<double>;

std::optional<std::string> capture(const std::string& script) {
    task_t task;
    task.setLaunchPath("/bin/sh");
    task.setArguments({"-c", script});
    return task.syncStdOutExecute();
}

std::optional<std::string> capture_with_timeout(const std::string& script, double seconds) {
    task_t task;
    task.setLaunchPath("/bin/sh");
    task.setArguments({"-c", script});
    return task.syncStdOutExecuteWithTimeout(seconds);
}

int run(const std::string& script) {
    return task_t::syncExec("/bin/sh", {"-c", script});
}

template <class F>
double seconds_taken(F&& f) {
    const auto started = std::chrono::steady_clock::now();
    f();
    return seconds_d(std::chrono::steady_clock::now() - started).count();
}

}  // namespace

TEST(ProcessRunner, OutputComesBackExactlyWithOrWithoutAFinalLineFeed) {
    EXPECT_EQ(capture("printf 'one\\ntwo\\n'"), "one\ntwo\n");
    EXPECT_EQ(capture("printf 'no line feed'"), "no line feed");
    EXPECT_EQ(capture_with_timeout("printf 'one\\ntwo\\n'", 10), "one\ntwo\n");
    EXPECT_EQ(capture_with_timeout("printf 'no line feed'", 10), "no line feed");
}

TEST(ProcessRunner, EmptyOutputIsAnEmptyTextNotNoText) {
    EXPECT_EQ(capture("true"), "");
    EXPECT_EQ(capture_with_timeout("true", 10), "");
}

TEST(ProcessRunner, AFailingToolWithOutputGetsThreeDifferentAnswers) {
    const std::string script = "echo partial; exit 3";
    EXPECT_EQ(run(script), 3);
    EXPECT_EQ(capture(script), std::nullopt);
    EXPECT_EQ(capture_with_timeout(script, 10), "partial\n");
}

TEST(ProcessRunner, InvalidUtf8GivesNoTextAndValidMultibyteTextPasses) {
    EXPECT_EQ(capture("printf 'ok \\377'"), std::nullopt);
    EXPECT_EQ(capture_with_timeout("printf 'ok \\355\\240\\200'", 10), std::nullopt);  // surrogate
    EXPECT_EQ(capture("printf 'caf\\303\\251 \\342\\200\\250'"), "caf\u00e9 \u2028");
}

TEST(ProcessRunner, AChildWritingMoreThanAPipeHoldsIsDrainedWhileItRuns) {
    const std::string script = "head -c 1048576 /dev/zero";
    const auto plain = capture(script);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->size(), 1048576u);
    const auto timed = capture_with_timeout(script, 30);
    ASSERT_TRUE(timed);
    EXPECT_EQ(timed->size(), 1048576u);
}

// Runs in a child with a watchdog: a time-out that is ignored would otherwise wait for the child
// for ever, and the test would only end at the test runner's limit.
TEST(ProcessRunner, ANeverEndingChildIsStoppedAtItsTimeOutAndItsOutputReturned) {
    EXPECT_TRUE(tests::finishes_within(std::chrono::seconds(10), [] {
        std::optional<std::string> output;
        const double taken = seconds_taken(
            [&] { output = capture_with_timeout("echo started; exec sleep 1000", 0.5); });
        if (output != "started\n" || taken < 0.4 || taken > 1.5) {
            std::fprintf(stderr, "output %s after %.2f s\n", output ? output->c_str() : "(none)",
                         taken);
            return false;
        }
        return true;
    }));
}

TEST(ProcessRunner, AChildThatEndsBeforeItsDeadlineReturnsAtOnce) {
    std::optional<std::string> output;
    const double taken = seconds_taken([&] { output = capture_with_timeout("echo quick", 60); });
    EXPECT_EQ(output, "quick\n");
    EXPECT_LT(taken, 10);
}

TEST(ProcessRunner, AChildIgnoringTheTerminationRequestIsKilledAfterAGracePeriod) {
    EXPECT_TRUE(tests::finishes_within(std::chrono::seconds(15), [] {
        std::optional<std::string> output;
        const double taken = seconds_taken([&] {
            output = capture_with_timeout(
                "trap '' TERM; echo stubborn; while :; do sleep 0.05; done", 0.2);
        });
        if (output != "stubborn\n" || taken >= 0.2 + task_t::k_kill_grace_seconds + 3) {
            std::fprintf(stderr, "output %s after %.2f s\n", output ? output->c_str() : "(none)",
                         taken);
            return false;
        }
        return true;
    }));
}

TEST(ProcessRunner, ABackgroundGrandchildHoldingThePipeDoesNotHoldTheCaller) {
    std::optional<std::string> output;
    const double taken = seconds_taken([&] { output = capture("sleep 30 & echo done"); });
    EXPECT_EQ(output, "done\n");
    EXPECT_LT(taken, 10);
}

TEST(ProcessRunner, AToolThatCannotBeStartedFailsWithoutText) {
    EXPECT_EQ(task_t::syncExec("/nonexistent/tool", {}), task_t::k_not_found_status);
    task_t missing;
    missing.setLaunchPath("/nonexistent/tool");
    EXPECT_EQ(missing.syncStdOutExecute(), std::nullopt);
    task_t missing_timed;
    missing_timed.setLaunchPath("/nonexistent/tool");
    EXPECT_EQ(missing_timed.syncStdOutExecuteWithTimeout(1), std::nullopt);

    const std::string not_executable = "/tmp/process_runner_not_executable";
    std::ofstream(not_executable) << "#!/bin/sh\necho hi\n";
    ::chmod(not_executable.c_str(), 0644);
    EXPECT_EQ(task_t::syncExec(not_executable, {}), task_t::k_cannot_execute_status);
}

TEST(ProcessRunner, ArgumentsReachTheToolOneByOneWithoutAShell) {
    task_t task;
    task.setLaunchPath("/usr/bin/printf");
    task.setArguments({"[%s]", "two words", "$(touch /tmp/runner_injected)", ""});
    EXPECT_EQ(task.syncStdOutExecute(), "[two words][$(touch /tmp/runner_injected)][]");
    EXPECT_FALSE(std::filesystem::exists("/tmp/runner_injected"));
}

TEST(ProcessRunner, AChildEndedByASignalHasANonZeroStatus) {
    EXPECT_EQ(run("kill -KILL $$"), SIGKILL);
    EXPECT_EQ(capture("echo lost; kill -KILL $$"), std::nullopt);
}

TEST(ProcessRunner, ChildrenGetOnlyTheStandardDescriptorsAndNullInput) {
    // A descriptor the daemon opened without close-on-exec, at a fixed number.
    const int stray = ::fcntl(::open("/dev/null", O_RDONLY), F_DUPFD, 100);
    ASSERT_GE(stray, 100);
    const std::string path = "/proc/self/fd/" + std::to_string(stray);
    EXPECT_EQ(capture("if [ -e /proc/$$/fd/" + std::to_string(stray) + " ]; then echo leaked; fi"),
              "");
    ::close(stray);
    EXPECT_EQ(capture("readlink /proc/$$/fd/0"), "/dev/null\n");
}

TEST(ProcessRunner, ChildrenStartWithDefaultAndUnblockedSignals) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGTERM, &ignore, &previous), 0);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigset_t previous_mask;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &previous_mask), 0);

    // A shell started with SIGTERM ignored could not undo that; with the default it dies.
    const int status = run("kill -TERM $$; echo survived");

    ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    ::sigaction(SIGTERM, &previous, nullptr);
    EXPECT_EQ(status, SIGTERM);
}

TEST(ProcessRunner, TerminateEndsARunningTaskAndDoesNothingOnceItEnded) {
    task_t task;
    task.setLaunchPath("/bin/sleep");
    task.setArguments({"1000"});
    ASSERT_TRUE(task.launch());
    EXPECT_TRUE(task.isRunning());
    EXPECT_FALSE(task.launch());  // launched once only
    std::thread other([&] { task.terminate(); });
    task.waitUntilExit();
    other.join();
    EXPECT_FALSE(task.isRunning());
    EXPECT_EQ(task.terminationStatus(), SIGTERM);
    task.terminate();
    EXPECT_EQ(task.terminationStatus(), SIGTERM);
}

TEST(ProcessRunner, ConcurrentCallsKeepTheirOwnPipes) {
    std::vector<std::future<std::optional<std::string>>> results;
    for (int i = 0; i < 8; ++i) {
        results.push_back(std::async(std::launch::async, [i] {
            return i % 2 == 0 ? capture("echo " + std::to_string(i))
                              : capture_with_timeout("echo " + std::to_string(i), 30);
        }));
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(results[static_cast<std::size_t>(i)].get(), std::to_string(i) + "\n");
    }
}
