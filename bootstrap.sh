#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Safe to run again: packages already present are left alone.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    libxxhash-dev libplist-dev libicu-dev libssl-dev openssl libsqlite3-dev libsystemd-dev
    psmisc procps util-linux systemd scdoc
    mmdebstrap systemd-container
    dpkg-dev debhelper lintian devscripts
    dbus dbus-daemon python3-dbusmock polkitd expect
)

if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: run as root (packages are installed with apt-get)" >&2
    exit 1
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "bootstrap: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq </dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
fi
