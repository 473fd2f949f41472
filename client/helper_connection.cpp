#include "client/helper_connection.h"

#include <sys/prctl.h>

#include <algorithm>

#include "platform/ipc/frame_io.h"

namespace {

constexpr std::string_view k_service_name = "com.quillmark.corvana-cv-5e09b1d4.Helper";

// The helper serves only a client that no other process of its user can reach into: a
// non-dumpable process can't be traced, nor its memory read or written, nor its descriptors
// copied by anyone without CAP_SYS_PTRACE. Done as soon as the library is loaded, to make the
// time after exec in which the client is still reachable as short as it can be, and again
// before each connection in case the program turned it back on.
void keep_other_processes_out() {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

[[maybe_unused]] const bool kept_out_at_load = [] {
    keep_other_processes_out();
    return true;
}();

// The helper's first message says the connection was admitted; a client sends nothing before it.
bool admitted(int socket, std::chrono::milliseconds timeout, std::string& error) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    if (auto payload = read_frame(socket, deadline, timeout)) {
        auto reply = decode_reply(*payload);
        if (reply && reply->id == k_admission_reply_id && reply->value == wire_value{true}) {
            return true;
        }
    }
    error = "the helper refused the connection (is this program signed as the helper requires?)";
    return false;
}

}  // namespace

std::string helper_socket_path() {
    return service_socket_path(k_service_name);
}

std::optional<helper_connection_t> helper_connection_t::connect(const std::string& socket_path,
                                                                std::string& error,
                                                                std::chrono::milliseconds timeout) {
    keep_other_processes_out();
    auto fd = connect_unix_socket(socket_path);
    if (!fd) {
        error = fd.description();
        return std::nullopt;
    }
    if (!admitted(fd->get(), timeout, error)) {
        return std::nullopt;
    }
    return helper_connection_t(std::move(fd).value(), timeout);
}

std::optional<wire_value> helper_connection_t::call(std::string_view selector,
                                                    std::vector<wire_value> args,
                                                    std::chrono::milliseconds at_least) {
    if (broken_) {
        return std::nullopt;
    }
    std::uint64_t id = next_id_++;
    auto frame = encode_request(wire_request{std::string(selector), id, std::move(args)});
    if (!frame) {
        return std::nullopt;
    }
    // Anything short of a well-formed answer to this call leaves the connection unusable.
    broken_ = true;
    if (!send_all(socket_.get(), *frame)) {
        return std::nullopt;
    }
    const auto timeout = std::max(timeout_, at_least);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto payload = read_frame(socket_.get(), deadline, timeout);
    if (!payload) {
        return std::nullopt;
    }
    auto reply = decode_reply(*payload);
    if (!reply || reply->id != id) {
        return std::nullopt;
    }
    broken_ = false;
    return std::move(reply->value);
}
