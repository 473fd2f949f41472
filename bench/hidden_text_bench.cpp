#include <benchmark/benchmark.h>

#include "base/hidden_text.h"

// Time to expand each trace format into the thread's buffer, per text.
namespace {

template <void (*producer)()>
void expand_text(benchmark::State& state) {
    for (auto _ : state) {
        producer();
        benchmark::DoNotOptimize(hidden_text_buffer[0]);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(expand_text<start_line_text>)->Name("start_line_text");
BENCHMARK(expand_text<end_line_text>)->Name("end_line_text");
BENCHMARK(expand_text<job_file_missing_text>)->Name("job_file_missing_text");
BENCHMARK(expand_text<job_file_unreadable_text>)->Name("job_file_unreadable_text");

}  // namespace
