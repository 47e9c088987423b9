#!/usr/bin/env bash
# Runs COMMAND with a /run/pcscd of its own (a private mount namespace, as root): pcscd listens
# on one fixed socket there whatever it is told, so a pcsc stack started inside meets neither
# the machine's pcscd nor another run's, and its programs find its pcscd only. Without the
# rights for a namespace COMMAND runs as it is, and pcsc.sh then takes turns through a lock.
#   tests/tokens/private-pcscd.sh COMMAND...
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: private-pcscd.sh COMMAND..." >&2; exit 2; }
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null && mkdir -p /run/pcscd &&
  unshare --mount --propagation private true 2>/dev/null; then
  export QE_PCSCD_PRIVATE=1
  exec unshare --mount --propagation private -- \
    sh -c 'mount -t tmpfs -o mode=0755 tmpfs /run/pcscd && exec "$@"' private-pcscd "$@"
fi
exec "$@"
