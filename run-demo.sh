#!/usr/bin/env bash
# Installs what is needed, builds, and runs a complete session of the daemon's main job inside a
# throwaway root: signing a client, installing a demo application bundle, driving its service
# jobs and uninstalling it again. The host is left untouched.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

./bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target corvana_programs
exec tests/sandbox/run-in-sandbox.sh tools/demo/demo-session.sh "$(pwd)/build/default"
