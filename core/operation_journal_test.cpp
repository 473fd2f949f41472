// The journal's record of privileged operations, as the real daemon sends it. The sandbox has no
// journald: the test binds the journal's socket in the sandbox's throwaway root and reads the
// native-protocol datagrams the daemon sends there.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <corvana/helper_client.h>

#include "base/unique_fd.h"
#include "platform/journal/journal_event.h"
#include "protocol/protocol_methods.h"
#include "tests/support/client_role.h"
#include "tests/support/daemon_session.h"
#include "tests/support/fake_tools.h"
#include "tests/support/sandbox.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* k_user = "alice";
constexpr const char* k_journal_socket = "/run/systemd/journal/socket";
constexpr const char* k_settings_right = "com.quillmark.Corvana.Helper.global_settings";

using fields_t = std::vector<std::pair<std::string, std::string>>;

// The journal's native protocol: "NAME=value\n", or, for a value that holds a line feed,
// "NAME\n", its length as 64-bit little-endian, the value and "\n". Nothing when malformed.
std::optional<fields_t> parse_native(const std::string& datagram) {
    fields_t fields;
    std::size_t at = 0;
    while (at < datagram.size()) {
        const std::size_t end = datagram.find('\n', at);
        if (end == std::string::npos) {
            return std::nullopt;
        }
        const std::size_t equals = datagram.find('=', at);
        if (equals != std::string::npos && equals < end) {
            fields.emplace_back(datagram.substr(at, equals - at),
                                datagram.substr(equals + 1, end - equals - 1));
            at = end + 1;
            continue;
        }
        std::uint64_t size = 0;
        if (datagram.size() - end - 1 < sizeof size) {
            return std::nullopt;
        }
        std::memcpy(&size, datagram.data() + end + 1, sizeof size);  // little-endian host
        const std::size_t value = end + 1 + sizeof size;
        if (datagram.size() - value < size + 1 || datagram[value + size] != '\n') {
            return std::nullopt;
        }
        fields.emplace_back(datagram.substr(at, end - at), datagram.substr(value, size));
        at = value + size + 1;
    }
    return fields;
}

std::vector<std::string> values_of(const fields_t& fields, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& [key, value] : fields) {
        if (key == name) {
            values.push_back(value);
        }
    }
    return values;
}

std::string value_of(const fields_t& fields, const std::string& name) {
    const auto values = values_of(fields, name);
    return values.size() == 1 ? values.front() : "(" + std::to_string(values.size()) + " values)";
}

std::string message_id(journal_kind kind) {
    return std::string(journal_kind_of(kind).message_id);
}

// journald's socket, played by the test.
class journal_socket_t {
  public:
    journal_socket_t() {
        tests::require_sandbox();
        fs::create_directories(fs::path(k_journal_socket).parent_path());
        fs::remove(k_journal_socket);
        socket_ = unique_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, k_journal_socket, sizeof address.sun_path - 1);
        bound_ = socket_.valid() &&
                 ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

    bool bound() const { return bound_; }

    // The entries that came within the time, until one with this MESSAGE_ID (which is last).
    std::vector<fields_t> until(journal_kind kind, std::chrono::milliseconds limit = 20s) {
        std::vector<fields_t> entries;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{socket_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 100) != 1) {
                continue;
            }
            std::string datagram(256 * 1024, '\0');
            const ssize_t got = ::recv(socket_.get(), datagram.data(), datagram.size(), 0);
            if (got <= 0) {
                continue;
            }
            datagram.resize(static_cast<std::size_t>(got));
            auto fields = parse_native(datagram);
            EXPECT_TRUE(fields) << "a malformed datagram";
            if (!fields) {
                continue;
            }
            const bool last = value_of(*fields, "MESSAGE_ID") == message_id(kind);
            entries.push_back(std::move(*fields));
            if (last) {
                return entries;
            }
        }
        ADD_FAILURE() << "no entry " << journal_kind_of(kind).what << " came";
        return entries;
    }

    // Reads count datagrams, whatever they hold; false when they did not come within the time.
    bool drain(std::size_t count, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string datagram(256 * 1024, '\0');
        while (count > 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd ready{socket_.get(), POLLIN, 0};
            if (::poll(&ready, 1, 100) == 1 &&
                ::recv(socket_.get(), datagram.data(), datagram.size(), 0) > 0) {
                --count;
            }
        }
        return count == 0;
    }

    // The entry with this MESSAGE_ID, the next that comes (about this process, when given).
    fields_t next(journal_kind kind, std::optional<pid_t> client = std::nullopt) {
        for (;;) {
            auto entries = until(kind);
            if (entries.empty()) {
                return {};
            }
            if (!client ||
                value_of(entries.back(), "CORVANA_CLIENT_PID") == std::to_string(*client)) {
                return entries.back();
            }
        }
    }

  private:
    unique_fd socket_;
    bool bound_ = false;
};

uid_t uid_of(const char* name) {
    const passwd* entry = ::getpwnam(name);
    return entry == nullptr ? static_cast<uid_t>(-1) : entry->pw_uid;
}

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Connects and makes the calls the test expects to find in the journal, in this order.
CORVANA_ROLE(JournalCalls) {
    const auto args = tests::role_arguments();
    ASSERT_EQ(args.size(), 2u);
    auto client = corvana::helper_client_t::connect();
    ASSERT_TRUE(client) << client.error().message;
    EXPECT_EQ(client->quit_service("corvana").value(), true);
    EXPECT_EQ(client->start_service(args[0]).value(), false);
    const std::string token = read_bytes(args[1]);
    EXPECT_EQ(client->check_global_settings_right({token.begin(), token.end()}).value(), true);
    EXPECT_EQ(client->check_global_settings_right(std::vector<std::uint8_t>(32, 0x5a)).value(),
              false);
}

CORVANA_ROLE(JournalRefused) {
    auto client =
        corvana::helper_client_t::connect(corvana::helper_client_t::default_socket_path(), 10s);
    ASSERT_FALSE(client);
    EXPECT_EQ(client.error().kind, corvana::error_kind::refused) << client.error().message;
}

// Calls that are recorded, as fast as the daemon answers them; then, once released, one more.
CORVANA_ROLE(JournalFlood) {
    const auto args = tests::role_arguments();
    ASSERT_EQ(args.size(), 1u);
    auto client = corvana::helper_client_t::connect();
    ASSERT_TRUE(client) << client.error().message;
    for (int i = std::stoi(args[0]); i > 0; --i) {
        ASSERT_EQ(client->quit_service("").value(), false);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    const char* release = std::getenv("CORVANA_CLIENT_ROLE_RELEASE");
    ASSERT_NE(release, nullptr);
    while (!fs::exists(release)) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(client->quit_service("after").value(), true);
}

class OperationJournal : public testing::Test {
  protected:
    void SetUp() override {
        tests::require_sandbox();
        ASSERT_TRUE(tests::ensure_user(k_user));
        tests::signed_test_client();  // made before a role needs it
        tests::fake_tools::reset();
        ASSERT_TRUE(journal_.bound());
        daemon_.emplace();
    }

    static tests::role_options as_user(bool signed_copy) {
        tests::role_options options;
        options.user = k_user;
        options.unsigned_copy = !signed_copy;
        return options;
    }

    journal_socket_t journal_;
    std::optional<tests::daemon_session> daemon_;
};

// A user's calls, each with the admitted client's pid, uid and program, what it named and the
// reply; an authorization names the right and how it was decided.
TEST_F(OperationJournal, ACallerOperationsAndDecisionsAreRecordedAsTheKernelNamedTheCaller) {
    const std::string forged =
        "x\nMESSAGE_ID=" + message_id(journal_kind::install) + "\nCORVANA_OUTCOME=true";
    const std::string token = tests::issue_authorization({k_settings_right}, k_user);
    auto client = tests::start_client_role("JournalCalls", {forged, token}, as_user(true));
    ASSERT_EQ(client->wait(60s), 0) << client->output();
    const std::string pid = std::to_string(client->pid());
    const std::string uid = std::to_string(uid_of(k_user));
    const std::string program = fs::canonical(tests::signed_test_client()).string();

    const fields_t quit = journal_.next(journal_kind::quit_service);
    EXPECT_EQ(value_of(quit, "CORVANA_CLIENT_PID"), pid);
    EXPECT_EQ(value_of(quit, "CORVANA_CLIENT_UID"), uid);
    EXPECT_EQ(value_of(quit, "CORVANA_CLIENT_EXE"), program);
    EXPECT_EQ(value_of(quit, "CORVANA_OPERATION"),
              protocol::selector(protocol::method::quit_service));
    EXPECT_EQ(value_of(quit, "CORVANA_NAMESPACE"), "corvana");
    EXPECT_EQ(value_of(quit, "CORVANA_OUTCOME"), "true");
    EXPECT_THAT(values_of(quit, "CORVANA_RIGHT"), testing::IsEmpty());

    // A namespace that spells further fields stays one value of one entry.
    const fields_t start = journal_.next(journal_kind::start_service);
    EXPECT_THAT(values_of(start, "MESSAGE_ID"),
                testing::ElementsAre(message_id(journal_kind::start_service)));
    EXPECT_EQ(value_of(start, "CORVANA_NAMESPACE"), forged);
    EXPECT_EQ(value_of(start, "CORVANA_OUTCOME"), "false");
    // Control: the same fields sent as plain "NAME=value" lines give the client its own entry.
    std::string plain;
    for (const auto& [name, value] : start) {
        plain += name + "=" + value + "\n";
    }
    const auto naive = parse_native(plain);
    ASSERT_TRUE(naive);
    EXPECT_THAT(values_of(*naive, "MESSAGE_ID"),
                testing::Contains(message_id(journal_kind::install)));

    for (const auto& [outcome, decided] :
         {std::pair{"true", "token"}, std::pair{"false", "refused"}}) {
        const fields_t decision = journal_.next(journal_kind::authorization);
        EXPECT_EQ(value_of(decision, "CORVANA_CLIENT_UID"), uid);
        EXPECT_EQ(value_of(decision, "CORVANA_CLIENT_PID"), pid);
        EXPECT_EQ(value_of(decision, "CORVANA_RIGHT"), k_settings_right);
        EXPECT_EQ(value_of(decision, "CORVANA_DECIDED_BY"), decided);
        EXPECT_EQ(value_of(decision, "CORVANA_OUTCOME"), outcome);
        const fields_t check = journal_.next(journal_kind::check_global_settings);
        EXPECT_EQ(value_of(check, "CORVANA_CLIENT_UID"), uid);
        EXPECT_EQ(value_of(check, "CORVANA_RIGHT"), k_settings_right);
        EXPECT_EQ(value_of(check, "CORVANA_DECIDED_BY"), decided);
        EXPECT_EQ(value_of(check, "CORVANA_OUTCOME"), outcome);
    }
}

// A refused connection is recorded with the process that made it, though no call was read.
TEST_F(OperationJournal, AnUnsignedClientsRefusalIsRecorded) {
    auto client = tests::start_client_role("JournalRefused", {}, as_user(false));
    ASSERT_EQ(client->wait(60s), 0) << client->output();
    // The session's own probes of the socket are refused too, and recorded before it.
    const fields_t refusal = journal_.next(journal_kind::admission_refused, client->pid());
    EXPECT_EQ(value_of(refusal, "CORVANA_CLIENT_UID"), std::to_string(uid_of(k_user)));
    EXPECT_EQ(value_of(refusal, "CORVANA_CLIENT_EXE"), fs::canonical("/proc/self/exe").string());
    EXPECT_EQ(value_of(refusal, "CORVANA_OUTCOME"), "false");
    EXPECT_THAT(value_of(refusal, "CORVANA_REASON"), testing::StartsWith("code check: "));
}

}  // namespace

namespace {

// A journal that reads nothing holds up no operation: its datagram socket's queue fills and a send
// waits for room, so the daemon sends from a thread of its own and drops what its queue can't
// hold, saying so in the next entry that gets through.
TEST_F(OperationJournal, AJournalThatReadsNothingHoldsUpNoCall) {
    // Control: sent from the calling thread, as sd_journal_send does, an entry waits for room.
    std::atomic<int> sent{0};
    std::thread sender([&sent] {
        for (int i = 0; i < 200; ++i) {
            (void)sd_journal_send("MESSAGE=control %d", i, nullptr);
            ++sent;
        }
    });
    EXPECT_FALSE(tests::wait_until([&sent] { return sent.load() == 200; }, 2s))
        << "the sends did not wait: this test can't tell a waiting record from a free one";
    std::size_t read = 0;
    while (sent.load() < 200) {
        read += journal_.drain(1, 1s) ? 1 : 0;
    }
    sender.join();
    journal_.drain(200 - read, 5s);  // what is still queued

    // Far more entries than the daemon's queue holds, none read: every call is answered.
    constexpr int k_calls = 6000;
    auto client = tests::start_client_role("JournalFlood", {std::to_string(k_calls)});
    ASSERT_TRUE(client->wait_ready(120s)) << client->output();
    // Room again: the entries queued go, then the one more call's, which counts what was lost.
    ASSERT_TRUE(journal_.drain(100));
    client->release();
    ASSERT_EQ(client->wait(60s), 0) << client->output();
    for (;;) {
        const fields_t quit = journal_.next(journal_kind::quit_service, client->pid());
        if (quit.empty() || value_of(quit, "CORVANA_NAMESPACE") == "after") {
            ASSERT_FALSE(quit.empty());
            EXPECT_GT(std::stoul(value_of(quit, "CORVANA_LOST")), 0u);
            EXPECT_LT(std::stoul(value_of(quit, "CORVANA_LOST")), static_cast<unsigned>(k_calls));
            break;
        }
    }
}

}  // namespace
