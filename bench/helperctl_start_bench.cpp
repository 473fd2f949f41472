// What starting corvana-helperctl costs: `corvana-helperctl --help` beside /bin/true, started the
// same way in the same run. The side-by-side figure alternates the two programs, so that a change
// in the machine's load reaches both, and reports each one's mean and their ratio (the goal is at
// most 2). Runs anywhere: --help neither talks to the daemon nor needs root. CORVANA_HELPERCTL
// names another copy to time, such as an installed one: the build tree's copy finds its library
// through a run path, which costs a few dozen failed opens that an installed copy, found through
// the system's library cache, does not pay.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

const std::string k_true = "/bin/true";
const std::string k_helperctl = [] {
    const char* chosen = std::getenv("CORVANA_HELPERCTL");
    return std::string(chosen != nullptr && *chosen != '\0' ? chosen : CORVANA_HELPERCTL_PATH);
}();

// Starts program with args, output to /dev/null, and waits for it; false when it could not start
// or did not exit with 0.
bool run(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int started = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void start_true(benchmark::State& state) {
    for (auto _ : state) {
        if (!run(k_true, {})) {
            state.SkipWithError("/bin/true failed");
            break;
        }
    }
}
BENCHMARK(start_true)->UseRealTime()->Unit(benchmark::kMillisecond);

void start_helperctl_help(benchmark::State& state) {
    for (auto _ : state) {
        if (!run(k_helperctl, {"--help"})) {
            state.SkipWithError("corvana-helperctl --help failed");
            break;
        }
    }
}
BENCHMARK(start_helperctl_help)->UseRealTime()->Unit(benchmark::kMillisecond);

void helperctl_help_beside_true(benchmark::State& state) {
    clock_type::duration true_total{};
    clock_type::duration helperctl_total{};
    for (auto _ : state) {
        const auto started = clock_type::now();
        const bool true_ran = run(k_true, {});
        const auto between = clock_type::now();
        const bool helperctl_ran = run(k_helperctl, {"--help"});
        const auto ended = clock_type::now();
        if (!true_ran || !helperctl_ran) {
            state.SkipWithError("a program failed");
            break;
        }
        true_total += between - started;
        helperctl_total += ended - between;
    }
    const double runs = static_cast<double>(state.iterations());
    const auto ms = [&](clock_type::duration total) {
        return std::chrono::duration<double, std::milli>(total).count() / runs;
    };
    if (runs > 0) {
        state.counters["true_ms"] = ms(true_total);
        state.counters["helperctl_help_ms"] = ms(helperctl_total);
        state.counters["ratio"] = ms(helperctl_total) / ms(true_total);
    }
}
BENCHMARK(helperctl_help_beside_true)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
