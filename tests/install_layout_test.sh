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
# polkit reads actions from its own directory only.
policydir=$(sed -n 's/^CORVANA_POLKIT_POLICY_DIR:PATH=//p' "$build/CMakeCache.txt")
policydir=${policydir#/}
DESTDIR="$stage" cmake --install "$build" >/dev/null || { echo "install failed"; exit 1; }
p=${prefix#/}

expected=(
    "$p/libexec/corvana/com.quillmark.corvana-cv-5e09b1d4.Helper"
    "$p/bin/corvana-helperctl"
    "$p/bin/corvana-codesign"
    "$p/$libdir/libcorvana-client.so"
    "$p/$libdir/corvana/libcorvana-helperctl-authorize.so"
    "$p/include/corvana/helper_client.h"
    "$p/include/corvana/types.h"
    "$p/include/corvana/result.h"
    "$p/include/corvana/export.h"
    "$p/$libdir/pkgconfig/corvana-client.pc"
    "$unitdir/com.quillmark.corvana-cv-5e09b1d4.Helper.socket"
    "$unitdir/com.quillmark.corvana-cv-5e09b1d4.Helper.service"
    "$policydir/com.quillmark.Corvana.Helper.policy"
    "$p/$mandir/man1/corvana-helperctl.1"
    "$p/$mandir/man1/corvana-codesign.1"
    "$p/$mandir/man8/com.quillmark.corvana-cv-5e09b1d4.Helper.8"
    "$p/share/bash-completion/completions/corvana-helperctl"
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

# The client library exports its interface and nothing else, every symbol under the version node
# of its soname, and its installed headers carry nothing but that interface.
lib="$stage/$p/$libdir/libcorvana-client.so"
exported=$(nm -DC --defined-only "$lib" | cut -d' ' -f3-)
if [ -z "$exported" ] || grep -vx 'CORVANA_CLIENT_3' <<<"$exported" \
        | grep -v '^corvana::.*@@CORVANA_CLIENT_3$'; then
    echo "libcorvana-client.so exports more than namespace corvana under CORVANA_CLIENT_3 (above)"
    status=1
fi
readelf -d "$lib" | grep -q 'SONAME.*\[libcorvana-client\.so\.3\]' \
    || { echo "libcorvana-client.so's soname is not libcorvana-client.so.3"; status=1; }
[ -e "$stage/$p/$libdir/libcorvana-client.so.3" ] \
    || { echo "missing after install: /$p/$libdir/libcorvana-client.so.3"; status=1; }
if grep -rlE 'unique_fd|wire_value|"(platform|core|client)/' "$stage/$p/include/corvana"; then
    echo "installed headers reach past the client interface (files above)"
    status=1
fi

# The example program the README shows builds against the installed headers and library with
# pkg-config alone, and reports a socket nobody serves as unreachable.
source_dir=$(cd "$(dirname "$0")/.." && pwd)
example="$source_dir/client/example/helper_status.cpp"
shown=$(awk '/^<!-- client\/example\/helper_status.cpp -->$/ { found = 1; next }
             found && /^```cpp$/ { inside = 1; next }
             inside && /^```$/ { exit }
             inside' "$source_dir/README.md")
[ "$shown" = "$(cat "$example")" ] \
    || { echo "README.md does not show client/example/helper_status.cpp as it is"; status=1; }
if ! PKG_CONFIG_SYSROOT_DIR="$stage" PKG_CONFIG_PATH="$stage/$p/$libdir/pkgconfig" \
    sh -c 'g++ -std=c++20 -Wall -Wextra -Werror "$3" -o "$1/client" \
           $(pkg-config --cflags --libs corvana-client) -Wl,-rpath,"$1/$2"' \
    sh "$stage" "$p/$libdir" "$example"; then
    echo "a client can't be built against the installed library"
    status=1
else
    "$stage/client" /nonexistent.socket 2>"$stage/client.err"
    answer=$?
    if [ "$answer" != 2 ] || ! grep -q '\[unreachable\]' "$stage/client.err"; then
        echo "the example did not report /nonexistent.socket as unreachable ($answer):"
        cat "$stage/client.err"
        status=1
    fi
fi
PKG_CONFIG_PATH="$stage/$p/$libdir/pkgconfig" pkg-config --exact-version=3.0.0 corvana-client \
    || { echo "corvana-client.pc does not give the interface's version 3.0.0"; status=1; }

# The installed corvana-helperctl (no run path: the staged library stands in for the system's)
# finds the authorize module beside its library, and a command other than authorize loads neither
# ICU nor the authorization code (OpenSSL, SQLite).
helperctl="$stage/$p/bin/corvana-helperctl"
readelf -d "$helperctl" | grep -q 'R.*PATH' && { echo "corvana-helperctl has a run path"; status=1; }
loaded=$(LD_LIBRARY_PATH="$stage/$p/$libdir" LD_DEBUG=libs "$helperctl" --help 2>&1 >/dev/null \
         | grep 'calling init')
if grep -E 'libicu|libcrypto|libssl|libsqlite' <<<"$loaded"; then
    echo "corvana-helperctl --help loads libraries it does not use (above)"
    status=1
fi
loaded=$(LD_LIBRARY_PATH="$stage/$p/$libdir" LD_DEBUG=libs "$helperctl" authorize --help 2>&1 \
         >/dev/null | grep 'calling init')
grep -qF "$stage/$p/$libdir/corvana/libcorvana-helperctl-authorize.so" <<<"$loaded" \
    || { echo "corvana-helperctl authorize can't load its module"; status=1; }

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
