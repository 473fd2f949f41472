// What a child starts with, whatever state the daemon is in when it spawns one, and that a child
// never outlives the handle that owns it. The child is this program again, playing a role that
// reports what it inherited.
#include "platform/posix/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/role.h"

namespace {

using namespace std::chrono_literals;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
}

// What the child inherited, a line each: "fd TARGET" for each open descriptor above 2, the
// "SigIgn" and "SigBlk" masks of /proc, and whether standard input is /dev/null.
CORVANA_ROLE(ReportInheritance) {
    for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            std::error_code error;
            auto target =
                std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
            say("fd " + target.string());
        }
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("SigIgn:") || line.starts_with("SigBlk:")) {
            say(line);
        }
    }
    struct stat input {};
    struct stat null_device {};
    const bool is_null = ::fstat(STDIN_FILENO, &input) == 0 &&
                         ::stat("/dev/null", &null_device) == 0 && S_ISCHR(input.st_mode) &&
                         input.st_rdev == null_device.st_rdev;
    say(is_null ? "stdin /dev/null" : "stdin other");
}

CORVANA_ROLE(Linger) {
    std::this_thread::sleep_for(30s);
}

std::string self() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::string read_all(int fd) {
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

// The target of one of this process's descriptors, as the child would print it.
std::string target_of(int fd) {
    return "fd " + std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)).string();
}

// A signal mask the child reported, bit n - 1 for signal n; all ones when it reported none.
std::uint64_t signal_mask(const std::string& report, const std::string& name) {
    const auto at = report.find(name);
    if (at == std::string::npos) {
        return ~std::uint64_t{0};
    }
    return std::stoull(report.substr(at + name.size()), nullptr, 16);
}

// The daemon at its worst: a descriptor a library opened without close-on-exec, a signal it
// ignores, one blocked on the spawning thread, standard input that is a live pipe. The child
// sees none of it.
TEST(Spawn, TheChildInheritsNothingButStandardOutputAndError) {
    int leaked[2];
    ASSERT_EQ(::pipe(leaked), 0);
    unique_fd leaked_read(leaked[0]);
    unique_fd leaked_write(leaked[1]);
    int input[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    unique_fd input_read(input[0]);
    unique_fd input_write(input[1]);
    int output[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    unique_fd output_read(output[0]);
    unique_fd output_write(output[1]);

    unique_fd saved_input(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
    ASSERT_TRUE(saved_input);
    ASSERT_EQ(::dup2(input_read.get(), STDIN_FILENO), STDIN_FILENO);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved_action {};
    ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &saved_action), 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    sigset_t saved_mask;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &saved_mask), 0);

    auto started = child_process_t::spawn(self(), {tests::role_argument("ReportInheritance")},
                                          output_write.get());

    ::pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
    ::sigaction(SIGUSR1, &saved_action, nullptr);
    ::dup2(saved_input.get(), STDIN_FILENO);
    ASSERT_TRUE(started.ok()) << started.error();

    output_write.reset();
    const std::string report = read_all(output_read.get());
    const child_exit_t exit = started->wait();
    EXPECT_FALSE(exit.signaled);
    EXPECT_EQ(exit.code, 0) << report;

    EXPECT_EQ(report.find(target_of(leaked_read.get())), std::string::npos) << report;
    // glibc's posix_spawn leaves the C library's own two signals, below SIGRTMIN, ignored in the
    // child; only a glibc program uses them, and it sets them up itself.
    const std::uint64_t glibc_own = (std::uint64_t{1} << (32 - 1)) | (std::uint64_t{1} << (33 - 1));
    EXPECT_EQ(signal_mask(report, "SigIgn:") & ~glibc_own, 0u) << report;
    EXPECT_EQ(signal_mask(report, "SigBlk:"), 0u) << report;
    EXPECT_NE(report.find("stdin /dev/null\n"), std::string::npos) << report;
}

// The handle's end is the child's: killed and reaped at once, not left to run or as a zombie.
TEST(Spawn, TheChildEndsWithItsHandle) {
    unique_fd watch;
    const auto start = std::chrono::steady_clock::now();
    {
        auto started = child_process_t::spawn(self(), {tests::role_argument("Linger")}, -1);
        ASSERT_TRUE(started.ok()) << started.error();
        watch.reset(static_cast<int>(::syscall(SYS_pidfd_open, started->pid(), 0U)));
        ASSERT_TRUE(watch);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    pollfd ended{watch.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, 0), 1);
    siginfo_t info{};
    EXPECT_EQ(::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(watch.get()), &info,
                       WEXITED | WNOHANG),
              -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
