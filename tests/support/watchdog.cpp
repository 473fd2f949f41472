#include "tests/support/watchdog.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace tests {

testing::AssertionResult finishes_within(std::chrono::milliseconds limit,
                                         const std::function<bool()>& body) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        return testing::AssertionFailure() << "cannot fork";
    }
    if (child == 0) {
        ::setpgid(0, 0);
        const bool held = body();
        std::fflush(nullptr);
        ::_exit(held ? 0 : 1);
    }
    ::setpgid(child, child);  // either side may come first
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(-child, SIGKILL);
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return testing::AssertionFailure()
                   << "still running after " << limit.count() << " ms; killed";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return testing::AssertionFailure()
               << "the checks in the child failed (wait status " << status << ")";
    }
    return testing::AssertionSuccess();
}

}  // namespace tests
