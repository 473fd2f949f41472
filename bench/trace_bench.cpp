// Trace lines per second, with one and with two threads, beside a bare loop of the system calls
// a line takes (flock, lseek, write, lseek, unlock) in the same run. The writer's "vs_bare"
// counter is its rate over the bare loop's at the same thread count (target: at least 0.8);
// "vs_bare_cpu" compares CPU time per line, which a busy machine disturbs less. The writer runs
// twice: as in service, trimming the file each time it passes 1 MiB ("bm_trace_writer"), and
// with the file emptied before that as the bare loop empties its own ("_untrimmed").
// Run inside the sandbox:
//   tests/sandbox/run-in-sandbox.sh build/<dir>/bench/bench_trace_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "base/trace.h"
#include "tests/support/sandbox.h"
#include "tests/support/trace_capture.h"

namespace fs = std::filesystem;

namespace {

const std::string k_dir = "/var/log/trace_bench";
constexpr off_t k_limit = 1048576;

// A message of the length the helper's progress lines have.
constexpr const char* k_message_format = "Copying %s to /Applications (%d of %d)";
constexpr const char* k_message_argument = "/Users/someone/Downloads/Corvana.app";

// Lines per second of wall time for all threads, and per second of the first thread's CPU time
// (which tells the cost apart from waiting for a core on a busy machine).
struct rates_t {
    double wall = 0;
    double cpu = 0;
};

std::mutex g_rates_lock;
std::map<int, rates_t> g_bare_rates;  // of the bare loop, by thread count

void prepare_dir() {
    static std::once_flag once;
    std::call_once(once, [] {
        tests::require_sandbox();
        fs::remove_all(k_dir);
        fs::create_directories(k_dir);
    });
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double thread_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A line as long as the writer's: same head and message.
std::string bare_line() {
    char message[256];
    std::snprintf(message, sizeof message, k_message_format, k_message_argument, 1, 40);
    char line[1152];
    std::snprintf(line, sizeof line,
                  "%7s %04i-%02i-%02i %02i:%02i:%02i.%03i %10s %6s %6u %6llu %4s %32s - %s\n",
                  "info", 2024, 1, 2, 3, 4, 5, 6, "helper", "bench", 123u, 456ull, "",
                  "helper_tool", message);
    return line;
}

// Each thread has a descriptor of its own, so flock serialises the threads as the writer's
// lock serialises its threads. The file is emptied when it passes 1 MiB, as cheap a stand-in
// for the writer's trimming as there is.
void bm_bare_syscalls(benchmark::State& state) {
    prepare_dir();
    const std::string path = k_dir + "/bare.trace";
    const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        state.SkipWithError("cannot open the bare file");
        return;
    }
    const std::string line = bare_line();
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_seconds();
    for (auto _ : state) {
        flock(descriptor, LOCK_EX);
        lseek(descriptor, 0, SEEK_END);
        benchmark::DoNotOptimize(write(descriptor, line.data(), line.size()));
        if (lseek(descriptor, 0, SEEK_END) > k_limit) {
            benchmark::DoNotOptimize(ftruncate(descriptor, 0));
        }
        flock(descriptor, LOCK_UN);
    }
    const double elapsed = seconds_since(start);
    const double cpu = thread_cpu_seconds() - cpu_start;
    close(descriptor);
    if (state.thread_index() == 0) {
        const rates_t rates{static_cast<double>(state.iterations()) * state.threads() / elapsed,
                            static_cast<double>(state.iterations()) / cpu};
        std::lock_guard<std::mutex> guard(g_rates_lock);
        g_bare_rates[state.threads()] = rates;
        state.counters["lines_per_s"] = rates.wall;
        state.counters["per_cpu_s"] = rates.cpu;
    }
}

// When keep_below is set, the first thread empties the file (under the file lock, through a
// descriptor of its own) before the writer would trim it, as the bare loop does with its file:
// the per-line path alone. Without it the writer trims as it does in service.
void run_writer(benchmark::State& state, bool keep_below) {
    prepare_dir();
    const std::string path = k_dir + "/corvana.trace";
    int own = -1;
    if (state.thread_index() == 0) {
        fs::remove(path);
        tests::use_trace_file(path);
        if (keep_below) {
            own = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        }
    }
    trace_t trace{const_cast<char*>("helper_tool"), nullptr, true};
    int n = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_seconds();
    for (auto _ : state) {
        trace_info(&trace, k_message_format, k_message_argument, ++n % 40, 40);
        if (own >= 0 && n % 64 == 0) {
            struct stat status {};
            if (fstat(own, &status) == 0 && status.st_size > 900000) {
                flock(own, LOCK_EX);
                benchmark::DoNotOptimize(ftruncate(own, 0));
                flock(own, LOCK_UN);
            }
        }
    }
    const double elapsed = seconds_since(start);
    const double cpu = thread_cpu_seconds() - cpu_start;
    if (own >= 0) {
        close(own);
    }
    if (state.thread_index() == 0) {
        const rates_t rates{static_cast<double>(state.iterations()) * state.threads() / elapsed,
                            static_cast<double>(state.iterations()) / cpu};
        state.counters["lines_per_s"] = rates.wall;
        state.counters["per_cpu_s"] = rates.cpu;
        std::lock_guard<std::mutex> guard(g_rates_lock);
        if (auto bare = g_bare_rates.find(state.threads()); bare != g_bare_rates.end()) {
            state.counters["vs_bare"] = rates.wall / bare->second.wall;
            state.counters["vs_bare_cpu"] = rates.cpu / bare->second.cpu;
        }
    }
}

void bm_trace_writer(benchmark::State& state) {
    run_writer(state, false);
}
void bm_trace_writer_untrimmed(benchmark::State& state) {
    run_writer(state, true);
}

}  // namespace

// Each bare loop runs first: the writer runs compare themselves with the latest bare run of
// their thread count.
BENCHMARK(bm_bare_syscalls)->Threads(1)->UseRealTime();
BENCHMARK(bm_trace_writer)->Threads(1)->UseRealTime();
BENCHMARK(bm_trace_writer_untrimmed)->Threads(1)->UseRealTime();
BENCHMARK(bm_bare_syscalls)->Threads(2)->UseRealTime();
BENCHMARK(bm_trace_writer)->Threads(2)->UseRealTime();
BENCHMARK(bm_trace_writer_untrimmed)->Threads(2)->UseRealTime();
