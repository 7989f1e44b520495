#!/usr/bin/env bash
# Runs a command inside a private network namespace with only loopback up, so that nothing the
# plug-in or the simulator sends can leave the machine. Falls back to a plain run where
# namespaces are refused (an unprivileged container, say).
set -uo pipefail
if unshare -n true 2>/dev/null && command -v ip >/dev/null; then
  exec unshare -n bash -c 'ip link set lo up && exec "$@"' in-netns "$@"
fi
echo "note: private network namespace refused; running without it" >&2
exec "$@"
