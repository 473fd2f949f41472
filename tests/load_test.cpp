// The real daemon under load: a crowd of clients connecting and going away in a loop while others
// keep calling the queries. Every call must be answered exactly once and correctly, and once the
// crowd has gone the daemon must hold no more descriptors, threads or memory than before.
//
// The load lasts 5 seconds; CORVANA_HEAVY=1 makes it 30.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <corvana/helper_client.h>

#include "base/unique_fd.h"
#include "platform/ipc/frame_io.h"
#include "platform/ipc/xpc_message.h"
#include "protocol/types.h"
#include "tests/support/client_role.h"
#include "tests/support/daemon_session.h"
#include "tests/support/fake_tools.h"
#include "tests/support/process_stats.h"
#include "tests/support/trace_capture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

constexpr const char* k_installed = "corvana";  // job files written by the test
constexpr const char* k_toggled = "toggled";    // its autostart is switched during the load
constexpr const char* k_absent = "nothing";     // no job files at all
constexpr std::chrono::milliseconds k_call_timeout = 60s;

// ---------------------------------------------------------------------------------------------
// Helpers of the roles (they run in the signed copy of this program).

struct role_plan {
    int clients = 0;
    steady::time_point deadline;
    // The daemon may refuse a connection or drop it without an answer (it is short of
    // descriptors), but what it answers must be right.
    bool drops_allowed = false;
};

role_plan plan_from_arguments() {
    auto args = tests::role_arguments();
    role_plan plan;
    if (args.size() >= 2) {
        plan.clients = std::stoi(args[0]);
        plan.deadline = steady::now() + std::chrono::milliseconds(std::stoi(args[1]));
        plan.drops_allowed = args.size() == 3 && args[2] == "drops-allowed";
    }
    return plan;
}

corvana::result<corvana::helper_client_t> connect_client() {
    return corvana::helper_client_t::connect(corvana::helper_client_t::default_socket_path(),
                                             k_call_timeout);
}

// One reply frame, or nothing when none came within the time.
std::optional<wire_reply> read_reply(int fd, int timeout_ms) {
    const std::chrono::milliseconds timeout(timeout_ms);
    auto payload = read_frame(fd, std::chrono::steady_clock::now() + timeout, timeout);
    if (!payload) {
        return std::nullopt;
    }
    auto decoded = decode_reply(*payload);
    if (!decoded) {
        return std::nullopt;
    }
    return std::move(decoded).value();
}

// ---------------------------------------------------------------------------------------------
// The roles.

// Clients that connect and go away in a loop: some without a word, some after one query, some
// right after sending a request, without waiting for its answer.
CORVANA_ROLE(Churn) {
    const role_plan plan = plan_from_arguments();
    ASSERT_GT(plan.clients, 0);
    std::atomic<long> connections{0}, refused{0}, calls{0}, answered{0}, wrong{0}, dropped{0},
        abandoned{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < plan.clients; ++c) {
        threads.emplace_back([&, c] {
            for (long n = c; steady::now() < plan.deadline; ++n) {
                if (n % 4 == 3) {
                    unique_fd fd = tests::raw_connection();
                    if (!fd) {
                        ++refused;
                        continue;
                    }
                    ++connections;
                    auto request = encode_request(
                        wire_request{"is_service_installed_with_namespace:with_reply:",
                                     1,
                                     {std::string(k_installed)}});
                    abandoned += send_all(fd.get(), *request) ? 1 : 0;
                    continue;
                }
                auto client = connect_client();
                if (!client) {
                    ++refused;
                    continue;
                }
                ++connections;
                if (n % 4 == 0) {
                    continue;
                }
                ++calls;
                auto installed = client->is_service_installed(k_installed, k_call_timeout);
                if (installed && *installed) {
                    ++answered;
                } else if (!installed && plan.drops_allowed) {
                    ++dropped;
                } else {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::printf(
        "churn connections %ld refused %ld calls %ld answered %ld wrong %ld dropped %ld "
        "abandoned %ld\n",
        connections.load(), refused.load(), calls.load(), answered.load(), wrong.load(),
        dropped.load(), abandoned.load());
    // A daemon short of descriptors can't admit every client: it closes the connections it
    // can't judge, which the client sees before any call.
    if (!plan.drops_allowed) {
        EXPECT_EQ(refused.load(), 0);
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(answered.load(), 0);
}

// Clients that keep their connection and call the queries one after the other, while one of them
// switches the autostart of another namespace back and forth: the job file it rewrites must
// always read whole to the others.
CORVANA_ROLE(Query) {
    const role_plan plan = plan_from_arguments();
    ASSERT_GT(plan.clients, 0);
    std::atomic<long> calls{0}, answered{0}, wrong{0}, unanswered{0};
    std::mutex failures_lock;
    std::map<std::string, long> failures;
    auto check = [&](const char* what, const auto& got, const auto& expected) {
        ++calls;
        if (!got) {
            ++unanswered;
        } else if (*got != expected) {
            ++wrong;
        } else {
            ++answered;
            return;
        }
        std::lock_guard guard(failures_lock);
        ++failures[what];
    };

    std::vector<std::thread> threads;
    for (int c = 0; c < plan.clients; ++c) {
        threads.emplace_back([&, c] {
            auto client = connect_client();
            if (!client) {
                ++unanswered;
                return;
            }
            bool on = false;
            for (long n = 0; steady::now() < plan.deadline; ++n) {
                if (c == 0) {
                    on = !on;
                    check("set autostart",
                          client->set_autostart_enabled(k_toggled, on, k_call_timeout), true);
                    continue;
                }
                switch (n % 8) {
                    case 0:
                        check("version", client->version(k_call_timeout), "2.6");
                        break;
                    case 1:
                        check("installed",
                              client->is_service_installed(k_installed, k_call_timeout), true);
                        break;
                    case 2:
                        check("absent", client->is_service_installed(k_absent, k_call_timeout),
                              false);
                        break;
                    case 3:
                        check("disabled", client->is_service_disabled(k_installed, k_call_timeout),
                              false);
                        break;
                    case 4:
                        check("run at load",
                              client->is_service_run_at_load(k_installed, k_call_timeout), true);
                        break;
                    case 5:
                        check("autostart",
                              client->is_autostart_enabled(k_installed, k_call_timeout), true);
                        break;
                    case 6:
                        // Only RunAtLoad of this job file changes: a reader that caught it half
                        // written would find it unreadable, which answers "disabled".
                        check("toggled disabled",
                              client->is_service_disabled(k_toggled, k_call_timeout), false);
                        break;
                    default: {
                        // Either value is right while it is being switched; an answer is due.
                        auto run_at_load =
                            client->is_service_run_at_load(k_toggled, k_call_timeout);
                        check("toggled run at load", run_at_load, run_at_load.value_or(false));
                        break;
                    }
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::printf("query calls %ld answered %ld wrong %ld unanswered %ld\n", calls.load(),
                answered.load(), wrong.load(), unanswered.load());
    for (const auto& [what, count] : failures) {
        std::printf("failed %s: %ld\n", what.c_str(), count);
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(unanswered.load(), 0);
    EXPECT_GT(answered.load(), 0);
}

// Clients that speak the wire protocol directly and send requests in batches without waiting:
// every request id must come back exactly once with the right value, and nothing after that.
CORVANA_ROLE(Pipeline) {
    const role_plan plan = plan_from_arguments();
    ASSERT_GT(plan.clients, 0);
    constexpr std::uint64_t k_batch = 16;
    std::atomic<long> replies{0}, missing{0}, duplicates{0}, unexpected{0}, wrong{0}, extra{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < plan.clients; ++c) {
        threads.emplace_back([&] {
            unique_fd fd = tests::raw_connection();
            if (!fd) {
                ++missing;
                return;
            }
            std::uint64_t next_id = 1;
            while (steady::now() < plan.deadline) {
                std::map<std::uint64_t, wire_value> expected;
                std::vector<std::uint8_t> batch;
                for (std::uint64_t i = 0; i < k_batch; ++i, ++next_id) {
                    wire_request request{"get_version_with_reply:", next_id, {}};
                    wire_value answer = std::string("2.6");
                    if (i % 2 == 1) {
                        request.selector = "is_service_installed_with_namespace:with_reply:";
                        request.args = {std::string(i % 4 == 1 ? k_installed : k_absent)};
                        answer = i % 4 == 1;
                    }
                    auto frame = encode_request(request);
                    batch.insert(batch.end(), frame->begin(), frame->end());
                    expected.emplace(next_id, std::move(answer));
                }
                if (!send_all(fd.get(), batch)) {
                    missing += static_cast<long>(k_batch);
                    return;
                }
                std::set<std::uint64_t> seen;
                while (seen.size() < expected.size()) {
                    auto reply = read_reply(fd.get(), static_cast<int>(k_call_timeout.count()));
                    if (!reply) {
                        missing += static_cast<long>(expected.size() - seen.size());
                        return;
                    }
                    ++replies;
                    auto found = expected.find(reply->id);
                    if (found == expected.end()) {
                        ++unexpected;
                    } else if (!seen.insert(reply->id).second) {
                        ++duplicates;
                    } else if (reply->value != found->second) {
                        ++wrong;
                    }
                }
            }
            // Nothing may follow the last answer.
            pollfd p{fd.get(), POLLIN, 0};
            if (::poll(&p, 1, 300) > 0) {
                char byte;
                extra += ::recv(fd.get(), &byte, 1, MSG_DONTWAIT) > 0 ? 1 : 0;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::printf(
        "pipeline replies %ld missing %ld duplicates %ld unexpected %ld wrong %ld extra %ld\n",
        replies.load(), missing.load(), duplicates.load(), unexpected.load(), wrong.load(),
        extra.load());
    EXPECT_EQ(missing.load(), 0);
    EXPECT_EQ(duplicates.load(), 0);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(extra.load(), 0);
    EXPECT_GT(replies.load(), 0);
}

// ---------------------------------------------------------------------------------------------
// The test itself.

void write_job_file(const std::string& path, const std::string& label) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::trunc)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Disabled</key>\n\t<false/>\n"
           "\t<key>Label</key>\n\t<string>"
        << label
        << "</string>\n"
           "\t<key>RunAtLoad</key>\n\t<true/>\n"
           "</dict>\n</plist>\n";
}

void write_job_files(const std::string& cv_namespace) {
    const std::string service = "com.quillmark." + cv_namespace + ".service";
    const std::string frontend = "com.quillmark." + cv_namespace + ".Frontend";
    write_job_file("/Library/LaunchDaemons/" + service + ".plist", service);
    write_job_file("/Library/LaunchAgents/" + frontend + ".plist", frontend);
}

// A number that follows word in the role's output line that begins with prefix.
long figure(const std::string& output, const std::string& prefix, const std::string& word) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(prefix, 0) != 0) {
            continue;
        }
        std::istringstream fields(line);
        std::string field;
        while (fields >> field) {
            long value = 0;
            if (field == word && fields >> value) {
                return value;
            }
        }
    }
    return -1;
}

// A sanitizer's runtime holds freed memory back on purpose (quarantine, shadow), so the daemon's
// resident size says nothing about leaks there; its leak checker judges the exit instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool k_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool k_sanitized = true;
#else
constexpr bool k_sanitized = false;
#endif
#else
constexpr bool k_sanitized = false;
#endif

std::chrono::milliseconds load_duration() {
    const char* heavy = std::getenv("CORVANA_HEAVY");
    return heavy != nullptr && std::string(heavy) == "1" ? 30s : 5s;
}

class LoadTest : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* dir : {"/Library/LaunchDaemons", "/Library/LaunchAgents"}) {
            fs::remove_all(dir);
            fs::create_directories(dir);
        }
        write_job_files(k_installed);
        write_job_files(k_toggled);
        fs::remove(tests::k_daemon_trace);
        tests::fake_tools::reset();
    }

    static std::unique_ptr<tests::client_role> role(const std::string& name, int clients,
                                                    std::chrono::milliseconds duration) {
        return tests::start_client_role(
            name, {std::to_string(clients), std::to_string(duration.count())});
    }

    static void finish(tests::client_role& role, std::chrono::milliseconds duration) {
        EXPECT_EQ(role.wait(duration + 180s), 0) << role.output();
    }
};

TEST_F(LoadTest, ClientsChurnWhileOthersQueryAndNothingIsLeftBehind) {
    const auto duration = load_duration();
    const int churning = 200;
    const int querying = 16;
    const int pipelining = 4;

    tests::daemon_session daemon;
    const pid_t pid = daemon.pid();
    // One client stays connected throughout, so the daemon never reaches its idle quit and its
    // connection is part of both readings.
    auto holder = tests::start_client_role("Hold", {});
    ASSERT_TRUE(holder->wait_ready());

    // A short first round lets the daemon reach its working size (trace file open, allocator
    // arenas, thread stacks) before the reading that counts.
    {
        auto churn = role("Churn", 50, 1s);
        auto query = role("Query", 4, 1s);
        finish(*churn, 1s);
        finish(*query, 1s);
    }
    // Settled: the start-time check and every connection thread but the holder's are gone.
    const auto before = tests::wait_until_settled(pid, 1s, 30s);
    ASSERT_TRUE(before) << "the daemon is gone";

    const auto started = steady::now();
    auto churn = role("Churn", churning, duration);
    auto query = role("Query", querying, duration);
    auto pipeline = role("Pipeline", pipelining, duration);
    // Sampled while the crowd is there, to show the load reached the daemon.
    std::this_thread::sleep_for(duration / 2);
    const auto during = tests::read_process_stats(pid);
    finish(*churn, duration);
    finish(*query, duration);
    finish(*pipeline, duration);
    const double seconds = std::chrono::duration<double>(steady::now() - started).count();

    // Threads end, and their memory goes back, a little after their clients have gone.
    constexpr std::size_t k_rss_growth_kib = 16 * 1024;
    auto after = tests::wait_for_stats(
        pid,
        [&](const tests::process_stats& s) {
            return s.threads <= before->threads && s.descriptors <= before->descriptors &&
                   (k_sanitized || s.rss_kib <= before->rss_kib + k_rss_growth_kib);
        },
        30s);
    ASSERT_TRUE(after) << "the daemon is gone";
    EXPECT_EQ(holder->output().find("Failure"), std::string::npos) << holder->output();
    EXPECT_TRUE(daemon.helperctl({"version"}).out == "2.6\n");

    const long connections = figure(churn->output(), "churn", "connections");
    const long calls = figure(churn->output(), "churn", "calls") +
                       figure(query->output(), "query", "calls") +
                       figure(pipeline->output(), "pipeline", "replies");
    std::printf(
        "load: %.1f s, %d churning + %d querying + %d pipelining clients\n"
        "load: %ld connections (%.0f/s), %ld calls answered (%.0f/s)\n"
        "load: descriptors %zu before, %zu during, %zu after\n"
        "load: threads %zu before, %zu during, %zu after\n"
        "load: VmRSS %zu KiB before, %zu KiB during, %zu KiB after\n"
        "load: the daemon used %.1f s of processor time\n",
        seconds, churning, querying, pipelining, connections, connections / seconds, calls,
        calls / seconds, before->descriptors, during ? during->descriptors : 0, after->descriptors,
        before->threads, during ? during->threads : 0, after->threads, before->rss_kib,
        during ? during->rss_kib : 0, after->rss_kib, after->cpu_seconds - before->cpu_seconds);

    EXPECT_GT(connections, churning);
    EXPECT_EQ(after->descriptors, before->descriptors) << tests::describe_descriptors(pid);
    EXPECT_EQ(after->threads, before->threads);
    if (!k_sanitized) {
        EXPECT_LE(after->rss_kib, before->rss_kib + k_rss_growth_kib);
    }

    // Whatever went on, the trace holds whole lines only and no error.
    for (const auto& line : tests::trace_lines(tests::k_daemon_trace)) {
        tests::trace_line_t parsed;
        ASSERT_TRUE(tests::parse_trace_line(line, &parsed)) << line;
        EXPECT_NE(parsed.level, "error") << line;
    }
    // Once the last client has gone the daemon quits on its own, cleanly (with the leak checker
    // of a sanitizer build watching its exit too).
    holder->release();
    EXPECT_EQ(holder->wait(20s), 0);
    EXPECT_EQ(daemon.wait_exit(60s), std::optional<int>(0));
}

// The daemon started with few descriptors allowed (as a service manager's default soft limit
// can be): a crowd of clients runs it out of them. Connections it can't take are dropped, the
// ones it serves are answered right, and once the crowd has gone it holds what it held before
// and serves again.
TEST_F(LoadTest, ADescriptorShortageDropsClientsButLeaksNothing) {
    const auto duration = std::min<std::chrono::milliseconds>(load_duration(), 5s);
    tests::daemon_session daemon(
        tests::daemon_session::options{.prefix = {"/usr/bin/prlimit", "--nofile=64:64", "--"}});
    const pid_t pid = daemon.pid();
    auto holder = tests::start_client_role("Hold", {});
    ASSERT_TRUE(holder->wait_ready());
    const auto before = tests::wait_until_settled(pid, 1s, 30s);
    ASSERT_TRUE(before) << "the daemon is gone";

    auto churn = tests::start_client_role(
        "Churn", {"200", std::to_string(duration.count()), "drops-allowed"});
    finish(*churn, duration);
    const auto after = tests::wait_for_stats(
        pid,
        [&](const tests::process_stats& s) {
            return s.threads <= before->threads && s.descriptors <= before->descriptors;
        },
        30s);
    ASSERT_TRUE(after) << "the daemon is gone";
    std::printf(
        "shortage: %ld connections, %ld calls answered, %ld dropped; descriptors %zu "
        "before, %zu after; threads %zu before, %zu after\n",
        figure(churn->output(), "churn", "connections"),
        figure(churn->output(), "churn", "answered"), figure(churn->output(), "churn", "dropped"),
        before->descriptors, after->descriptors, before->threads, after->threads);
    EXPECT_EQ(after->descriptors, before->descriptors) << tests::describe_descriptors(pid);
    EXPECT_EQ(after->threads, before->threads);
    EXPECT_EQ(daemon.helperctl({"version"}).out, "2.6\n");
    EXPECT_EQ(daemon.helperctl({"is-disabled", k_installed}).out, "false\n");

    holder->release();
    EXPECT_EQ(holder->wait(20s), 0);
    EXPECT_EQ(daemon.wait_exit(60s), std::optional<int>(0));
}

}  // namespace
