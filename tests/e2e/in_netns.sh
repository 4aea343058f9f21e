#!/bin/sh
# Runs a test program inside a private network namespace with only the
# loopback interface up, so that the fixed ports (27060, 80) are free and
# nothing leaves the machine.  As root a plain network namespace is made;
# otherwise a user namespace maps the caller to root inside it.
if [ "$(id -u)" = 0 ]; then
  exec unshare --net sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec unshare --map-root-user --net sh -c 'ip link set lo up && exec "$@"' sh "$@"
