#!/bin/sh
# Runs a test program as it is, or as nobody (no groups, no capabilities)
# when started as root: permission bits then count, as for any user.
if [ "$(id -u)" = 0 ]; then
  exec setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all "$@"
fi
exec "$@"
