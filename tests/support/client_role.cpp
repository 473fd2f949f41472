#include "tests/support/client_role.h"
#include "platform/ipc/xpc_message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <corvana/helper_client.h>

#include "platform/ipc/frame_io.h"
#include "protocol/types.h"
#include "tests/support/files.h"
#include "tests/support/sandbox.h"
#include "tests/support/signing.h"

namespace tests {
namespace {

using namespace std::chrono_literals;

}  // namespace

const std::string& signed_test_client() {
    static const std::string path = signed_client_executable(
        "/Applications/TestClient.app", std::filesystem::read_symlink("/proc/self/exe"));
    return path;
}

std::vector<std::string> role_arguments() {
    std::vector<std::string> out;
    const char* joined = std::getenv("CORVANA_CLIENT_ROLE_ARGS");
    std::stringstream stream(joined == nullptr ? "" : joined);
    std::string word;
    while (std::getline(stream, word, '\x1f')) {
        out.push_back(word);
    }
    return out;
}

unique_fd raw_connection() {
    auto fd = connect_unix_socket(corvana::helper_client_t::default_socket_path());
    if (!fd) {
        return unique_fd();
    }
    // Nothing may be sent before the daemon says the connection was admitted.
    auto deadline = std::chrono::steady_clock::now() + 20s;
    auto payload = read_frame(fd->get(), deadline, 20s);
    if (!payload) {
        return unique_fd();
    }
    auto reply = decode_reply(*payload);
    if (!reply || reply->id != k_admission_reply_id) {
        return unique_fd();
    }
    return std::move(fd).value();
}

client_role::client_role(const std::string& role, const std::vector<std::string>& args,
                         const role_options& options) {
    require_sandbox();
    static std::atomic<int> counter{0};
    std::string base =
        "/tmp/client-role-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    out_path_ = base + ".out";
    release_path_ = base + ".release";
    std::string joined;
    for (const auto& arg : args) {
        joined += (joined.empty() ? "" : "\x1f") + arg;
    }
    std::vector<std::string> argv;
    if (!options.user.empty()) {
        argv = {"/usr/bin/setpriv", "--reuid=" + options.user, "--regid=" + options.user,
                "--clear-groups", "--"};
    }
    std::string executable = !options.executable.empty() ? options.executable
                             : options.unsigned_copy
                                 ? std::filesystem::read_symlink("/proc/self/exe").string()
                                 : signed_test_client();
    argv.insert(argv.end(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" >\"$OUT\" 2>&1"});
    for (auto& word : role_command(executable, role)) {
        argv.push_back(std::move(word));
    }
    process_ = std::make_unique<child_process>(
        argv, std::vector<std::string>{"CORVANA_CLIENT_ROLE_ARGS=" + joined,
                                       "CORVANA_CLIENT_ROLE_RELEASE=" + release_path_,
                                       "OUT=" + out_path_});
}

client_role::~client_role() {
    release();
}

bool client_role::wait_ready(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (output().find("ready\n") != std::string::npos) {
            return true;
        }
        if (process_->wait_exit(0ms)) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

void client_role::release() {
    std::ofstream(release_path_).put('\n');
}

int client_role::wait(std::chrono::milliseconds timeout) {
    return process_->wait_exit(timeout).value_or(-1);
}

pid_t client_role::pid() const {
    return process_->pid();
}

std::string client_role::output() const {
    return read_file(out_path_);
}

std::unique_ptr<client_role> start_client_role(const std::string& role,
                                               const std::vector<std::string>& args,
                                               const role_options& options) {
    return std::make_unique<client_role>(role, args, options);
}

// The roles themselves, run in the signed copy.

CORVANA_ROLE(Hold) {
    auto client = corvana::helper_client_t::connect();
    ASSERT_TRUE(client) << client.error().message;
    auto version = client->version();
    ASSERT_TRUE(version) << version.error().message;
    std::printf("ready\n");
    std::fflush(stdout);
    const char* release = std::getenv("CORVANA_CLIENT_ROLE_RELEASE");
    ASSERT_NE(release, nullptr);
    while (!std::filesystem::exists(release)) {
        std::this_thread::sleep_for(20ms);
    }
}

CORVANA_ROLE(Load) {
    auto args = role_arguments();
    ASSERT_EQ(args.size(), 2u);
    int clients = std::stoi(args[0]);
    int calls = std::stoi(args[1]);
    std::atomic<long> answered{0};
    std::atomic<long> wrong{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            auto client = corvana::helper_client_t::connect();
            if (!client) {
                return;
            }
            for (int i = 0; i < calls; ++i) {
                auto version = client->version();
                if (version && *version == "2.6") {
                    ++answered;
                } else {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::printf("answered %ld of %d (%ld wrong)\n", answered.load(), clients * calls, wrong.load());
    EXPECT_EQ(answered.load(), static_cast<long>(clients) * calls);
}

}  // namespace tests
