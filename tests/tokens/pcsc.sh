#!/usr/bin/env bash
# A smart card in a reader, as customers' tokens are, for tests and the demo: pcscd in the
# foreground with a private reader configuration (vsmartcard's virtual reader on a port of its
# own), the card simulator sim/card (quorvane-card-sim, found by QE_CARD_SIM or in build/)
# connected to it with its memory in DIR, initialised with OpenSC's tools, and OpenSC's PKCS#11
# library with a private configuration.
#   tests/tokens/pcsc.sh start DIR LABEL USER_PIN SO_PIN
#       one card, made anew; KEY=VALUE lines on stdout (the library first, then its
#       environment), the same as export lines in DIR/env; tool output in DIR/pcsc.log.
#       The card's PUK is SO_PIN repeated to its 16 characters.
#   tests/tokens/pcsc.sh stop DIR
#   tests/tokens/pcsc.sh pull DIR                the card leaves the reader (its memory stays)
#   tests/tokens/pcsc.sh put DIR [SIM OPTION...]  the same card back, e.g. --drop-at 2A:1
#   tests/tokens/pcsc.sh service-stop DIR         pcscd ends (the card with it)
#   tests/tokens/pcsc.sh service-start DIR [none] pcscd again, with the reader and the card in
#       it, or with no reader at all
# With QE_CARD_TYPE=piv at start the card is a PIV card instead, in a reader named as the maker
# of ykcs11's keys names its own (ykcs11 takes no other), its PIN USER_PIN, with a self-signed
# certificate and its key in slot 9A; the stack then also emits QE_PIV_MODULE (ykcs11).
#   tests/tokens/pcsc.sh provision DIR CERT.der KEY.pem   that card anew with this certificate
# pcscd listens on one fixed socket (/run/pcscd/pcscd.comm) whatever it is told. Run under
# private-pcscd.sh (with-stack.sh and the demo do), the stack has that folder to itself.
# Otherwise only one such stack runs on the machine at a time: start waits for a lock that the
# stack's pcscd holds until it ends; and a pcscd that is not the stack's (the machine's own,
# serving its real readers) is never stopped: start fails and says so.
set -euo pipefail

readonly module=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
readonly ykcs11=/usr/lib/x86_64-linux-gnu/libykcs11.so
readonly driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
readonly lock=/run/lock/quorvane-enroll-pcscd.lock
here=$(dirname "$(realpath "$0")")

# Ends a process whose pid file is DIR/NAME.pid if it is still the one started there.
stop_process() {
  local name=$1 comm=$2 pid
  [ -s "$dir/$name.pid" ] || return 0
  pid=$(cat "$dir/$name.pid")
  if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$comm" ]; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
      [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$comm" ] || break
      grep -q '^[^)]*) Z' "/proc/$pid/stat" 2>/dev/null && break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/$name.pid"
}
pull_card() { stop_process card-sim quorvane-card-s; }
stop_stack() {
  pull_card
  stop_process pcscd pcscd
}

fail() {
  echo "pcsc.sh: $*" >&4
  exit 1
}

# pcscd in the foreground on the stack's reader configuration, or with `none` on none. Outside a
# private namespace it waits for the lock and keeps it, as fd 9, for as long as it runs.
start_pcscd() {
  local config=$dir/reader.conf.d
  if [ "${1:-}" = none ]; then
    config=$dir/no-reader.conf.d
    mkdir -p "$config"
  fi
  if [ -z "${QE_PCSCD_PRIVATE:-}" ]; then
    mkdir -p /run/lock
    exec 9>>"$lock"
    flock -w 1800 9 || fail "another pcsc stack kept pcscd for 30 minutes ($lock)"
    if pid=$(pgrep -x pcscd); then
      fail "a pcscd not started by this script is running (pid ${pid//$'\n'/ }): it is the" \
        "machine's and is left alone; run under tests/tokens/private-pcscd.sh, or stop it"
    fi
  fi
  pcscd --foreground --config "$config" </dev/null >>"$dir/pcscd.log" 2>&1 3>&- 4>&- &
  echo $! >"$dir/pcscd.pid"
  exec 9>&-
  for _ in $(seq 100); do
    [ -S /run/pcscd/pcscd.comm ] && return 0
    sleep 0.1
  done
  fail "pcscd made no socket (see $dir/pcscd.log)"
}

# The card into the reader: the simulator on DIR's state, connected to the reader's port.
put_card() {
  local sim
  sim=$(cat "$dir/card-sim.path") port=$(cat "$dir/reader.port")
  "$sim" --card "$(cat "$dir/card-type")" --state "$dir/card.state" --port "$port" \
    --counts "$dir/card-counts" "$@" \
    </dev/null >>"$dir/card-sim.log" 2>&1 9>&- 3>&- 4>&- &
  echo $! >"$dir/card-sim.pid"
}

# The card as the reader sees it once it is in: OpenSC names its driver. Up to 30 s: on a loaded
# machine a card put back after another program let go of it took over 10.
wait_for_card() {
  for _ in $(seq 300); do
    if opensc-tool --reader 0 --name 2>/dev/null | grep -q "$(cat "$dir/card-name")"; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# The PIV card written anew by the simulator: PIN, CERT.der and KEY.pem in slot 9A.
provision_piv() {
  "$(cat "$dir/card-sim.path")" --card piv --state "$dir/card.state" --pin "$(cat "$dir/card-pin")" \
    --provision "$1" "$2"
}

case "${1:-}" in
  pull | put | provision | service-stop | service-start)
    [ $# -ge 2 ] || { echo "usage: pcsc.sh $1 DIR [ARG...]" >&2; exit 2; }
    action=$1 dir=$(realpath -m "$2") stack=pcsc
    shift 2
    exec 3>&1 4>&2 >>"$dir/pcsc.log" 2>&1
    case "$action" in
      pull) pull_card; exit 0 ;;
      service-stop) stop_stack; exit 0 ;;
      service-start)
        stop_stack
        # A pcscd killed keeps its socket; in the stack's own /run/pcscd it is stale.
        [ -z "${QE_PCSCD_PRIVATE:-}" ] || rm -f /run/pcscd/pcscd.comm
        start_pcscd "${1:-}"
        [ "${1:-}" = none ] && exit 0
        set -- ;;
    esac
    pull_card
    if [ "$action" = provision ]; then
      provision_piv "$1" "$2" || { echo "pcsc.sh: provisioning failed (see $dir)" >&4; exit 1; }
      set --
    fi
    put_card "$@"
    wait_for_card || { echo "pcsc.sh: the card did not come back (see $dir)" >&4; exit 1; }
    exit 0 ;;
esac

stack=pcsc
# shellcheck source-path=SCRIPTDIR source=stack.sh
. "$here/stack.sh"

[ -f "$module" ] || die "no OpenSC library at $module (scripts/install-deps.sh installs opensc)"
[ -f "$driver" ] || die "no virtual reader driver at $driver (install-deps.sh: vsmartcard-vpcd)"
for tool in pcscd pkcs15-init opensc-tool pkcs11-tool flock python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"
done
sim=${QE_CARD_SIM:-}
if [ -z "$sim" ]; then
  for candidate in "$here/../../build/sim/card/quorvane-card-sim" \
    "$here/../../build-demo/sim/card/quorvane-card-sim"; do
    [ -x "$candidate" ] && sim=$(realpath "$candidate") && break
  done
fi
if [ -z "$sim" ] || [ ! -x "$sim" ]; then
  die "no card simulator: build the target quorvane-card-sim and set QE_CARD_SIM to it"
fi
echo "$sim" >"$dir/card-sim.path"

stop_stack
trap stop_stack EXIT
if [ -n "${QE_PCSCD_PRIVATE:-}" ] && [ -S /run/pcscd/pcscd.comm ]; then
  die "this namespace's /run/pcscd already has a pcscd socket"
fi

# Two free ports: the virtual reader driver opens a second reader on the next one.
port=$(python3 -c '
import socket
while True:
    a, b = socket.socket(), socket.socket()
    try:
        a.bind(("", 0))
        port = a.getsockname()[1]
        b.bind(("", port + 1))
        print(port)
        break
    except (OSError, OverflowError):
        pass
    finally:
        a.close()
        b.close()') || die "python3 found no free port"
echo "$port" >"$dir/reader.port"
rm -rf "$dir/reader.conf.d" "$dir/card.state" "$dir/card-counts"
mkdir "$dir/reader.conf.d"
card_type=${QE_CARD_TYPE:-isoapplet} reader="Quorvane Reader" card_name=IsoApplet
case "$card_type" in
  isoapplet) ;;
  piv) reader="Yubico Quorvane Reader" card_name="Personal Identity Verification" ;;
  *) die "QE_CARD_TYPE is isoapplet or piv, not $card_type" ;;
esac
echo "$card_type" >"$dir/card-type"
echo "$card_name" >"$dir/card-name"
(umask 077 && printf '%s\n' "$pin" >"$dir/card-pin")
if [ "$card_type" = piv ]; then
  [ -f "$ykcs11" ] || die "no ykcs11 at $ykcs11 (scripts/install-deps.sh installs ykcs11)"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/piv-key.pem" -subj "/CN=$label" \
    -days 365 -outform DER -out "$dir/piv-cert.der" || die "openssl made no certificate"
  provision_piv "$dir/piv-cert.der" "$dir/piv-key.pem" || die "the PIV card was not provisioned"
fi
printf 'FRIENDLYNAME "%s"\nDEVICENAME /dev/null:%s\nLIBPATH %s\nCHANNELID %s\n' \
  "$reader" "$port" "$driver" "$port" >"$dir/reader.conf.d/reader"
# No file caching: the same card is pulled and put back, and cards share serial numbers. OpenSC
# makes a key on the card only with the PIN in its cache, and caches no PIN that protects a key
# wanting it for every signature (the customer's qualified key) unless told to.
cat >"$dir/opensc.conf" <<EOF
app default {
  use_file_caching = no;
  framework pkcs15 {
    pin_cache_ignore_user_consent = true;
  }
}
EOF
export OPENSC_CONF=$dir/opensc.conf

start_pcscd
put_card
wait_for_card || die "the card did not appear in the reader (see $dir/pcscd.log, card-sim.log)"

if [ "$card_type" = piv ]; then
  trap - EXIT
  emit QE_TOKEN_MODULE "$module" QE_PIV_MODULE "$ykcs11" OPENSC_CONF "$OPENSC_CONF" \
    QE_CARD_SIM "$sim" QE_CARD_DIR "$dir" QE_CARD_STATE "$dir/card.state" QE_CARD_PORT "$port"
  echo "== ready on port $port"
  exit 0
fi

# A PKCS#15 application on the card, then its PIN: labelled PIN, so that OpenSC names the token
# by LABEL alone.
puk=$so_pin
while [ ${#puk} -lt 16 ]; do puk=$puk$so_pin; done
puk=${puk:0:16}
pkcs15-init --create-pkcs15 --profile pkcs15+onepin --no-so-pin --label "$label" ||
  die "pkcs15-init --create-pkcs15 failed (see $log)"
pkcs15-init --store-pin --profile pkcs15+onepin --auth-id 01 --label PIN --pin "$pin" \
  --puk "$puk" || die "pkcs15-init --store-pin failed (see $log)"
pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" --list-objects ||
  die "no login on the new card (see $log)"

trap - EXIT
emit QE_TOKEN_MODULE "$module" OPENSC_CONF "$OPENSC_CONF" QE_CARD_SIM "$sim" \
  QE_CARD_DIR "$dir" QE_CARD_STATE "$dir/card.state" QE_CARD_PORT "$port"
echo "== ready on port $port"
