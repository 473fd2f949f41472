#!/usr/bin/env bash
# deploy-test.sh BUILD_DIR: the helper deployed for real. Builds the Debian packages
# (packaging/build-debs.sh, into BUILD_DIR/debs) and a Debian root with mmdebstrap, boots its
# systemd with systemd-nspawn and lets a one-shot unit inside run a whole session
# (tests/deploy/session.sh): the packages installed with apt, the helper used through the socket
# unit their installation started, the packages purged, and what is left looked at. Then the
# container powers off. The session's report comes back through a bound directory.
#
# The host stays untouched: the container runs on an overlay over the pristine root, in a mount
# namespace of this script's own, with a private /run; the overlay and the work directory are
# removed at the end. The pristine root is kept in BUILD_DIR/deploy/ (named after everything
# that went into it) and reused by later runs: nothing ever writes to it, since every run writes
# only to its overlay's upper layer. Remove BUILD_DIR/deploy/ to build it afresh.
#
# Fails, with one line saying why, when it cannot build or boot its container.
set -uo pipefail

fail() {
    echo "deploy: FAILED: $*" >&2
    exit 1
}

[ "$#" -ge 1 ] || fail "usage: deploy-test.sh BUILD_DIR"
build=$(cd "$1" 2>/dev/null && pwd) || fail "no build directory $1"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project=$(cd "$here/../.." && pwd)

# Mounts made from here on vanish with this process.
if [ -z "${CORVANA_DEPLOY_NAMESPACE:-}" ]; then
    [ "$(id -u)" -eq 0 ] || fail "cannot build the container: must run as root"
    command -v unshare >/dev/null || fail "cannot build the container: unshare is not installed"
    export CORVANA_DEPLOY_NAMESPACE=1
    exec unshare --mount --propagation private -- "$0" "$@"
fi

for tool in mmdebstrap systemd-nspawn systemctl openssl dpkg-deb; do
    command -v "$tool" >/dev/null ||
        fail "cannot build the container: $tool is not installed (run ./bootstrap.sh)"
done
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null || true
grep -qw overlay /proc/filesystems || fail "cannot build the container: the kernel has no overlay"

# The Debian mirror the host's apt uses.
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/\?$/\1/p' \
    /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb[[:space:]]\+\(http[^[:space:]]*\/debian\)\/\?[[:space:]].*/\1/p' \
    /etc/apt/sources.list 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

# What a user's Debian system has that the helper needs at run time: the service manager and its
# bus, polkit (which asks an administrator for the guarded operations), the libraries the programs
# link, man, and ps and killall for the process look-ups; and expect, which plays the person at
# the terminal who types the administrator's password.
packages=systemd,systemd-sysv,dbus,polkitd,man-db,procps,psmisc,libplist3,libicu72,libssl3,libsqlite3-0,libsystemd0,libxxhash0,expect
# One run at a time per build directory: they share the kept root and its building.
mkdir -p "$build/deploy"
exec 8>"$build/deploy/lock"
flock 8 || fail "cannot build the container: cannot lock $build/deploy"

# The packages a user installs (not built again when the test command built them from this tree).
"$project/packaging/build-debs.sh" "$build/debs" || fail "cannot build the Debian packages"
debs=()
for package in corvana-helper corvana-helper-tools libcorvana-client3 libcorvana-client-dev; do
    deb=$(ls "$build/debs/${package}_"*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || fail "cannot build the container: no $package package in $build/debs"
    debs+=("$deb")
done

key=$(printf '%s\n' bookworm "$mirror" "$packages" | sha256sum | cut -c1-16)
cache="$build/deploy/rootfs-$key"

if [ ! -d "$cache" ]; then
    echo "deploy: building a Debian bookworm root from $mirror (about two minutes; kept in $cache)"
    started=$(date +%s)
    # A mirror caught in the middle of its update fails apt's update: one more try.
    for attempt in 1 2; do
        rm -rf "$build/deploy/partial"
        mmdebstrap --variant=minbase --include="$packages" bookworm "$build/deploy/partial" \
            "$mirror" >"$build/deploy/mmdebstrap.log" 2>&1 && break
        [ "$attempt" = 1 ] && echo "deploy: mmdebstrap failed, trying once more" && sleep 10
    done
    if [ ! -x "$build/deploy/partial/usr/lib/systemd/systemd" ]; then
        tail -n 5 "$build/deploy/mmdebstrap.log" >&2
        rm -rf "$build/deploy/partial"
        fail "cannot build the container: mmdebstrap failed (log: $build/deploy/mmdebstrap.log)"
    fi
    mv "$build/deploy/partial" "$cache" || fail "cannot build the container: cannot keep the root"
    echo "deploy: root built in $(( $(date +%s) - started )) s"
fi

work=$(mktemp -d "$build/deploy/run.XXXXXX") || fail "cannot build the container: no work directory"
root=$work/root
cleanup() {
    umount -R "$root" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/upper" "$work/overlay-work" "$root" "$work/results" "$work/signing"
mount -t overlay overlay \
    -o "lowerdir=$cache,upperdir=$work/upper,workdir=$work/overlay-work" "$root" || fail "cannot build the container: cannot mount the overlay"

# The fake system tools at the fixed tool paths (a Debian system has no launchctl; the others
# would change the machine the test runs on). The session installs the packages itself.
"$project/tests/sandbox/install-fake-tools.sh" "$root" ||
    fail "cannot build the container: cannot install the fake system tools"
deploy=$root/opt/corvana-deploy
mkdir -p "$deploy/debs" "$deploy/config" "$root/etc/codesign/anchors"
cp "${debs[@]}" "$deploy/debs/" || fail "cannot build the container: cannot copy the packages"
prefix=/usr

# A throwaway signing chain: its root becomes the container's trust anchor; the client and the
# application to install are signed bundles. The client is the packaged corvana-helperctl, signed
# with the packaged corvana-codesign, both taken out of the tools package here.
dpkg-deb -x "$deploy/debs/"corvana-helper-tools_*.deb "$work/tools" ||
    fail "cannot build the container: cannot unpack the tools package"
# shellcheck source=tools/demo/signing.sh
. "$project/tools/demo/signing.sh"
make_signing_chain "$work/signing" || fail "cannot build the container: cannot make a signing chain"
cp "$work/signing/root.pem" "$root/etc/codesign/anchors/deploy-root.pem"
codesign="$work/tools$prefix/bin/corvana-codesign"
if ! make_signed_bundle "$codesign" "$work/signing" "$deploy/CorvanaCtl.app" corvana-helperctl \
        "$work/tools$prefix/bin/corvana-helperctl" >/dev/null ||
    ! make_signed_bundle "$codesign" "$work/signing" "$deploy/Corvana.app" Corvana \
        "$here/application.sh" >/dev/null; then
    fail "cannot build the container: cannot sign the bundles"
fi
printf 'listen=5938\n' >"$deploy/config/system.conf"
printf 'service=on\n' >"$deploy/config/service.conf"
install -m 0755 "$here/session.sh" "$deploy/session.sh"
install -m 0644 "$here/journal-check.sh" "$deploy/journal-check.sh"
install -m 0755 "$here/type-password.exp" "$deploy/type-password.exp"
printf '%s\n' "$prefix" >"$deploy/prefix"

# systemctl and systemd-nspawn keep state in /run: a private one leaves the host's alone.
mount -t tmpfs -o mode=0755 deploy-run /run || fail "cannot build the container: no private /run"

# The session runs once the system is up and powers the container off, however it ends.
cat >"$root/etc/systemd/system/corvana-deploy-session.service" <<'UNIT'
[Unit]
Description=Corvana deployment session
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/opt/corvana-deploy/session.sh /results
ExecStopPost=/bin/systemctl --no-block poweroff
[Install]
WantedBy=multi-user.target
UNIT
mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
systemctl --root="$root" enable corvana-deploy-session.service >/dev/null 2>&1 ||
    fail "cannot build the container: cannot enable the session's unit"

echo "deploy: booting the container"
started=$(date +%s)
timeout --kill-after=20 600 systemd-nspawn --quiet --directory="$root" --register=no --keep-unit \
    --link-journal=no --resolv-conf=off --timezone=off --console=pipe \
    --bind="$work/results:/results" --boot </dev/null >"$work/console.log" 2>&1
status=$?
echo "deploy: the container ran for $(( $(date +%s) - started )) s (systemd-nspawn status $status)"

if [ ! -f "$work/results/session.log" ]; then
    tail -n 20 "$work/console.log" >&2
    fail "cannot boot the container: the session never started"
fi
cat "$work/results/session.log"
[ -f "$work/results/status" ] || fail "the session did not finish (container stopped early?)"
[ "$(cat "$work/results/status")" = 0 ] || fail "the session found faults (listed above)"
echo "deploy: PASSED"
