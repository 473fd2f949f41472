#!/usr/bin/env bash
# Second half of run-in-sandbox.sh: runs as PID 1 of the new PID namespace, inside the new mount
# namespace, so every mount below vanishes with it.
set -uo pipefail

fail() {
    echo "sandbox: cannot build the sandbox: $*" >&2
    exit 97
}

here=$1
workdir=$2
stage=$3
shift 3

# The staging directory (made by run-in-sandbox.sh, away from /tmp where the project itself may
# live) gets a tmpfs private to this namespace; the overlay's lower layer is the root file system
# itself, which does not include this mount.
mount -t tmpfs -o mode=0755,size=4g corvana-sandbox "$stage" || fail "cannot mount a tmpfs"
mkdir -p "$stage/upper" "$stage/work" "$stage/root"
mount -t overlay overlay -o lowerdir=/,upperdir="$stage/upper",workdir="$stage/work" "$stage/root" \
    || fail "cannot mount an overlay over /"
root=$stage/root

mount -t proc proc "$root/proc" || fail "cannot mount /proc"
mount --rbind /dev "$root/dev" || fail "cannot bind /dev"
mount -t tmpfs -o mode=1777 shm "$root/dev/shm" || fail "cannot mount /dev/shm"
mount --rbind /sys "$root/sys" 2>/dev/null || true
mount -t tmpfs -o mode=1777 tmp "$root/tmp" || fail "cannot mount the sandbox's /tmp"

# The build tree a test program belongs to: the nearest directory above start that holds
# CMakeCache.txt. It may lie apart from the project (cmake -B /tmp/build), and its programs load
# libraries from all over it, not only from their own directory.
build_tree_above() {
    local dir=$1
    while [ -n "$dir" ] && [ "$dir" != / ]; do
        if [ -f "$dir/CMakeCache.txt" ]; then
            printf '%s\n' "$dir"
            return
        fi
        dir=$(dirname "$dir")
    done
}
command_dir=
case ${1:-} in
    /*) command_dir=$(dirname "$1") ;;
    */*) command_dir=$(cd "$workdir" 2>/dev/null && cd "$(dirname "$1")" 2>/dev/null && pwd) ;;
esac
project=$(cd "$here/../.." && pwd)
binds=("$project")
for start in "$workdir" "$command_dir"; do
    [ -n "$start" ] || continue
    tree=$(build_tree_above "$start")
    [ -n "$tree" ] && binds+=("$tree")
done
binds+=("$workdir")

# A project or build tree on another file system than /, or under the sandbox's fresh /tmp, is not
# visible through the overlay: bind it (a directory inside one bound already comes with it).
bound=()
for dir in "${binds[@]}"; do
    [ -d "$dir" ] || continue
    inside=no
    for outer in "${bound[@]}"; do
        case "$dir/" in "$outer"/*) inside=yes ;; esac
    done
    [ "$inside" = yes ] && continue
    case "$dir/" in
        /tmp/*) hidden=yes ;;
        *) hidden=no ;;
    esac
    if [ "$hidden" = yes ] || [ "$(stat -c %d "$dir")" != "$(stat -c %d /)" ]; then
        mkdir -p "$root$dir" && mount --rbind "$dir" "$root$dir" || fail "cannot bind $dir"
        bound+=("$dir")
    fi
done

# Fake system tools at the fixed paths the daemon runs.
"$here/install-fake-tools.sh" "$root" || fail "cannot install the fake system tools"

# The host's system bus stays out of reach: the daemon asks polkit and the service manager over
# it, and tests give it a private bus of their own instead (tests/support/polkit_bus.h).
if [ -d "$root/run/dbus" ]; then
    mount -t tmpfs -o mode=0755 sandbox-no-bus "$root/run/dbus" || fail "cannot hide the system bus"
fi
unset DBUS_SYSTEM_BUS_ADDRESS

# Test code checks this marker and token before it touches a fixed system path.
token=$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')
mkdir -p "$root/run"
printf '%s\n' "$token" >"$root/run/corvana-sandbox"
export CORVANA_SANDBOX=$token

# The overlay becomes the namespace's root (not a chroot, where the kernel refuses user
# namespaces to everyone, so a test could not stage a client in one); the old root is let go.
cd "$root" || fail "cannot enter the overlay"
pivot_root . . || fail "cannot make the overlay the root"
umount -l . || fail "cannot let go of the old root"
cd / || exit 97
# Not exec'd: this shell stays PID 1 of the namespace, so processes a test leaves orphaned are
# adopted and reaped by it, never by the test program itself.
/bin/bash -c 'cd "$1" 2>/dev/null || cd /; shift; exec "$@"' sandbox "$workdir" "$@"
