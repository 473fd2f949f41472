#include "platform/ipc/frame_io.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

// A caller that must hear back by its deadline (a client waiting for its reply) passes a long
// allowance for the rest of a frame: a peer that starts a frame and then stalls must not keep it
// waiting past that deadline.
TEST(FrameIo, AStalledFrameEndsAtTheCallersDeadline) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    unique_fd reader(ends[0]);
    unique_fd peer(ends[1]);
    const std::uint8_t first = 0;
    ASSERT_EQ(::send(peer.get(), &first, 1, MSG_NOSIGNAL), 1);

    const auto start = clock_type::now();
    EXPECT_EQ(read_frame(reader.get(), start + 300ms, 10s).error(), k_frame_timeout);
    EXPECT_LT(clock_type::now() - start, 5s);
}

}  // namespace
