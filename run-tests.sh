#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite in the default and the
# AddressSanitizer/UndefinedBehaviorSanitizer presets. Every test program runs as root inside a
# throwaway root (tests/sandbox/run-in-sandbox.sh): the host is never touched.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

./bootstrap.sh

for preset in ${CORVANA_PRESETS:-default asan}; do
    echo "== $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)"
    echo "== $preset: test"
    ctest --preset "$preset" -j "$(nproc)" -LE deploy
    # The Debian packages (default preset only), built from a copy of the tree with their own
    # flags, and judged by lintian; the deployment test below installs these.
    if [ "$preset" = default ]; then
        echo "== Debian packages"
        packaging/build-debs.sh "build/$preset/debs"
    fi
    # The deployment test (default preset only) runs alone, and its report is shown even when it
    # passes: it is the proof that the units work under a real service manager.
    ctest --preset "$preset" -L deploy --verbose --no-tests=ignore
done
