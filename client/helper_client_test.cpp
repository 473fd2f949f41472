// The client library's contract, through its public interface (the test links the shared
// library), against a stand-in daemon on a socket of the test's own: which error kind each way a
// call can fail answers, that a call never waits past its time-out, that a reply answering
// another call is not taken for this call's, and that calls of several threads take turns.
#include <corvana/helper_client.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "platform/ipc/frame_io.h"
#include "platform/ipc/xpc_message.h"
#include "protocol/protocol_methods.h"
#include "tests/support/stand_in_daemon.h"
#include "tests/support/watchdog.h"

namespace {

using namespace std::chrono_literals;
using corvana::error_kind;
using corvana::helper_client_t;
using tests::admission;
using tests::listening_socket;
using tests::send_reply;
using tests::socket_directory;
using tests::stand_in_daemon;
namespace fs = std::filesystem;

void answer_version(int fd, const wire_request& request) {
    send_reply(fd, request.id, wire_value{std::string("2.6")});
}

helper_client_t connected(const stand_in_daemon& daemon) {
    auto client = helper_client_t::connect(daemon.path(), 5s);
    if (!client) {
        ADD_FAILURE() << client.error().message;
        std::abort();
    }
    return std::move(*client);
}

TEST(HelperClient, AConnectionTheDaemonClosesUnadmittedIsRefused) {
    stand_in_daemon refusing(answer_version, admission::refuse);
    auto refused = helper_client_t::connect(refusing.path(), 5s);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, error_kind::refused) << refused.error().message;

    // The same daemon admitting: the connection and a call go through.
    stand_in_daemon admitting(answer_version);
    auto client = helper_client_t::connect(admitting.path(), 5s);
    ASSERT_TRUE(client) << client.error().message;
    EXPECT_EQ(client->version().value(), "2.6");
}

TEST(HelperClient, ASocketNobodyServesIsUnreachable) {
    socket_directory directory;
    auto absent = helper_client_t::connect(directory.socket_path(), 5s);
    ASSERT_FALSE(absent);
    EXPECT_EQ(absent.error().kind, error_kind::unreachable) << absent.error().message;

    // Bound, but nobody listens on it: the kernel refuses the connection.
    auto address = unix_socket_address(directory.socket_path());
    unique_fd bound(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(bound.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address),
              0);
    auto unserved = helper_client_t::connect(directory.socket_path(), 5s);
    ASSERT_FALSE(unserved);
    EXPECT_EQ(unserved.error().kind, error_kind::unreachable) << unserved.error().message;
}

TEST(HelperClient, ACallNeverWaitsPastItsTimeOutAndLeavesTheClientUnusable) {
    stand_in_daemon daemon([](int, const wire_request&) {});  // never answers
    auto client = connected(daemon);
    // A call that ignored its time-out would wait for ever: the watchdog ends it and fails.
    EXPECT_TRUE(tests::finishes_within(10s, [&] {
        const auto started = std::chrono::steady_clock::now();
        const auto version = client.version(500ms);
        const bool timed_out = !version && version.error().kind == error_kind::timed_out;
        const bool in_time = std::chrono::steady_clock::now() - started < 5s;
        // The reply may still come; it would be out of step with any later call.
        const auto later = client.version(500ms);
        const bool dropped = !later && later.error().kind == error_kind::dropped;
        if (!timed_out || !in_time || !dropped || client.usable()) {
            std::fprintf(stderr, "timed out: %d, within 5 s: %d, then dropped: %d\n", timed_out,
                         in_time, dropped);
            return false;
        }
        return true;
    }));
}

TEST(HelperClient, TheDaemonsSilenceOnAdmissionTimesOutAndNothingIsSent) {
    socket_directory directory;
    unique_fd listener = listening_socket(directory.socket_path());
    auto client = helper_client_t::connect(directory.socket_path(), 300ms);
    ASSERT_FALSE(client);
    EXPECT_EQ(client.error().kind, error_kind::timed_out) << client.error().message;
    unique_fd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    std::uint8_t byte = 0;
    EXPECT_LE(::recv(accepted.get(), &byte, 1, MSG_DONTWAIT), 0);
}

TEST(HelperClient, AFullQueueOfConnectionsTimesOutTheConnect) {
    socket_directory directory;
    unique_fd listener = listening_socket(directory.socket_path());
    // Connections nobody accepts, until the queue takes no more: a blocking connect would now
    // wait for a place in it.
    auto address = unix_socket_address(directory.socket_path());
    std::vector<unique_fd> queued;
    for (bool full = false; !full && queued.size() < 64;) {
        unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ASSERT_TRUE(fd);
        full =
            ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0;
        ASSERT_TRUE(!full || errno == EAGAIN) << std::strerror(errno);
        queued.push_back(std::move(fd));
    }
    ASSERT_LT(queued.size(), 64u) << "the queue never filled";
    EXPECT_TRUE(tests::finishes_within(10s, [&] {
        auto client = helper_client_t::connect(directory.socket_path(), 300ms);
        if (client || client.error().kind != error_kind::timed_out) {
            std::fprintf(stderr, "connect: %s\n",
                         client ? "admitted" : client.error().message.c_str());
            return false;
        }
        return true;
    }));
}

TEST(HelperClient, AConnectionClosedOrAReplyToAnotherCallIsDropped) {
    stand_in_daemon closing([](int fd, const wire_request&) { ::shutdown(fd, SHUT_RDWR); });
    auto client = connected(closing);
    auto version = client.version();
    ASSERT_FALSE(version);
    EXPECT_EQ(version.error().kind, error_kind::dropped) << version.error().message;
    EXPECT_FALSE(client.usable());

    stand_in_daemon out_of_step([](int fd, const wire_request& request) {
        send_reply(fd, request.id + 1, wire_value{std::string("2.6")});
    });
    auto other = connected(out_of_step);
    auto answered = other.version();
    ASSERT_FALSE(answered);
    EXPECT_EQ(answered.error().kind, error_kind::dropped) << answered.error().message;

    // A reply of another kind than the call's is out of step as well.
    stand_in_daemon wrong_kind(answer_version);
    auto asked = connected(wrong_kind);
    auto installed = asked.is_service_installed("corvana");
    ASSERT_FALSE(installed);
    EXPECT_EQ(installed.error().kind, error_kind::dropped) << installed.error().message;
}

TEST(HelperClient, AMovedFromClientAnswersDroppedAndTheOneMovedToIsServed) {
    stand_in_daemon daemon(answer_version);
    auto client = connected(daemon);
    helper_client_t moved = std::move(client);
    // The moved-from state is the contract under test.
    auto version = client.version();
    ASSERT_FALSE(version);
    EXPECT_EQ(version.error().kind, error_kind::dropped);
    EXPECT_FALSE(client.usable());
    EXPECT_EQ(moved.version().value(), "2.6");
    EXPECT_TRUE(moved.usable());
}

TEST(HelperClient, ArgumentsThatCantBeSentAreInvalidAndTheClientStaysUsable) {
    stand_in_daemon daemon(answer_version);
    auto client = connected(daemon);
    const std::string with_nul("corv\0ana", 8);
    const std::string not_utf8 =
        "corv\xff"
        "ana";
    const std::string too_long(k_max_message_size, 'a');
    for (const std::string& bad : {with_nul, not_utf8, too_long}) {
        auto installed = client.is_service_installed(bad);
        ASSERT_FALSE(installed);
        EXPECT_EQ(installed.error().kind, error_kind::invalid_argument)
            << installed.error().message;
    }
    auto path = helper_client_t::connect(std::string(200, 'a'), 5s);
    ASSERT_FALSE(path);
    EXPECT_EQ(path.error().kind, error_kind::invalid_argument);
    // Nothing reached the daemon, and the next call is served.
    EXPECT_EQ(daemon.requests(), 0);
    EXPECT_EQ(client.version().value(), "2.6");
}

TEST(HelperClient, AGuardedCallsFalseIsAValue) {
    std::promise<std::string> selector;
    stand_in_daemon daemon([&selector](int fd, const wire_request& request) {
        selector.set_value(request.selector);
        send_reply(fd, request.id, wire_value{false});
    });
    auto client = connected(daemon);
    auto installed = client.install_application({.authorization = corvana::authorization_t(32, 1),
                                                 .bundle_path = "/tmp/Corvana.app",
                                                 .sysconfig_path = "/tmp/config",
                                                 .namespace_name = "corvana"});
    ASSERT_TRUE(installed) << installed.error().message;
    EXPECT_FALSE(*installed);
    EXPECT_EQ(selector.get_future().get(), protocol::selector(protocol::method::install));
    EXPECT_TRUE(client.usable());
}

TEST(HelperClient, ACallWaitingForAnotherThreadsTurnTimesOutHavingSentNothing) {
    std::promise<void> first_arrived;
    std::promise<void> release_first;
    auto released = release_first.get_future().share();
    stand_in_daemon daemon([&](int fd, const wire_request& request) {
        if (request.id == 1) {
            first_arrived.set_value();
            released.wait();
        }
        answer_version(fd, request);
    });
    auto client = connected(daemon);
    std::thread first([&] { EXPECT_EQ(client.version().value(), "2.6"); });
    first_arrived.get_future().wait();

    auto waited = client.version(200ms);
    ASSERT_FALSE(waited);
    EXPECT_EQ(waited.error().kind, error_kind::timed_out) << waited.error().message;
    EXPECT_TRUE(client.usable());
    release_first.set_value();
    first.join();
    EXPECT_EQ(daemon.requests(), 1);
    EXPECT_EQ(client.version().value(), "2.6");
}

TEST(HelperClient, CallsOfSeveralThreadsOnOneClientEachGetTheirOwnReply) {
    // The reply says whether the namespace ends in an even digit, so a reply handed to the wrong
    // call shows.
    stand_in_daemon daemon([](int fd, const wire_request& request) {
        const auto* text = std::get_if<std::string>(&request.args.at(0));
        send_reply(fd, request.id, wire_value{text != nullptr && (text->back() - '0') % 2 == 0});
    });
    auto client = connected(daemon);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const int digit = (t + i) % 10;
                auto even = client.is_service_installed("ns" + std::to_string(digit));
                if (!even || *even != (digit % 2 == 0)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(daemon.requests(), 200);
}

}  // namespace
