#!/usr/bin/env bash
# Runs the given command in a network namespace of its own with loopback up,
# where the system lets us make one. Elsewhere it runs the command as it is:
# the tests themselves refuse a server that announces a non-loopback address.
# PEERDIR_OWN_NETNS=1 tells the tests they may change the namespace's packet
# filter, which goes with the namespace and never touches the host's.
set -euo pipefail
if unshare -n true 2>/dev/null; then
  exec unshare -n sh -c 'ip link set lo up && PEERDIR_OWN_NETNS=1 exec "$@"' sh "$@"
fi
exec "$@"
