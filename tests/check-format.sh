#!/usr/bin/env bash
# check-format.sh CLANG_FORMAT: fails when a tracked C++ source differs from its formatted form.
set -uo pipefail
clang_format=$1
status=0
while IFS= read -r file; do
    if ! "$clang_format" --dry-run --Werror "$file" >/dev/null 2>&1; then
        echo "not formatted: $file (run: clang-format -i $file)"
        status=1
    fi
done < <(git ls-files '*.cpp' '*.h')
exit $status
