// The client library's own side of a call, through its public interface (the test links the
// shared library), against a stand-in daemon on a socket of the test's own: a call never waits
// past its time-out, and a reply that answers another call is not taken for this call's.
#include <corvana/helper_client.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/ipc/frame_io.h"
#include "platform/ipc/xpc_message.h"
#include "tests/support/watchdog.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Admits one client, then answers its first request as `answer` says (or not at all).
class stand_in_daemon {
  public:
    explicit stand_in_daemon(std::function<void(int fd, const wire_request&)> answer) {
        char directory[] = "/tmp/client-test-XXXXXX";
        if (::mkdtemp(directory) == nullptr) {
            std::abort();
        }
        directory_ = directory;
        path_ = directory_ + "/socket";
        auto address = unix_socket_address(path_);
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!address || !listener_ ||
            ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&*address),
                   sizeof *address) != 0 ||
            ::listen(listener_.get(), 4) != 0) {
            std::abort();
        }
        thread_ = std::thread([this, answer = std::move(answer)] {
            unique_fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) {
                return;
            }
            auto admitted = encode_reply(wire_reply{k_admission_reply_id, wire_value{true}});
            if (!send_all(client.get(), *admitted)) {
                return;
            }
            auto deadline = std::chrono::steady_clock::now() + 10s;
            auto payload = read_frame(client.get(), deadline, 10s);
            if (!payload) {
                return;
            }
            if (auto request = decode_request(*payload)) {
                answer(client.get(), *request);
            }
            // Holds the connection open until the client has gone.
            char byte;
            while (::read(client.get(), &byte, 1) > 0) {
            }
        });
    }
    ~stand_in_daemon() {
        ::shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
        fs::remove_all(directory_);
    }

    const std::string& path() const { return path_; }

  private:
    std::string directory_;
    std::string path_;
    unique_fd listener_;
    std::thread thread_;
};

TEST(HelperClient, ACallNeverWaitsPastItsTimeOut) {
    stand_in_daemon daemon([](int, const wire_request&) {});  // never answers
    std::string error;
    auto client = corvana::helper_client_t::connect(daemon.path(), error, 500ms);
    ASSERT_TRUE(client) << error;
    // A call that ignored its time-out would wait for ever: the watchdog ends it and fails.
    EXPECT_TRUE(tests::finishes_within(10s, [&] {
        const auto started = std::chrono::steady_clock::now();
        const bool unanswered = client->get_version() == std::nullopt;
        const bool in_time = std::chrono::steady_clock::now() - started < 5s;
        if (!unanswered || !in_time) {
            std::fprintf(stderr, "answered: %d, within 5 s: %d\n", !unanswered, in_time);
        }
        return unanswered && in_time;
    }));
}

TEST(HelperClient, AReplyToAnotherCallIsRefused) {
    stand_in_daemon daemon([](int fd, const wire_request& request) {
        auto reply = encode_reply(wire_reply{request.id + 1, wire_value{std::string("2.6")}});
        (void)send_all(fd, *reply);
    });
    std::string error;
    auto client = corvana::helper_client_t::connect(daemon.path(), error, 5s);
    ASSERT_TRUE(client) << error;
    EXPECT_EQ(client->get_version(), std::nullopt);
}

TEST(HelperClient, NothingIsSentBeforeTheDaemonAdmitsTheConnection) {
    // A daemon that accepts but never admits: connect gives up within its time-out.
    char directory[] = "/tmp/client-test-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/socket";
    auto address = unix_socket_address(path);
    unique_fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address),
              0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    std::string error;
    EXPECT_FALSE(corvana::helper_client_t::connect(path, error, 300ms));
    unique_fd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    std::uint8_t byte = 0;
    EXPECT_LE(::recv(accepted.get(), &byte, 1, MSG_DONTWAIT), 0);
    fs::remove_all(directory);
}

}  // namespace
