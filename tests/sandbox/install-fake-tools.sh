#!/usr/bin/env bash
# install-fake-tools.sh ROOT: puts the fake system tool (fake-tool beside this script) at every
# fixed tool path the daemon runs that would change the machine or that Linux lacks, inside the
# root file system ROOT, with an empty call log. /bin and /sbin may be links into /usr; copying
# through them is what we want.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$1

tools=(/bin/launchctl /usr/sbin/chown /usr/bin/xattr /usr/bin/security /usr/sbin/sysctl
       /sbin/reboot /usr/bin/dns-sd /usr/bin/hdiutil)
for tool in "${tools[@]}"; do
    rm -f "$root$tool"
    install -D -m 0755 "$here/fake-tool" "$root$tool" || exit 1
done
mkdir -p "$root/var/tmp/fake-tools" && : >"$root/var/tmp/fake-tools/calls.log"
