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

stop_stack() { :; }

stack=softhsm
# shellcheck source-path=SCRIPTDIR source=stack.sh
. "$(dirname "$(realpath "$0")")/stack.sh"

[ -f "$module" ] || die "no SoftHSM2 library at $module (scripts/install-deps.sh installs it)"
rm -rf "$dir/softhsm-tokens"
mkdir "$dir/softhsm-tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$dir/softhsm-tokens" >"$dir/softhsm2.conf"
export SOFTHSM2_CONF=$dir/softhsm2.conf
softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin "$so_pin" ||
  die "softhsm2-util --init-token failed (see $log)"
emit QE_TOKEN_MODULE "$module" SOFTHSM2_CONF "$SOFTHSM2_CONF"
