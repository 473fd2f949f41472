// The listener's side of the idle quit: it stops taking connections only when no client is being
// admitted, and a connection that comes while it is stopped waits on the socket, untouched. Its
// bounds on connections, and what its thread is called in the trace.
#include "platform/ipc/xpc_listener.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ipc/frame_io.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;

TEST(Listener, PausesOnlyWhenNoClientIsBeingAdmitted) {
    std::atomic<int> entered{0};
    std::atomic<bool> release{false};
    xpc_listener_t listener("corvana-listener-test");
    listener.setDelegate([&](xpc_listener_t&, std::shared_ptr<xpc_connection_t>) {
        ++entered;
        while (!release.load()) {
            std::this_thread::sleep_for(5ms);
        }
        return false;
    });
    ASSERT_TRUE(listener.resume());

    auto first = connect_unix_socket(listener.socket_path());
    ASSERT_TRUE(first);
    ASSERT_TRUE(tests::wait_until([&] { return entered.load() == 1; }, 10s));
    EXPECT_FALSE(listener.pauseIfNoneAdmitting());

    release = true;
    ASSERT_TRUE(tests::wait_until([&] { return listener.pauseIfNoneAdmitting(); }, 10s));
    auto second = connect_unix_socket(listener.socket_path());
    ASSERT_TRUE(second);  // queued on the socket
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(entered.load(), 1);

    listener.resumeAccepting();
    EXPECT_TRUE(tests::wait_until([&] { return entered.load() == 2; }, 10s));
    listener.invalidate();
}

// True once the listener has closed its end: the connection was refused.
bool closed_by_peer(const unique_fd& fd) {
    pollfd entry{fd.get(), POLLIN, 0};
    char byte = 0;
    return ::poll(&entry, 1, 0) == 1 && ::recv(fd.get(), &byte, 1, MSG_DONTWAIT) == 0;
}

// Connections over the global bound are refused like those over a user's or a process's: a burst
// of them leaves one warning line, not one error line each, which a flood would turn into a
// flood of the trace. (Root is held only to this bound, so the test, as root, meets it first.)
TEST(Listener, ABurstOverTheGlobalBoundIsReportedOnce) {
    constexpr std::size_t k_burst = 50;
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    const rlimit saved = files;
    files.rlim_cur = files.rlim_max = std::max<rlim_t>(files.rlim_max, 8192);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);

    std::atomic<std::size_t> entered{0};
    std::atomic<bool> release{false};
    std::mutex reports_lock;
    std::vector<std::string> limits;
    std::vector<std::string> errors;
    {
        xpc_listener_t listener("corvana-listener-test");
        // Lets the held connections go however the test ends, before the listener waits for them.
        struct releaser_t {
            std::atomic<bool>& release;
            ~releaser_t() {
                release = true;
                release.notify_all();
            }
        } releaser{release};
        listener.setDelegate([&](xpc_listener_t&, std::shared_ptr<xpc_connection_t>) {
            ++entered;
            release.wait(false);
            return false;
        });
        listener.setLimitHandler([&](const ucred&, const std::string& message) {
            std::lock_guard guard(reports_lock);
            limits.push_back(message);
        });
        listener.setErrorHandler([&](const std::string& message) {
            std::lock_guard guard(reports_lock);
            errors.push_back(message);
        });
        ASSERT_TRUE(listener.resume());

        std::vector<unique_fd> held;
        for (std::size_t i = 0; i < xpc_listener_t::k_max_connections; ++i) {
            held.push_back(connect_unix_socket(listener.socket_path()).value_or(unique_fd()));
            ASSERT_TRUE(held.back());
        }
        ASSERT_TRUE(tests::wait_until(
            [&] { return entered.load() == xpc_listener_t::k_max_connections; }, 60s));

        std::vector<unique_fd> burst;
        for (std::size_t i = 0; i < k_burst; ++i) {
            burst.push_back(connect_unix_socket(listener.socket_path()).value_or(unique_fd()));
            ASSERT_TRUE(burst.back());
        }
        // Control: every one of the burst was really refused, at the global bound.
        EXPECT_TRUE(tests::wait_until(
            [&] {
                return std::all_of(burst.begin(), burst.end(),
                                   [](const unique_fd& fd) { return closed_by_peer(fd); });
            },
            10s));
        EXPECT_EQ(entered.load(), xpc_listener_t::k_max_connections);
        {
            std::lock_guard guard(reports_lock);
            ASSERT_EQ(limits.size(), 1u);
            EXPECT_NE(limits[0].find("the daemon holds 1024 connections already"),
                      std::string::npos)
                << limits[0];
            EXPECT_TRUE(errors.empty()) << errors.front();
        }
    }
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}

// The names of this process's threads, as the trace's thread column reads them.
std::vector<std::string> thread_names() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    return names;
}

// The daemon names its main thread "corvana" (shown as "main"); a thread it starts inherits that
// name, so the accepting thread's lines would pass for the main thread's.
TEST(Listener, ItsThreadHasANameOfItsOwn) {
    char saved[16] = {};
    ::pthread_getname_np(::pthread_self(), saved, sizeof saved);
    ::pthread_setname_np(::pthread_self(), "corvana");
    {
        xpc_listener_t listener("corvana-listener-test");
        listener.setDelegate(
            [](xpc_listener_t&, std::shared_ptr<xpc_connection_t>) { return false; });
        ASSERT_TRUE(listener.resume());
        // It is born with the main thread's name and takes its own as it starts.
        std::vector<std::string> names;
        EXPECT_TRUE(tests::eventually([&] {
            names = thread_names();
            return std::count(names.begin(), names.end(), "listener") == 1;
        })) << testing::PrintToString(names);
        EXPECT_EQ(std::count(names.begin(), names.end(), "corvana"), 1);
        listener.invalidate();
    }
    ::pthread_setname_np(::pthread_self(), saved);
}

}  // namespace
