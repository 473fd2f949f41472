#!/usr/bin/env bash
# run-fuzzer.sh FUZZER CORPUS_DIR [SECONDS]: runs one libFuzzer target over a copy of its seed
# corpus for a bounded time (10 s unless SECONDS says otherwise).
set -euo pipefail
fuzzer=$1
corpus=$2
seconds=${3:-10}
work=$(mktemp -d)
if [ -d "$corpus" ]; then
    cp -r "$corpus"/. "$work"/
fi
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work"
