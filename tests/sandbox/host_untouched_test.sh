#!/usr/bin/env bash
# Writes fixed system paths and runs the fake tools inside the sandbox, then checks that the host
# saw none of it.
set -uo pipefail
sandbox=$1
marker="corvana-host-check-$$-$RANDOM"

"$sandbox" /bin/bash -c "
    set -e
    mkdir -p /Library/LaunchDaemons /Applications/$marker.app /etc/$marker
    echo x > /Library/LaunchDaemons/$marker.plist
    echo x > /var/log/$marker.trace
    echo x > /etc/$marker/system.conf
    /bin/launchctl load /Library/LaunchDaemons/$marker.plist
    /sbin/reboot
    test -s /var/tmp/fake-tools/calls.log
" || { echo "the sandboxed commands failed"; exit 1; }

status=0
for path in /Library/LaunchDaemons/$marker.plist /Applications/$marker.app /etc/$marker \
            /var/log/$marker.trace /run/corvana-sandbox; do
    if [ -e "$path" ]; then
        echo "leaked to the host: $path"
        status=1
    fi
done
if [ -e /bin/launchctl ] || [ -e /usr/sbin/chown ]; then
    echo "a fake tool leaked to the host"
    status=1
fi
exit $status
