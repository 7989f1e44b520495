#!/usr/bin/env bash
# Runs a command inside a private network namespace with only loopback up, so that nothing the
# plug-in or the simulator sends can leave the machine. Falls back to a plain run where
# namespaces are refused (an unprivileged container, say).
set -uo pipefail
if unshare -n true 2>/dev/null && command -v ip >/dev/null; then
  # The system's own (ephemeral) ports are moved above every fixed port the test scripts listen
  # on (20000..54999), so a client socket of one test can never hold another test's listening
  # port. Best effort: the namespace is still private where the setting cannot be written.
  exec unshare -n bash -c 'ip link set lo up &&
    { echo "55000 65000" > /proc/sys/net/ipv4/ip_local_port_range; } 2>/dev/null;
    exec "$@"' in-netns "$@"
fi
echo "note: private network namespace refused; running without it" >&2
exec "$@"
