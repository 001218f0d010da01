#!/bin/sh
# Runs a test program as it is, or as nobody (no groups, no capabilities)
# when started as root: permission bits then count, as for any user. The
# build tree may sit in a folder only root can enter (a clone under
# mktemp -d), so nobody runs a copy of the program.
if [ "$(id -u)" = 0 ]; then
  copies=$(mktemp -d) || exit 1
  trap 'rm -rf "$copies"' EXIT
  chmod 755 "$copies"
  cp "$1" "$copies/" || exit 1
  program="$copies/$(basename "$1")"
  shift
  setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all "$program" "$@"
  exit $?
fi
exec "$@"
