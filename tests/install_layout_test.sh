#!/usr/bin/env bash
# install_layout_test.sh BUILD_DIR: `cmake --install` into a staging directory puts every
# deliverable where a Linux system expects it.
set -uo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null || { echo "install failed"; exit 1; }

expected=(
    usr/libexec/corvana/com.quillmark.corvana-cv-5e09b1d4.Helper
    usr/bin/corvana-helperctl
    usr/bin/corvana-codesign
    usr/lib/x86_64-linux-gnu/libcorvana-client.so
    usr/include/corvana/client/helper_client.h
    usr/include/corvana/core/types.h
    usr/include/corvana/platform/xpc_message.h
    usr/include/corvana/platform/unique_fd.h
    usr/lib/x86_64-linux-gnu/pkgconfig/corvana-client.pc
    usr/lib/systemd/system/com.quillmark.corvana-cv-5e09b1d4.Helper.socket
    usr/lib/systemd/system/com.quillmark.corvana-cv-5e09b1d4.Helper.service
)
status=0
for path in "${expected[@]}"; do
    if [ ! -e "$stage/$path" ]; then
        echo "missing after install: /$path"
        status=1
    fi
done
for program in usr/libexec/corvana/com.quillmark.corvana-cv-5e09b1d4.Helper usr/bin/corvana-helperctl \
               usr/bin/corvana-codesign; do
    [ -x "$stage/$program" ] || { echo "not executable: /$program"; status=1; }
done
grep -q '^ExecStart=/usr/libexec/corvana/com.quillmark.corvana-cv-5e09b1d4.Helper$' \
    "$stage/usr/lib/systemd/system/com.quillmark.corvana-cv-5e09b1d4.Helper.service" \
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
if ! PKG_CONFIG_SYSROOT_DIR="$stage" PKG_CONFIG_PATH="$stage/usr/lib/x86_64-linux-gnu/pkgconfig" \
    sh -c 'g++ -std=c++20 "$1/client.cpp" -o "$1/client" $(pkg-config --cflags --libs corvana-client) \
           -Wl,-rpath,"$1/usr/lib/x86_64-linux-gnu" && "$1/client"' sh "$stage"; then
    echo "a client can't be built against the installed library"
    status=1
fi

# The units are well-formed where systemd's checker is available.
if command -v systemd-analyze >/dev/null; then
    units="$stage/usr/lib/systemd/system"
    out=$(cd "$units" && SYSTEMD_LOG_LEVEL=err systemd-analyze verify --man=no \
        ./com.quillmark.corvana-cv-5e09b1d4.Helper.socket 2>&1 | grep -v 'Executable.*missing\|is not executable\|Command .* is not executable\|No such file or directory')
    if [ -n "$out" ]; then
        echo "systemd-analyze verify: $out"
        status=1
    fi
fi
exit $status
