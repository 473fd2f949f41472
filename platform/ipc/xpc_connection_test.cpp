// A connection at the trust boundary, driven over a socket pair as the listener hands it one
// (credentials passed on every piece): what it serves, and everything it must refuse. A refused
// message is reported, never reaches the exported object, and ends the connection.
#include "platform/ipc/xpc_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/ipc/frame_io.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;

constexpr wire_kind k_one_text[] = {wire_kind::text};
constexpr method_signature_t k_methods[] = {
    {"echo:reply:", k_one_text, wire_kind::text},
    {"answer_twice:", {}, wire_kind::boolean},
};
constexpr xpc_interface_t k_interface{k_methods};

std::vector<std::uint8_t> request(const std::string& selector, std::uint64_t id,
                                  std::vector<wire_value> args) {
    return *encode_request(wire_request{selector, id, std::move(args)});
}

// A connection with this process as its admitted client, served on a thread of its own. Its
// state is read only once that thread has ended.
class served_connection_t {
  public:
    served_connection_t() {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        unique_fd server(ends[0]);
        client_.reset(ends[1]);
        int on = 1;
        EXPECT_EQ(::setsockopt(server.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on), 0);
        audit_token_t token;
        token.pid = ::getpid();
        token.uid = ::getuid();
        connection_ = std::make_shared<xpc_connection_t>(std::move(server), unique_fd(), token);
        connection_->setSenderCheck(token.pid, token.uid, [] { return true; });
        connection_->setExportedInterface(&k_interface);
        connection_->setExportedObject([this](std::size_t method, std::vector<wire_value> args,
                                              std::function<void(wire_value)> reply) {
            calls_.push_back(method);
            if (method == 0) {
                reply(args.empty() ? wire_value{} : args[0]);
            } else {
                reply(true);
                reply(false);
            }
        });
        connection_->setProtocolErrorHandler(
            [this](const std::string& reason) { reports_.push_back(reason); });
        connection_->setInvalidationHandler([this] { ++invalidations_; });
    }

    ~served_connection_t() {
        if (thread_.joinable()) {
            connection_->invalidate();
            thread_.join();
        }
    }

    served_connection_t(const served_connection_t&) = delete;
    served_connection_t& operator=(const served_connection_t&) = delete;

    xpc_connection_t& connection() { return *connection_; }
    int client() const { return client_.get(); }
    void hang_up() { client_.reset(); }

    // Admits the client, which then reads the daemon's word, and starts serving.
    void start() {
        ASSERT_TRUE(connection_->confirmAdmission());
        auto word = next_reply();
        ASSERT_TRUE(word);
        EXPECT_EQ(word->id, k_admission_reply_id);
        EXPECT_EQ(word->value, wire_value{true});
        thread_ = std::thread([this] {
            connection_->resume();
            ended_ = true;
        });
    }

    // The next reply the client reads, or nothing when the connection ended instead.
    std::optional<wire_reply> next_reply() {
        auto payload = read_frame(client_.get(), std::chrono::steady_clock::now() + 5s, 5s);
        if (!payload) {
            return std::nullopt;
        }
        auto decoded = decode_reply(*payload);
        if (!decoded) {
            return std::nullopt;
        }
        return std::move(decoded).value();
    }

    // Whether the connection stopped serving within the time; its state may be read then.
    bool ended_within(std::chrono::milliseconds limit) {
        if (!tests::wait_until([this] { return ended_.load(); }, limit)) {
            return false;
        }
        thread_.join();
        return true;
    }

    // Ended on its own, without serving anything, after one report that holds text.
    void expect_refused(const std::string& text) {
        // The client sees the end: its connection is shut down, no reply comes.
        EXPECT_FALSE(next_reply());
        ASSERT_TRUE(ended_within(5s));
        EXPECT_TRUE(calls_.empty());
        ASSERT_EQ(reports_.size(), 1u);
        EXPECT_NE(reports_[0].find(text), std::string::npos) << reports_[0];
        EXPECT_EQ(invalidations_, 1);
    }

    const std::vector<std::size_t>& calls() const { return calls_; }
    const std::vector<std::string>& reports() const { return reports_; }
    int invalidations() const { return invalidations_; }

  private:
    unique_fd client_;
    std::shared_ptr<xpc_connection_t> connection_;
    std::thread thread_;
    std::atomic<bool> ended_{false};
    std::vector<std::size_t> calls_;
    std::vector<std::string> reports_;
    int invalidations_ = 0;
};

// A handler that calls its reply twice sends one frame: the next frame the client reads answers
// its next call.
TEST(Connection, ServesEachCallWithOneReply) {
    served_connection_t served;
    served.start();
    ASSERT_TRUE(send_all(served.client(), request("answer_twice:", 1, {})));
    ASSERT_TRUE(send_all(served.client(), request("echo:reply:", 2, {std::string("hi")})));
    auto first = served.next_reply();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id, 1u);
    EXPECT_EQ(first->value, wire_value{true});
    auto second = served.next_reply();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->id, 2u);
    EXPECT_EQ(second->value, wire_value{std::string("hi")});

    served.hang_up();
    ASSERT_TRUE(served.ended_within(5s));
    EXPECT_EQ(served.calls(), (std::vector<std::size_t>{1, 0}));
    EXPECT_TRUE(served.reports().empty());
    EXPECT_EQ(served.invalidations(), 1);
}

// Calls that don't fit the interface: each is refused before the exported object sees it.
TEST(Connection, RefusesWhatTheInterfaceDoesNotDeclare) {
    struct case_t {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* report;
    };
    const std::vector<case_t> cases = {
        {"unknown selector", request("format_disk:", 1, {}), "unknown selector format_disk:"},
        {"wrong kind", request("echo:reply:", 1, {std::int64_t{5}}),
         "echo:reply: argument 1 must be"},
        {"too few", request("echo:reply:", 1, {}), "echo:reply: takes 1 arguments, got 0"},
        {"too many", request("answer_twice:", 1, {true}), "answer_twice: takes 0 arguments, got 1"},
        {"the admission's id", request("answer_twice:", k_admission_reply_id, {}), "is reserved"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        served_connection_t served;
        served.start();
        ASSERT_TRUE(send_all(served.client(), c.bytes));
        served.expect_refused(c.report);
    }
}

// The header sent by this process, the rest of the message by another: the kernel's credentials
// on the second piece give it away. Sent both by this process, the same pieces are served.
TEST(Connection, RefusesAPieceFromAnotherProcess) {
    const auto bytes = request("echo:reply:", 1, {std::string("hi")});
    const std::span<const std::uint8_t> header(bytes.data(), 4);
    const std::span<const std::uint8_t> body(bytes.data() + 4, bytes.size() - 4);
    {
        served_connection_t served;
        served.start();
        ASSERT_TRUE(send_all(served.client(), header));
        std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(send_all(served.client(), body));
        auto reply = served.next_reply();
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->value, wire_value{std::string("hi")});
    }
    served_connection_t served;
    served.start();
    ASSERT_TRUE(send_all(served.client(), header));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::_exit(send_all(served.client(), body) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    served.expect_refused("message sent by another process than the admitted one");
}

// Bytes that were waiting when admission ended may come from whatever the process ran before the
// program that was judged: the admission is not confirmed, and nothing is sent.
TEST(Connection, RefusesToConfirmAdmissionOverWaitingBytes) {
    served_connection_t served;
    const std::uint8_t early = 0;
    ASSERT_TRUE(send_all(served.client(), std::span(&early, 1)));
    EXPECT_FALSE(served.connection().confirmAdmission());
    std::uint8_t byte = 0;
    EXPECT_EQ(::recv(served.client(), &byte, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
}

// A client that starts a message and stalls holds the connection's thread only for the time a
// started message is given (10 s); the part it sent is not served.
TEST(Connection, EndsAMessageLeftUnfinished) {
    served_connection_t served;
    served.start();
    const auto bytes = request("echo:reply:", 1, {std::string("hi")});
    ASSERT_TRUE(send_all(served.client(), std::span(bytes.data(), bytes.size() - 1)));
    // Not long before the time either: a client on a slow link gets the whole of it.
    EXPECT_FALSE(served.ended_within(8s));
    ASSERT_TRUE(served.ended_within(10s));
    EXPECT_TRUE(served.calls().empty());
    ASSERT_EQ(served.reports().size(), 1u);
    EXPECT_EQ(served.reports()[0], "message not completed in time");
    EXPECT_EQ(served.invalidations(), 1);
}

}  // namespace
