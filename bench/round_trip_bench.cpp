// What the daemon adds to a call: get_version_with_reply: round trips beside a bare Unix-socket
// ping-pong of the same message sizes, and the cost of admitting a connection. Runs in the
// sandbox (run-in-sandbox.sh build/default/bench/bench_round_trip_bench); it re-executes itself
// from a signed client bundle so that the daemon admits it.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include <corvana/helper_client.h>

#include "platform/ipc/frame_io.h"
#include "platform/ipc/xpc_message.h"
#include "tests/support/daemon_session.h"
#include "tests/support/sandbox.h"
#include "tests/support/signing.h"

namespace {

using clock_type = std::chrono::steady_clock;

void report_percentiles(benchmark::State& state, std::vector<double>& micros) {
    if (micros.empty()) {
        return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

std::vector<std::uint8_t> frame_of_size(std::size_t size) {
    std::vector<std::uint8_t> frame(size, 0x5A);
    return frame;
}

bool read_all(int fd, std::vector<std::uint8_t>& bytes) {
    std::size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::recv(fd, bytes.data() + got, bytes.size() - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// The same bytes as a get_version_with_reply: call and its reply, bounced by a bare thread.
void bare_socket_ping_pong(benchmark::State& state) {
    std::size_t request_size =
        encode_request(wire_request{"get_version_with_reply:", 1, {}})->size();
    std::size_t reply_size = encode_reply(wire_reply{1, std::string("2.6")})->size();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::thread echo([&] {
        std::vector<std::uint8_t> in(request_size);
        auto out = frame_of_size(reply_size);
        while (read_all(pair[1], in) && send_all(pair[1], out)) {
        }
    });
    auto request = frame_of_size(request_size);
    std::vector<std::uint8_t> reply(reply_size);
    std::vector<double> micros;
    for (auto _ : state) {
        auto start = clock_type::now();
        if (!send_all(pair[0], request) || !read_all(pair[0], reply)) {
            state.SkipWithError("ping-pong failed");
            break;
        }
        micros.push_back(
            std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    ::shutdown(pair[0], SHUT_RDWR);
    echo.join();
    ::close(pair[0]);
    ::close(pair[1]);
    report_percentiles(state, micros);
}
BENCHMARK(bare_socket_ping_pong)->UseRealTime();

// Times one call per iteration on one admitted connection.
template <class Call>
void call_round_trip(benchmark::State& state, Call call) {
    auto client = corvana::helper_client_t::connect();
    if (!client || !client->version()) {
        state.SkipWithError("the daemon did not admit the benchmark");
        return;
    }
    std::vector<double> micros;
    for (auto _ : state) {
        auto start = clock_type::now();
        const bool answered = static_cast<bool>(call(*client));
        micros.push_back(
            std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
        if (!answered) {
            state.SkipWithError("call failed");
            break;
        }
    }
    report_percentiles(state, micros);
}

void get_version_round_trip(benchmark::State& state) {
    call_round_trip(state, [](corvana::helper_client_t& client) { return client.version(); });
}
BENCHMARK(get_version_round_trip)->UseRealTime();

// A call the journal records (a quit refused for its empty namespace: no tool runs), beside the
// unrecorded version call above: the difference is the entry's making and queueing.
void recorded_call_round_trip(benchmark::State& state) {
    call_round_trip(state,
                    [](corvana::helper_client_t& client) { return client.quit_service(""); });
}
BENCHMARK(recorded_call_round_trip)->UseRealTime();

// A fresh connection and its first call: the admission check (code look-up, signature, hashes,
// mapped libraries) plus one round trip.
void admitted_connection(benchmark::State& state) {
    std::vector<double> micros;
    for (auto _ : state) {
        auto start = clock_type::now();
        auto client = corvana::helper_client_t::connect();
        if (!client || !client->version()) {
            state.SkipWithError("not admitted");
            break;
        }
        micros.push_back(
            std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    report_percentiles(state, micros);
}
BENCHMARK(admitted_connection)->UseRealTime()->Iterations(200);

}  // namespace

int main(int argc, char** argv) {
    tests::require_sandbox();
    if (std::getenv("CORVANA_BENCH_SIGNED") == nullptr) {
        std::string self = std::filesystem::read_symlink("/proc/self/exe");
        std::string signed_copy =
            tests::signed_client_executable("/Applications/RoundTripBench.app", self);
        ::setenv("CORVANA_BENCH_SIGNED", "1", 1);
        ::execv(signed_copy.c_str(), argv);
        return 1;
    }
    tests::daemon_session daemon;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
