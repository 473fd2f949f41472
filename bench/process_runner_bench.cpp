// What the process runner adds to starting a tool: syncExec:args: of /bin/true beside a bare
// posix_spawn and waitpid of the same program, in the same run.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "system/process_runner.h"

namespace {

constexpr const char* k_true = "/bin/true";

void bare_posix_spawn(benchmark::State& state) {
    char* const argv[] = {const_cast<char*>(k_true), nullptr};
    for (auto _ : state) {
        pid_t pid = -1;
        if (posix_spawn(&pid, k_true, nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
        }
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(bare_posix_spawn)->UseRealTime();

void sync_exec(benchmark::State& state) {
    for (auto _ : state) {
        const int status = task_t::syncExec(k_true, {});
        if (status != 0) {
            state.SkipWithError("/bin/true failed");
            break;
        }
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(sync_exec)->UseRealTime();

void sync_stdout_execute(benchmark::State& state) {
    for (auto _ : state) {
        task_t task;
        task.setLaunchPath("/bin/echo");
        task.setArguments({"hello"});
        auto output = task.syncStdOutExecute();
        benchmark::DoNotOptimize(output);
    }
}
BENCHMARK(sync_stdout_execute)->UseRealTime();

}  // namespace
