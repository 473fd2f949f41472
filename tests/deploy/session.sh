#!/bin/bash
# session.sh RESULTS: runs inside the booted container as a one-shot unit. The packages installed
# with apt, one session of the helper through the socket unit their installation started and a
# signed client, then the packages purged and what they leave looked at; the report goes to
# RESULTS/session.log and the number of faults found to RESULTS/status.
set -uo pipefail
results=$1
exec >"$results/session.log" 2>&1
export TZ=UTC

deploy=/opt/corvana-deploy
prefix=$(cat "$deploy/prefix")
helperctl=$deploy/CorvanaCtl.app/Contents/MacOS/corvana-helperctl
unsigned=$prefix/bin/corvana-helperctl
helper=com.quillmark.corvana-cv-5e09b1d4.Helper
faults=0

say() { printf '\n== %s\n' "$*"; }
check() {  # check WHAT COMMAND...: one line, ok or FAULT
    local what=$1
    shift
    if "$@"; then
        echo "ok     $what"
    else
        echo "FAULT  $what"
        faults=$((faults + 1))
    fi
}
show() {
    printf '$ %s\n' "$*"
    "$@"
    last=$?
    printf '  (exit %d)\n' "$last"
    return "$last"
}
state() { systemctl show -P ActiveState "$helper.service"; }
main_pid() { systemctl show -P MainPID "$helper.service"; }
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# Waits until 30 s after $1 (milliseconds) for the helper's unit to be inactive; prints the
# seconds from $1 until then, with one decimal.
wait_inactive() {
    while [ "$(state)" != inactive ] && [ $(( $(now_ms) - $1 )) -lt 30000 ]; do
        sleep 0.1
    done
    local ms=$(( $(now_ms) - $1 ))
    printf '%d.%d\n' $((ms / 1000)) $((ms % 1000 / 100))
}
helper_journal() {
    journalctl --no-pager -o short-precise -u "$helper.service" -u "$helper.socket" \
        -u 'corvana-app-*' | grep -v '^-- '
}

say "The system: $(. /etc/os-release; echo "$PRETTY_NAME"), systemd $(systemctl --version | sed -n '1s/^systemd \([0-9]*\).*/\1/p')"
systemctl is-system-running

say "Installing the packages"
check "nothing of the helper is there before" \
    test "$(systemctl show -P LoadState "$helper.socket")" = not-found -a ! -e /Applications
show env DEBIAN_FRONTEND=noninteractive apt-get install --yes "$deploy"/debs/*.deb
check "apt installed the packages" test "$last" = 0
dpkg-query -W 'corvana-*' 'libcorvana-*'
check "the installation enabled the socket unit" \
    test "$(systemctl is-enabled "$helper.socket")" = enabled
check "the installation started it: the socket unit listens" \
    test "$(systemctl show -P ActiveState "$helper.socket")" = active
ls -l "/run/$helper.socket"
check "the installation applied the tmpfiles.d snippet" \
    test "$(stat -c '%a %U' /var/db/corvana-helper 2>&1)" = "700 root"
check "the client library is in the loader's cache" \
    sh -c 'ldconfig -p | grep -q "libcorvana-client.so.3 "'
check "no helper runs before the first connection" test "$(state)" = inactive

say "Socket activation: the first connection starts the helper"
show "$helperctl" version
check "version answers 2.6" test "$(timeout 10 "$helperctl" version)" = 2.6
first_pid=$(main_pid)
echo "helper unit: $(state), main PID $first_pid"
check "the helper runs after the first connection" test "$(state)" = active

say "Authorizing and installing the demo application"
show "$unsigned" authorize --right com.quillmark.Corvana.Helper.install_corvana \
    --right com.quillmark.Corvana.Helper.global_settings --user root --out "$deploy/auth.bin"
install=("$helperctl" install --auth "$deploy/auth.bin" --bundle "$deploy/Corvana.app"
         --sysconfig "$deploy/config" --namespace corvana --user root)
printf '$ %s\n' "${install[*]}"
reply=$(timeout 60 "${install[@]}")
printf '%s\n  (exit %d)\n' "$reply" "$?"
check "the install succeeds" test "$reply" = true
check "the bundle is in /Applications" test -x /Applications/Corvana.app/Contents/MacOS/Corvana
check "the job files are written" test -f /Library/LaunchDaemons/com.quillmark.corvana.service.plist
check "the global configuration is copied" test -f /etc/corvana/system.conf

say "Service requests"
for request in "is-installed corvana" "is-disabled corvana" "start-service corvana" \
               "set-autostart off corvana" "is-autostart corvana" "quit-service corvana" \
               "fix-max-files" "set-darkwake 1"; do
    # shellcheck disable=SC2086
    show "$helperctl" $request
done
check "is-installed answers true" test "$("$helperctl" is-installed corvana)" = true
check "autostart is off after set-autostart off" test "$("$helperctl" is-autostart corvana)" = false
show "$helperctl" check-settings-auth --auth "$deploy/auth.bin"
check "check-settings-auth answers true" \
    test "$("$helperctl" check-settings-auth --auth "$deploy/auth.bin")" = true
last_client=$(now_ms)
check "the helper served every request as one process" test "$(main_pid)" = "$first_pid"

say "The application the install started runs as a unit of its own"
app_unit=$(systemctl list-units --plain --no-legend --state=active 'corvana-app-*' | awk '{print $1}')
app_pid=$(cut -d' ' -f1 /var/tmp/corvana-app.started 2>/dev/null | tail -n 1)
echo "application unit: ${app_unit:-none}, PID ${app_pid:-none}"
[ -n "$app_pid" ] && grep '^0::' "/proc/$app_pid/cgroup"
check "the application runs in its own unit" test -n "$app_unit"
check "the application is outside the helper's unit" \
    sh -c "! grep -q '$helper' /proc/${app_pid:-0}/cgroup"

say "Idle quit: the helper ends about ten seconds after its last client"
waited=$(wait_inactive "$last_client")
echo "the helper's unit went inactive ${waited} s after the last client left"
check "the helper quit on its own, 9 to 13 s after its last client" \
    awk -v w="$waited" -v s="$(state)" 'BEGIN { exit !(s == "inactive" && w >= 9 && w <= 13) }'
check "the socket still listens" test "$(systemctl show -P ActiveState "$helper.socket")" = active
check "the application outlived the helper (PID $app_pid)" kill -0 "${app_pid:-0}"
check "its unit is still active" test "$(systemctl show -P ActiveState "${app_unit:-none}")" = active

say "Re-activation: the next connection starts the helper again"
show "$helperctl" version
second_pid=$(main_pid)
echo "helper unit: $(state), main PID $second_pid (first was $first_pid)"
check "a new helper process serves the next connection" \
    test "$(state)" = active -a "$second_pid" != "$first_pid" -a "$second_pid" != 0

say "An unsigned client is refused"
show "$unsigned" version
check "the unsigned client is refused (exit 3)" test "$last" = 3

say "The helper quits again; the trace holds the whole story"
waited=$(wait_inactive "$(now_ms)")
echo "inactive after ${waited} s"
check "the helper quit again" test "$(state)" = inactive
trace=/var/log/corvana.trace
cat "$trace"
check "the trace has two starts and two ends" \
    test "$(grep -c 'Starting corvana helper tool' "$trace")" = 2 -a \
         "$(grep -c 'Stopping helper tool' "$trace")" = 2
check "the trace holds the install" grep -q 'Installation finished' "$trace"
check "the trace holds the application's start" grep -q 'Starting installed app' "$trace"
check "the application started without a warning" sh -c "! grep -q \"Can't start app\" $trace"

say "The service manager's view"
helper_journal

say "The units' hardening"
# What is still exposed, and the rating.
rating=$(systemd-analyze security --no-pager "$helper.service")
grep -E '^✗|Overall' <<<"$rating" | sed 's/[[:space:]]*$//'
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$rating")
echo "exposure: ${exposure:-unknown}"
check "the installed unit's exposure ($exposure) is at most 3.5" \
    awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 3.5) }'

say "Documentation and versions"
MANWIDTH=80 man corvana-helperctl 2>&1 | head -n 12
check "man corvana-helperctl shows the page" sh -c 'man corvana-helperctl 2>/dev/null | grep -q "call the Corvana privileged helper"'
check "man shows the helper's page" sh -c "man 8 $helper 2>/dev/null | grep -q 'privileged helper'"
show "$unsigned" --version
check "corvana-helperctl --version" test "$("$unsigned" --version)" != ""
show "$prefix/bin/corvana-codesign" --version
check "corvana-codesign --version" test "$("$prefix/bin/corvana-codesign" --version)" != ""

say "An ordinary user installs once an administrator has typed the password at polkit's prompt"
# corvadmin is an administrator (group sudo, as Debian's polkit rules say); corvuser is not, and
# runs everything below as itself, on a terminal: corvana-helperctl makes its own authorization
# and starts pkttyagent, polkit asks for corvadmin's password, expect types it.
useradd --create-home --groups sudo --shell /bin/bash corvadmin
echo 'corvadmin:Adm1n-Secret' | chpasswd
useradd --create-home --shell /bin/bash corvuser
id corvuser
as_user() { setpriv --reuid=corvuser --regid=corvuser --init-groups --reset-env "$@"; }
user_install=("$helperctl" install --bundle "$deploy/Corvana.app" --sysconfig "$deploy/config"
              --namespace byuser --user corvuser)
job=/Library/LaunchDaemons/com.quillmark.byuser.service.plist
printf '$ (as corvuser, on a terminal) %s\n  [the wrong password is typed]\n' "${user_install[*]}"
# The agent colours its headings; the reply is the last line.
plain() { tr -d '\r' | sed 's/\x1b\[[0-9;]*m//g'; }
as_user "$deploy/type-password.exp" 'not-the-password' "${user_install[@]}" | plain |
    tee "$results/wrong-password.txt"
check "polkit's agent asked, with the right's description" \
    grep -q 'Corvana is trying to install itself' "$results/wrong-password.txt"
check "with a wrong password the install answers false" \
    test "$(tail -n 1 "$results/wrong-password.txt")" = false
check "nothing was installed for the namespace" test ! -e "$job"
printf '$ (as corvuser, on a terminal) %s\n  [the administrator'"'"'s password is typed]\n' \
    "${user_install[*]}"
as_user "$deploy/type-password.exp" 'Adm1n-Secret' "${user_install[@]}" | plain |
    tee "$results/password.txt"
check "with the administrator's password the install answers true" \
    test "$(tail -n 1 "$results/password.txt")" = true
check "the namespace's job file is written" test -f "$job"
check "the trace has the refused check" grep -q 'Authorization failed' "$trace"
echo "The helper's errors, and polkit's view:"
grep -E 'external auth failed|Authorization failed' "$trace" | sed 's/^.*helper_tool - /  /'
journalctl --no-pager -o short-precise -u polkit.service | grep -v '^-- ' | tail -n 20
printf '$ (as corvuser) %s --no-ask-password\n' "check-settings-auth"
no_ask=$(as_user "$helperctl" --no-ask-password check-settings-auth </dev/null)
echo "$no_ask"
check "without an agent nobody is asked and the unlock is refused" test "$no_ask" = false

say "polkit knows the four actions"
both_in() { grep -q "$2" <<<"$1" && grep -q "$3" <<<"$1"; }
pkaction | grep '^com\.quillmark\.'
check "pkaction lists four actions" \
    test "$(pkaction | grep -c '^com\.quillmark\.Corvana\.Helper\.')" = 4
for entry in "install-corvana:Corvana is trying to install itself:auth_admin_keep" \
             "install-service:Corvana is trying to install global service:auth_admin_keep" \
             "uninstall-corvana:Corvana is trying to uninstall itself:auth_admin" \
             "global-settings:Corvana is trying to unlock the global settings:auth_admin"; do
    IFS=: read -r id message answer <<<"$entry"
    verbose=$(pkaction --verbose --action-id "com.quillmark.Corvana.Helper.$id")
    check "$id: message \"$message\", default $answer" \
        both_in "$verbose" "message: *$message\$" "implicit any: *$answer\$"
done
pkaction --verbose --action-id com.quillmark.Corvana.Helper.install-corvana

. "$deploy/journal-check.sh"

say "Purging the packages while a helper runs"
packages=(corvana-helper corvana-helper-tools libcorvana-client3 libcorvana-client-dev)
# What the packages put on disk, with the directories only they use.
dpkg-query -L "${packages[@]}" | sort -u >"$results/package-files.txt"
timeout 10 "$helperctl" version >/dev/null
check "a helper runs when the purge begins" test "$(state)" = active
show env DEBIAN_FRONTEND=noninteractive apt-get purge --yes "${packages[@]}"
check "apt purged the packages" test "$last" = 0
running=$(for exe in /proc/[0-9]*/exe; do readlink "$exe"; done 2>/dev/null |
          grep -c "/libexec/corvana/$helper")
check "no helper process is left" test "$running" = 0
check "neither unit is left" test "$(systemctl show -P LoadState "$helper.socket")" = not-found -a \
    "$(systemctl show -P LoadState "$helper.service")" = not-found
check "the socket is gone" test ! -e "/run/$helper.socket"
left=$(grep -rl "$helper" /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
       2>/dev/null)
check "no unit is enabled any more${left:+ ($left)}" test -z "$left"
check "dpkg knows none of the packages" \
    sh -c '! dpkg-query -W -f="\${db:Status-Status}\n" "$@" 2>/dev/null | grep -qv not-installed' \
    sh "${packages[@]}"
check "the client library is out of the loader's cache" sh -c '! ldconfig -p | grep -q corvana'
# A directory other packages use stays (/usr/bin); one of the packages' own must be gone
# (/usr/libexec/corvana, /usr/share/doc/corvana-helper).
left=$(while IFS= read -r path; do
           if [ -d "$path" ]; then
               case $path in */corvana* | */libcorvana*) echo "$path" ;; esac
           elif [ -e "$path" ] || [ -L "$path" ]; then
               echo "$path"
           fi
       done <"$results/package-files.txt")
check "nothing the packages installed is left${left:+: $left}" test -z "$left"
check "the helper's records went with the purge" test ! -e /var/db/corvana-helper
echo "What stays, as the README says:"
ls -ld /var/log/corvana.trace /var/db/auth.db /Applications/Corvana.app /Library/LaunchDaemons/* \
    /etc/corvana
check "the trace stays, it is the administrator's" test -s /var/log/corvana.trace
check "the authorization database stays, it is the administrator's" test -s /var/db/auth.db
# (The install for namespace byuser replaced the first one's jobs.)
check "the installed application stays, with its job file and configuration" \
    test -x /Applications/Corvana.app/Contents/MacOS/Corvana -a \
         -f /Library/LaunchDaemons/com.quillmark.byuser.service.plist -a -d /etc/corvana
# The fixed directories go with the package unless they hold the application's installation.
for dir in /Applications /Library/LaunchDaemons /Library/LaunchAgents \
           /Library/PrivilegedHelperTools /Library; do
    if [ -d "$dir" ]; then echo "stays: $dir ($(ls -A "$dir" | head -n 3 | xargs))"; fi
    check "$dir is gone or holds the application's installation" \
        sh -c '[ ! -e "$1" ] || [ -n "$(ls -A "$1")" ]' sh "$dir"
done

say "$faults fault(s)"
echo "$faults" >"$results/status"
