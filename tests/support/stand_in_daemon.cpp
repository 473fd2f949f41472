#include "tests/support/stand_in_daemon.h"

#include <stdlib.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "platform/ipc/frame_io.h"

namespace tests {

using namespace std::chrono_literals;

socket_directory::socket_directory() {
    char directory[] = "/tmp/client-test-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        std::abort();
    }
    directory_ = directory;
}

socket_directory::~socket_directory() {
    std::filesystem::remove_all(directory_);
}

unique_fd listening_socket(const std::string& path) {
    auto address = unix_socket_address(path);
    unique_fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!address || !listener ||
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) !=
            0 ||
        ::listen(listener.get(), 4) != 0) {
        std::abort();
    }
    return listener;
}

void send_reply(int fd, std::uint64_t id, wire_value value) {
    auto reply = encode_reply(wire_reply{id, std::move(value)});
    (void)send_all(fd, *reply);
}

stand_in_daemon::stand_in_daemon(std::function<void(int fd, const wire_request&)> answer,
                                 admission admits)
    : listener_(listening_socket(directory_.socket_path())) {
    thread_ = std::thread([this, admits, answer = std::move(answer)] {
        unique_fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client || admits == admission::refuse) {
            return;
        }
        if (admits == admission::admit) {
            send_reply(client.get(), k_admission_reply_id, wire_value{true});
        }
        for (;;) {
            auto deadline = std::chrono::steady_clock::now() + 60s;
            auto payload = read_frame(client.get(), deadline, 10s);
            if (!payload) {
                return;
            }
            if (auto request = decode_request(*payload)) {
                ++requests_;
                answer(client.get(), *request);
            }
        }
    });
}

stand_in_daemon::~stand_in_daemon() {
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
}

}  // namespace tests
