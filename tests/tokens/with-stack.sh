#!/usr/bin/env bash
# Runs a command beside a token of one stack: the stack's script starts it in a fresh directory,
# its environment is exported (QE_TOKEN_MODULE naming the library), and it is stopped afterwards
# whatever the command did. opencryptoki's token is the machine's: without root the run is
# skipped (status 77).
#   tests/tokens/with-stack.sh softhsm|tpm|opencryptoki|pcsc LABEL USER_PIN SO_PIN COMMAND...
set -euo pipefail
[ $# -ge 5 ] || { echo "usage: with-stack.sh STACK LABEL USER_PIN SO_PIN COMMAND..." >&2; exit 2; }
stack=$1 label=$2 pin=$3 so_pin=$4
shift 4
if [ "$stack" = opencryptoki ] && [ "$(id -u)" != 0 ]; then
  echo "with-stack.sh: opencryptoki's slot daemon and token are the machine's: run as root" >&2
  exit 77
fi
script=$(dirname "$(realpath "$0")")/$stack.sh
if [ "$stack" = pcsc ] && [ -z "${QE_PCSCD_PRIVATE:-}" ]; then
  # The stack's pcscd and the command meet in a /run/pcscd of their own.
  exec "$(dirname "$script")/private-pcscd.sh" "$0" "$stack" "$label" "$pin" "$so_pin" "$@"
fi
if [ "$stack" = opencryptoki ]; then
  # The machine has one such token: a run from another build tree, clone or demo would wipe it
  # under this one. Wait for it instead.
  mkdir -p /run/lock
  exec 9>>/run/lock/quorvane-enroll-opencryptoki.lock
  flock -w 1800 9 || { echo "with-stack.sh: opencryptoki's token stayed busy" >&2; exit 1; }
fi
dir=$(mktemp -d "${QE_TEST_TMP:-${TMPDIR:-/tmp}}/$stack-XXXXXX")
trap '"$script" stop "$dir"; rm -rf "$dir"' EXIT
out=$("$script" start "$dir" "$label" "$pin" "$so_pin")
while IFS='=' read -r name value; do export "$name=$value"; done <<<"$out"
"$@"
