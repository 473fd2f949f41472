// An unprivileged user floods the real daemon with connections from a process that maps a
// root-owned file executable over about 126 TiB of address space and made itself non-dumpable
// (bench/hostile_roles.h), 16 connections at a time, the most one process may hold:
//   SixteenHugeMappingConnections  the daemon's processor time for 16 such connections, all
//                                  refused (counter daemon_ms)
//   OtherUsersCall                 another user's call of the signed command line, alone, while
//                                  the flood goes on, and while the same flood comes from a
//                                  process without the mapping, in the same run
// Run inside the sandbox: it starts the daemon and adds two users.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "bench/hostile_roles.h"
#include "tests/support/command.h"
#include "tests/support/daemon_session.h"
#include "tests/support/process_stats.h"
#include "tests/support/sandbox.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* k_attacker = "mallory";
constexpr const char* k_other_user = "alice";
constexpr const char* k_attacker_copy = "/tmp/admission-flood-attacker";

struct setting {
    std::unique_ptr<tests::daemon_session> daemon;

    setting() {
        tests::require_sandbox();
        for (const char* user : {k_attacker, k_other_user}) {
            std::string command = std::string("id ") + user +
                                  " >/dev/null 2>&1 || useradd -M -U -s /bin/false " + user;
            if (std::system(command.c_str()) != 0) {
                std::abort();
            }
        }
        // The attacker runs an unsigned copy of this program it may execute.
        fs::copy_file(fs::read_symlink("/proc/self/exe"), k_attacker_copy,
                      fs::copy_options::overwrite_existing);
        ::chmod(k_attacker_copy, 0755);
        tests::signed_helperctl_path();
        daemon = std::make_unique<tests::daemon_session>();
    }
};

setting& the_setting() {
    static setting instance;
    return instance;
}

std::vector<std::string> as(const std::string& user, std::vector<std::string> argv) {
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + user, "--clear-groups", "--"});
    return argv;
}

tests::command_result flood(int rounds) {
    return tests::run_command(as(k_attacker, {k_attacker_copy}),
                              {"CORVANA_BENCH_ROLE=flood " + std::to_string(rounds)});
}

void BM_SixteenHugeMappingConnections(benchmark::State& state) {
    auto& daemon = *the_setting().daemon;
    double daemon_seconds = 0;
    for (auto _ : state) {
        auto before = tests::read_process_stats(daemon.pid());
        auto result = flood(1);
        auto after = tests::read_process_stats(daemon.pid());
        if (!before || !after || result.out.find("done") == std::string::npos) {
            state.SkipWithError("the flood did not end");
            break;
        }
        daemon_seconds += after->cpu_seconds - before->cpu_seconds;
    }
    // Processor time is counted in clock ticks (10 ms): the mean over the iterations is the
    // figure.
    state.counters["daemon_ms"] =
        benchmark::Counter(daemon_seconds * 1000.0 / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SixteenHugeMappingConnections)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(50);

void other_users_call(benchmark::State& state) {
    const auto argv = as(k_other_user, {tests::signed_helperctl_path(), "version"});
    for (auto _ : state) {
        if (tests::run_command(argv).out != "2.6\n") {
            state.SkipWithError("the other user's call was not served");
            break;
        }
    }
}

void BM_OtherUsersCallAlone(benchmark::State& state) {
    the_setting();
    other_users_call(state);
}
BENCHMARK(BM_OtherUsersCallAlone)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OtherUsersCallDuringFlood(benchmark::State& state) {
    the_setting();
    tests::child_process attacker(as(k_attacker, {k_attacker_copy}),
                                  {"CORVANA_BENCH_ROLE=flood 1000000"});
    other_users_call(state);
}
BENCHMARK(BM_OtherUsersCallDuringFlood)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the same flood from a process that maps nothing unusual. The attacker's own
// processor time competes with the call on a small machine whatever it maps.
void BM_OtherUsersCallDuringPlainFlood(benchmark::State& state) {
    the_setting();
    tests::child_process attacker(as(k_attacker, {k_attacker_copy}),
                                  {"CORVANA_BENCH_ROLE=flood-plain 1000000"});
    other_users_call(state);
}
BENCHMARK(BM_OtherUsersCallDuringPlainFlood)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
