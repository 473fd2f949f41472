#!/usr/bin/env bash
# demo-session.sh BUILD_DIR: one session of the helper, run inside the sandbox (the system tools
# that would change the machine are the sandbox's fakes).
set -uo pipefail

build=$1
daemon="$build/core/com.quillmark.corvana-cv-5e09b1d4.Helper"
helperctl_built="$build/client/corvana-helperctl"
codesign="$build/tools/codesign/corvana-codesign"
socket=/run/com.quillmark.corvana-cv-5e09b1d4.Helper.socket
demo=/opt/corvana-demo
export TZ=UTC
# shellcheck source=tools/demo/signing.sh
. "$(dirname "${BASH_SOURCE[0]}")/signing.sh"

bold() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() {
    printf '$ %s\n' "$*"
    "$@"
    printf '  (exit %d)\n' "$?"
}

[ -r /run/corvana-sandbox ] || { echo "demo: refusing to run outside the sandbox" >&2; exit 1; }
mkdir -p "$demo"
cd "$demo" || exit 1
# The directories every system the helper serves has.
mkdir -p /Applications /Library/LaunchDaemons /Library/LaunchAgents /Library/PrivilegedHelperTools

bold "A throwaway signing chain; its root becomes the trust anchor"
make_signing_chain "$demo" || exit 1
mkdir -p /etc/codesign/anchors
cp root.pem /etc/codesign/anchors/demo-root.pem
openssl x509 -in leaf.pem -noout -subject

make_bundle() {  # make_bundle DIR EXECUTABLE_NAME SOURCE
    make_signed_bundle "$codesign" "$demo" "$1" "$2" "$3"
}

bold "The client: corvana-helperctl inside a signed bundle"
make_bundle "$demo/CorvanaCtl.app" corvana-helperctl "$helperctl_built"
helperctl="$demo/CorvanaCtl.app/Contents/MacOS/corvana-helperctl"
"$codesign" verify "$demo/CorvanaCtl.app"

bold "The application to install: Corvana.app, whose executable records that it started"
cat >corvana-app.sh <<'APP'
#!/bin/sh
echo "Corvana started at $(date -u +%H:%M:%S) with: $*" >>/var/tmp/corvana-demo-started
APP
chmod 755 corvana-app.sh
make_bundle "$demo/Corvana.app" Corvana corvana-app.sh
ln -s Contents/MacOS/Corvana "$demo/Corvana.app/Corvana-link"
mkdir -p config
printf 'listen=5938\n' >config/system.conf
printf 'service=on\n' >config/service.conf
printf 'trace=off\n' >config/connection_trace.txt

bold "The daemon, started the way socket activation does (on the first connection)"
# What the daemon's tools print on their standard error goes to a file, not into the show.
/usr/bin/systemd-socket-activate --listen="$socket" "$daemon" 2>>/var/tmp/daemon.stderr &
activator=$!
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done
ls -l "$socket"

bold "An unsigned client is refused"
show "$helperctl_built" version

bold "The session"
printf 'debug.darkwake: 0 -> 1\n' >/var/tmp/fake-tools/sysctl.stdout
show "$helperctl" version
show "$helperctl_built" authorize --right com.quillmark.Corvana.Helper.install_corvana \
    --right com.quillmark.Corvana.Helper.uninstall_corvana \
    --right com.quillmark.Corvana.Helper.global_settings --user root --out "$demo/auth.bin"
show "$helperctl" install --auth "$demo/auth.bin" --bundle "$demo/Corvana.app" \
    --sysconfig "$demo/config" --namespace corvana --user root
show "$helperctl" is-installed corvana
show "$helperctl" is-disabled corvana
show "$helperctl" start-service corvana
show "$helperctl" set-autostart off corvana
show "$helperctl" is-autostart corvana
show "$helperctl" quit-service corvana
show "$helperctl" check-settings-auth --auth "$demo/auth.bin"
show "$helperctl" set-darkwake 1
show "$helperctl" fix-max-files

bold "What the daemon wrote"
for f in /Library/LaunchDaemons/com.quillmark.corvana.service.plist \
         /Library/LaunchAgents/com.quillmark.corvana.Frontend.plist; do
    echo "--- $f"
    cat "$f"
done
echo "--- /etc/corvana"; ls -la /etc/corvana 2>/dev/null
echo "--- the application's own record"; cat /var/tmp/corvana-demo-started 2>/dev/null
echo "--- system tools the daemon ran (the sandbox's fakes)"
cut -f1-6 /var/tmp/fake-tools/calls.log | tr '\t' ' '


bold "Uninstalling"
show "$helperctl" uninstall --auth "$demo/auth.bin" --bundle /Applications/Corvana.app \
    --sysconfig "$demo/config" --namespace corvana --user root
ls /Applications /Library/LaunchDaemons /Library/LaunchAgents

bold "The daemon quits on its own ten seconds after its last client"
start=$(date +%s)
wait "$activator"
status=$?
echo "daemon exited with status $status after $(( $(date +%s) - start )) s"
echo "--- tail of the daemon's trace /var/log//corvana.trace"
tail -n 25 /var/log/corvana.trace
