#!/usr/bin/env bash
# Builds the ThreadSanitizer preset and runs the concurrency tests under it: the daemon serving 64
# clients at once, the trace writer's threads and processes, authorization checks on several
# threads, installs of two namespaces at once, and the process runner.
#
# Run on demand, not by run-tests.sh: an instrumented build plus these runs take a long time on a
# small machine. Only the programs these tests need are built.
#
#   tests/run-tsan.sh [JOBS]      (JOBS defaults to 2)
#
# Exit status 0 when every test passed and no data race or other report came from any process
# (the test programs, the daemon and the command-line clients they start); the full output is
# kept in build/tsan/tsan-tests.log.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1

jobs=${1:-2}
tests=(
    core_helper_tool_test
    base_trace_test
    base_trace_trim_test
    base_string_test
    auth_authorization_check_test
    platform_authorization_authorization_test
    install_app_install_test
    system_process_runner_test
)

cmake --preset tsan >/dev/null || exit 1
cmake --build --preset tsan -j "$jobs" --target corvana_programs "${tests[@]}" || exit 1

regex="^($(IFS='|'; echo "${tests[*]}"))\$"
log=build/tsan/tsan-tests.log
# The daemon and the clients a test starts inherit its standard error, so their reports land in
# the log too; only the test program's own reports would also show in its exit status.
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=0 second_deadlock_stack=1}"
ctest --preset tsan -R "$regex" --verbose >"$log" 2>&1
status=$?

reports=$(grep -c '^WARNING: ThreadSanitizer' "$log")
grep -E '^(WARNING: ThreadSanitizer|SUMMARY: ThreadSanitizer)' "$log" | sort | uniq -c
grep -E '[0-9]+% tests passed|tests failed|\*\*\*Failed|Passed +[0-9.]+ sec' "$log"
echo "ThreadSanitizer reports: $reports (log: $log)"
[ "$status" -eq 0 ] && [ "$reports" -eq 0 ]
