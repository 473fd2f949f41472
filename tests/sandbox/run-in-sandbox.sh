#!/usr/bin/env bash
# Runs a command as root inside a throwaway root: new mount and PID namespaces, an overlay over
# "/" whose upper layer lives on a private tmpfs, fresh /proc, /dev/shm and fake system tools at
# the fixed tool paths. Nothing the command writes reaches the host.
#
#   run-in-sandbox.sh COMMAND [ARGS...]
set -uo pipefail

fail() {
    echo "sandbox: cannot build the sandbox: $*" >&2
    exit 97
}

[ "$#" -ge 1 ] || fail "no command given"
[ "$(id -u)" -eq 0 ] || fail "must run as root (it mounts an overlay over /)"
command -v unshare >/dev/null || fail "unshare (util-linux) is not installed"
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || true
grep -qw overlay /proc/filesystems || fail "the kernel has no overlay file system"

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# An empty mount point for the sandbox's private tmpfs; nothing is ever written into it on the host.
stage=$(mktemp -d /run/corvana-sandbox.XXXXXX 2>/dev/null || mktemp -d /var/tmp/corvana-sandbox.XXXXXX) \
    || fail "cannot make a staging directory"
unshare --mount --pid --fork --propagation private -- \
    /bin/bash "$here/sandbox-inner.sh" "$here" "$(pwd)" "$stage" "$@"
status=$?
rmdir "$stage" 2>/dev/null
exit $status
