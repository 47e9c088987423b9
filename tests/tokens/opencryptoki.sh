#!/usr/bin/env bash
# The opencryptoki software token (slot 3), made anew for tests and the demo. Unlike the other
# token stacks this one is NOT private: opencryptoki has one store (/var/lib/opencryptoki) and
# one slot daemon (pkcsslotd) for the whole machine, so start wipes and re-initialises the
# software token there, and callers must never run two of these at once. No other token is
# touched. A pkcsslotd that already runs is used and left running (a second one would take
# over its shared memory); one started here is recorded in DIR and ended by stop.
# Runs as root (the store and pkcsslotd are root's). PINs have 4 to 8 characters. opencryptoki
# starts the token with the SO PIN 87654321; start changes it to SO_PIN afterwards.
#   tests/tokens/opencryptoki.sh start DIR LABEL USER_PIN SO_PIN
#       KEY=VALUE lines on stdout (the library first; it needs no environment), the same as
#       export lines in DIR/env; tool output in DIR/opencryptoki.log
#   tests/tokens/opencryptoki.sh stop DIR
set -euo pipefail

readonly module=/usr/lib/x86_64-linux-gnu/pkcs11/libopencryptoki.so
readonly slot=3 store=/var/lib/opencryptoki/swtok first_so_pin=87654321
PATH=$PATH:/usr/sbin

# Live (not zombie) pkcsslotd processes.
slot_daemons() { ps -C pkcsslotd -o pid=,stat= | awk '$2 !~ /^Z/ { print $1 }'; }

# Ends the pkcsslotd that start recorded in DIR, if it still runs.
stop_stack() {
  local pid
  [ -s "$dir/pkcsslotd.pid" ] || return 0
  pid=$(cat "$dir/pkcsslotd.pid")
  if slot_daemons | grep -x "$pid" >/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do slot_daemons | grep -x "$pid" >/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/pkcsslotd.pid"
}

stack=opencryptoki
# shellcheck source-path=SCRIPTDIR source=stack.sh
. "$(dirname "$(realpath "$0")")/stack.sh"

[ -f "$module" ] || die "no opencryptoki library at $module (scripts/install-deps.sh installs it)"
for tool in pkcsslotd pkcsconf pkcs11-tool ps; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"
done
for p in "$pin" "$so_pin"; do
  (( ${#p} >= 4 && ${#p} <= 8 )) || die "opencryptoki takes PINs of 4 to 8 characters"
done

# The slot daemon (it and the library make their lock directories themselves).
if [ -z "$(slot_daemons)" ]; then
  stop_stack
  trap stop_stack EXIT
  pkcsslotd 3>&- 4>&- || die "pkcsslotd did not start (see $log)"
  pid=$(slot_daemons | head -n 1)
  [ -n "$pid" ] || die "pkcsslotd did not stay up (see $log)"
  echo "$pid" >"$dir/pkcsslotd.pid"
fi

# Slot 3 must be the software token before anything in its store goes.
info=$(pkcsconf -c "$slot" -t) || die "pkcsconf sees no slot $slot (see $log)"
[[ $info == *"Model: IBM SoftTok"* ]] ||
  die "slot $slot is not the opencryptoki software token (see $log)"
# Wiped, the token is as installed: not initialised, SO PIN $first_so_pin.
rm -f "$store"/NVTOK.DAT "$store"/MK_SO "$store"/MK_USER "$store"/TOK_OBJ/*
rm -f /dev/shm/var.lib.opencryptoki.swtok
printf '%s\n' "$label" | pkcsconf -c "$slot" -I -S "$first_so_pin" ||
  die "initialising the token failed (see $log)"
pkcsconf -c "$slot" -u -S "$first_so_pin" -n "$pin" || die "setting the user PIN failed (see $log)"
if [ "$so_pin" != "$first_so_pin" ]; then
  pkcsconf -c "$slot" -P -S "$first_so_pin" -n "$so_pin" ||
    die "setting the SO PIN failed (see $log)"
fi
pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" --list-objects ||
  die "no login on the new token (see $log)"

trap - EXIT
emit QE_TOKEN_MODULE "$module"
echo "== ready"
