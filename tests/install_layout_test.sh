#!/usr/bin/env bash
# install_layout_test.sh BUILD_DIR: `cmake --install` into a staging directory puts every
# deliverable where a Linux system expects it.
set -uo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# Installed under the prefix the build was configured with, as a package build does.
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
mandir=$(sed -n 's/^CMAKE_INSTALL_MANDIR:PATH=//p' "$build/CMakeCache.txt")
# GNUInstallDirs leaves it empty to mean DATAROOTDIR/man.
[ -n "$mandir" ] || mandir=$(sed -n 's/^CMAKE_INSTALL_DATAROOTDIR:PATH=//p' "$build/CMakeCache.txt")/man
[ "$mandir" != /man ] || mandir=share/man
# The unit directory is systemd's own, whatever the prefix.
unitdir=$(sed -n 's/^CORVANA_SYSTEMD_UNIT_DIR:PATH=//p' "$build/CMakeCache.txt")
unitdir=${unitdir#/}
DESTDIR="$stage" cmake --install "$build" >/dev/null || { echo "install failed"; exit 1; }
p=${prefix#/}

expected=(
    "$p/libexec/corvana/com.quillmark.corvana-cv-5e09b1d4.Helper"
    "$p/bin/corvana-helperctl"
    "$p/bin/corvana-codesign"
    "$p/$libdir/libcorvana-client.so"
    "$p/include/corvana/client/helper_client.h"
    "$p/include/corvana/core/types.h"
    "$p/include/corvana/platform/xpc_message.h"
    "$p/include/corvana/platform/unique_fd.h"
    "$p/$libdir/pkgconfig/corvana-client.pc"
    "$unitdir/com.quillmark.corvana-cv-5e09b1d4.Helper.socket"
    "$unitdir/com.quillmark.corvana-cv-5e09b1d4.Helper.service"
    "$p/$mandir/man1/corvana-helperctl.1"
    "$p/$mandir/man1/corvana-codesign.1"
    "$p/$mandir/man8/com.quillmark.corvana-cv-5e09b1d4.Helper.8"
)
status=0
for path in "${expected[@]}"; do
    if [ ! -e "$stage/$path" ]; then
        echo "missing after install: /$path"
        status=1
    fi
done
for program in "$p/libexec/corvana/com.quillmark.corvana-cv-5e09b1d4.Helper" \
               "$p/bin/corvana-helperctl" "$p/bin/corvana-codesign"; do
    [ -x "$stage/$program" ] || { echo "not executable: /$program"; status=1; }
done
grep -qx "ExecStart=$prefix/libexec/corvana/com.quillmark.corvana-cv-5e09b1d4.Helper" \
    "$stage/$unitdir/com.quillmark.corvana-cv-5e09b1d4.Helper.service" \
    || { echo "the service unit does not start the installed daemon"; status=1; }

# The installed header and library are enough to build a client.
cat >"$stage/client.cpp" <<'CPP'
#include <client/helper_client.h>
int main() {
    std::string error;
    auto client = helper_client_t::connect("/nonexistent.socket", error);
    return client ? 1 : 0;
}
CPP
if ! PKG_CONFIG_SYSROOT_DIR="$stage" PKG_CONFIG_PATH="$stage/$p/$libdir/pkgconfig" \
    sh -c 'g++ -std=c++20 "$1/client.cpp" -o "$1/client" $(pkg-config --cflags --libs corvana-client) \
           -Wl,-rpath,"$1/$2" && "$1/client"' sh "$stage" "$p/$libdir"; then
    echo "a client can't be built against the installed library"
    status=1
fi

# The units are well-formed where systemd's checker is available.
if command -v systemd-analyze >/dev/null; then
    units="$stage/$unitdir"
    out=$(cd "$units" && SYSTEMD_LOG_LEVEL=err systemd-analyze verify --man=no \
        ./com.quillmark.corvana-cv-5e09b1d4.Helper.socket 2>&1 | grep -v 'Executable.*missing\|is not executable\|Command .* is not executable\|No such file or directory')
    if [ -n "$out" ]; then
        echo "systemd-analyze verify: $out"
        status=1
    fi
fi
exit $status
