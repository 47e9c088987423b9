#!/usr/bin/env bash
# A SoftHSM2 token of its own in DIR, for tests and the demo: a private configuration and token
# directory, so the user's tokens are never read or written and runs in different DIRs never
# meet. SoftHSM2 lives inside the process that loads it: nothing keeps running, and stop only
# keeps the interface the other token stacks have.
#   tests/tokens/softhsm.sh start DIR LABEL USER_PIN SO_PIN
#       one token, made anew; KEY=VALUE lines on stdout (the library first, then its
#       environment), the same as export lines in DIR/env; tool output in DIR/softhsm.log
#   tests/tokens/softhsm.sh stop DIR
set -euo pipefail

readonly module=/usr/lib/softhsm/libsofthsm2.so

die() { echo "softhsm.sh: $*" >&2; exit 1; }

# KEY VALUE ...: DIR/env as export lines, then KEY=VALUE lines on stdout.
emit() {
  local env=$dir/env
  : >"$env.new"
  while [ $# -gt 0 ]; do
    printf "export %s='%s'\n" "$1" "${2//\'/\'\\\'\'}" >>"$env.new"
    printf '%s=%s\n' "$1" "$2"
    shift 2
  done
  mv "$env.new" "$env"
}

case "${1:-}" in
  start) [ $# -eq 5 ] || die "usage: softhsm.sh start DIR LABEL USER_PIN SO_PIN" ;;
  stop) [ $# -eq 2 ] || die "usage: softhsm.sh stop DIR"; exit 0 ;;
  *) die "usage: softhsm.sh start DIR LABEL USER_PIN SO_PIN | stop DIR" ;;
esac
dir=$(realpath -m "$2") label=$3 pin=$4 so_pin=$5
[ -f "$module" ] || die "no SoftHSM2 library at $module (scripts/install-deps.sh installs it)"

mkdir -p "$dir"
rm -rf "$dir/softhsm-tokens"
mkdir "$dir/softhsm-tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$dir/softhsm-tokens" >"$dir/softhsm2.conf"
export SOFTHSM2_CONF=$dir/softhsm2.conf
softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "$so_pin" \
  >>"$dir/softhsm.log" 2>&1 || die "softhsm2-util --init-token failed (see $dir/softhsm.log)"
emit QE_TOKEN_MODULE "$module" SOFTHSM2_CONF "$SOFTHSM2_CONF"
