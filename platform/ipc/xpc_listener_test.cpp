// The listener's side of the idle quit: it stops taking connections only when no client is being
// admitted, and a connection that comes while it is stopped waits on the socket, untouched.
#include "platform/ipc/xpc_listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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

    unique_fd first = connect_unix_socket(listener.socket_path());
    ASSERT_TRUE(first);
    ASSERT_TRUE(tests::wait_until([&] { return entered.load() == 1; }, 10s));
    EXPECT_FALSE(listener.pauseIfNoneAdmitting());

    release = true;
    ASSERT_TRUE(tests::wait_until([&] { return listener.pauseIfNoneAdmitting(); }, 10s));
    unique_fd second = connect_unix_socket(listener.socket_path());
    ASSERT_TRUE(second);  // queued on the socket
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(entered.load(), 1);

    listener.resumeAccepting();
    EXPECT_TRUE(tests::wait_until([&] { return entered.load() == 2; }, 10s));
    listener.invalidate();
}

}  // namespace
