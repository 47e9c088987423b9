#!/usr/bin/env bash
# The whole renewal on this machine, against the authority simulator and a SoftHSM2 token of its
# own: a request with quorvaneenroll://register/, then the new certificate with
# quorvaneenroll://download/. Everything lives in ./demo/ (made anew on every run); the user's
# own token configuration, module list and trust store are never read or written.
#   scripts/demo.sh              with a display: type the printed PIN and accept, as a customer
#   scripts/demo.sh --headless   (also without a display) the renewal runs by itself under Xvfb,
#                                driven from outside like a customer; screenshots in demo/screens/
#   --token softhsm|tpm|opencryptoki|pcsc
#                                the token: SoftHSM2 (the default), a TPM token in a software TPM,
#                                opencryptoki's software token (the machine's own: needs root,
#                                and its earlier content is wiped), or a simulated card in pcscd's
#                                virtual reader through OpenSC; set up by tests/tokens/
# Exit status 0 only when the simulator saw the new certificate installed.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/demo.sh [--headless] [--token softhsm|tpm|opencryptoki|pcsc]" >&2
  exit 2
}
args=("$@")
headless=0
token=softhsm
while [ $# -gt 0 ]; do
  case "$1" in
    --headless) headless=1 ;;
    --token) [ $# -ge 2 ] || usage; token=$2; shift ;;
    --token=*) token=${1#--token=} ;;
    *) usage ;;
  esac
  shift
done
case "$token" in softhsm|tpm|opencryptoki|pcsc) ;; *) usage ;; esac
if [ "$token" = pcsc ] && [ -z "${QE_PCSCD_PRIVATE:-}" ]; then
  # The card's pcscd and the wizard meet in a /run/pcscd of their own.
  exec tests/tokens/private-pcscd.sh "$0" "${args[@]}"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then headless=1; fi

readonly pin=1234
readonly so_pin=24681357
readonly token_label="Demo token"
readonly customer="C=RO,O=Persoană fizică,CN=Ion Popescu"

say() { printf '\n== %s\n' "$*"; }
die() { printf '\ndemo: %s\n' "$*" >&2; exit 1; }

# ---- dependencies and the Release build ----------------------------------------------------
say "Dependencies (scripts/install-deps.sh)"
./scripts/install-deps.sh

say "Release build in build-demo/"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DQE_BUILD_TESTS=OFF \
  -DQE_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build build-demo --target quorvane-enroll quorvane-authority-sim quorvane-card-sim
wizard=$PWD/build-demo/src/app/quorvane-enroll
sim=$PWD/build-demo/sim/quorvane-authority-sim
export QE_CARD_SIM=$PWD/build-demo/sim/card/quorvane-card-sim

# ---- the demo area -------------------------------------------------------------------------
demo=$PWD/demo
world=$demo
# shellcheck source=scripts/headless-world.sh
. scripts/headless-world.sh
# A token stack an earlier run left running goes before its directory does.
for stack in softhsm tpm opencryptoki pcsc; do
  [ ! -d "$demo/token" ] || "tests/tokens/$stack.sh" stop "$demo/token"
done
rm -rf "$demo"
mkdir -p "$demo"/{authority,screens}
trap stop_world EXIT
start_token "$token" "$token_label"

say "A token holding the customer's current certificate ($token)"
serial=$("$sim" provision-token --state "$demo/authority" --module "$module" \
  --slot-label "$token_label" --pin "$pin" --subject "$customer" --email ion.popescu@example.ro)
echo "certificate $serial for $customer"
echo "Demo PIN: $pin"

trap 'exit 130' INT
trap 'exit 143' TERM

say "The authority simulator"
start_simulator

# ---- interactive: the user is the customer -------------------------------------------------
if [ "$headless" = 0 ]; then
  say "1/2 quorvaneenroll://register/"
  echo "The wizard checks the token and sends a request. Type the PIN $pin when it asks; after"
  echo "\"Cererea a fost trimisă cu succes.\" close the window."
  "${wizard_env[@]}" "$wizard" quorvaneenroll://register/ || true
  [ -n "$(order issuedSerial)" ] || die "no request reached the simulator"
  echo "the authority issued certificate $(order issuedSerial)"

  say "2/2 quorvaneenroll://download/"
  echo "The wizard fetches the new certificate and the declaration. Type the PIN $pin, choose"
  echo "\"Sunt de acord ...\", press Accepta; after \"Certificatul a fost încărcat cu succes\""
  echo "close the window."
  "${wizard_env[@]}" "$wizard" quorvaneenroll://download/ || true
  [ "$(order installed)" = True ] || die "the new certificate was not installed"
  say "Renewal complete: certificate $(order issuedSerial) is on the token."
  exit 0
fi

# ---- headless: Xvfb, and xdotool as the customer's hands -----------------------------------
say "Xvfb"
start_xvfb
echo "display $DISPLAY"

shots=0
# A screenshot of the part of the screen the wizard's windows cover.
shot() {
  # shellcheck disable=SC2034  # WINDOW and SCREEN come with the geometry
  local x0=100000 y0=100000 x1=0 y1=0 w X Y WIDTH HEIGHT WINDOW SCREEN
  for w in $(windows); do
    eval "$(xdotool getwindowgeometry --shell "$w" 2>/dev/null)"
    ((X < x0)) && x0=$X; ((Y < y0)) && y0=$Y
    ((X + WIDTH > x1)) && x1=$((X + WIDTH)); ((Y + HEIGHT > y1)) && y1=$((Y + HEIGHT))
  done
  ((x1 > x0)) || { x0=0 y0=0 x1=1024 y1=768; }
  shots=$((shots + 1))
  local file
  file=$(printf '%s/%02d-%s.png' "$demo/screens" "$shots" "$1")
  import -window root -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage "$file"
  echo "  screen: $(basename "$file")"
}

# Types the PIN into the PIN dialog and confirms it, after $2 seconds of reading it.
enter_pin() {
  local dialog
  dialog=$(await_dialog "the PIN dialog")
  sleep 0.3
  shot "$1-pin"
  sleep "${2:-0}"
  focus "$dialog"
  xdotool type --delay 150 "$pin"
  shot "$1-pin-typed"
  xdotool key Return
  await_gone "$dialog"
}

# Confirms the message box that reports the command's outcome.
confirm_result() {
  local box
  box=$(await_dialog "the result message" 120)
  sleep 0.3
  shot "$1"
  focus "$box"
  xdotool key Return
  await_gone "$box"
}

# After the command the wizard asks for the status again (the second answer since $1); once
# idle, Escape ends it.
end_when_idle() {
  local before=$1
  for _ in $(seq 300); do (($(status_answers) >= before + 2)) && break; sleep 0.2; done
  sleep 1
  shot "$2"
  for _ in $(seq 60); do
    kill -0 "$wizard_pid" 2>/dev/null || break
    focus "$main_window"
    xdotool key Escape
    sleep 0.5
  done
  kill -0 "$wizard_pid" 2>/dev/null && die "the wizard did not end"
  wait "$wizard_pid" || true
  wizard_pid=""
}

say "1/2 quorvaneenroll://register/"
answers=$(status_answers)
start_wizard quorvaneenroll://register/
# This customer reads the PIN dialog for a while first: longer than the servers wait for a
# silent connection, which the wizard must not be holding open meanwhile.
enter_pin register 6
confirm_result register-sent
end_when_idle "$answers" register-idle
[ -n "$(order issuedSerial)" ] || die "no request reached the simulator (see $demo/authority.log)"
echo "the authority issued certificate $(order issuedSerial)"

# Reads the declaration, chooses "Sunt de acord ..." and presses Accepta, with the mouse. The
# places are the dialog's own (dialog units of 1.5 by 1.625 pixels).
accept_declaration() {
  local dialog
  dialog=$(await_dialog "the acceptance declaration" 120)
  sleep 0.5
  shot download-declaration
  xdotool mousemove --window "$dialog" 30 462 click 1
  sleep 0.3
  shot download-declaration-accepted
  xdotool mousemove --window "$dialog" 118 512 click 1
  await_gone "$dialog"
}

say "2/2 quorvaneenroll://download/"
answers=$(status_answers)
start_wizard quorvaneenroll://download/
enter_pin download
accept_declaration
confirm_result download-installed
end_when_idle "$answers" download-idle

[ "$(order installed)" = True ] ||
  die "the new certificate was not installed (screens in $demo/screens, log in $demo/tmp)"
say "Renewal complete: certificate $(order issuedSerial) is installed on the token."
echo "Screenshots of every screen: $demo/screens/"
