#!/bin/sh
# The application the deployment session installs: it notes its process and start time, then
# keeps running as a real application would.
echo "$$ $(date +%s)" >>/var/tmp/corvana-app.started
exec sleep 3600
