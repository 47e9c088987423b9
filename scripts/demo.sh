#!/usr/bin/env bash
# The whole renewal on this machine, against the authority simulator and a SoftHSM2 token of its
# own: a request with quorvaneenroll://register/, then the new certificate with
# quorvaneenroll://download/. Everything lives in ./demo/ (made anew on every run); the user's
# own token configuration, module list and trust store are never read or written.
#   scripts/demo.sh              with a display: type the printed PIN and accept, as a customer
#   scripts/demo.sh --headless   (also without a display) the renewal runs by itself under Xvfb,
#                                driven from outside like a customer; screenshots in demo/screens/
#   --token softhsm|tpm|opencryptoki
#                                the token: SoftHSM2 (the default), a TPM token in a software TPM,
#                                or opencryptoki's software token (the machine's own: needs root,
#                                and its earlier content is wiped); set up by tests/tokens/
# Exit status 0 only when the simulator saw the new certificate installed.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/demo.sh [--headless] [--token softhsm|tpm|opencryptoki]" >&2
  exit 2
}
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
case "$token" in softhsm|tpm|opencryptoki) ;; *) usage ;; esac
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then headless=1; fi

readonly pin=1234
readonly so_pin=24681357
readonly token_label="Demo token"
readonly customer="C=RO,O=Persoană fizică,CN=Ion Popescu"
readonly title='^Quorvane Enroll$'

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
cmake --build build-demo --target quorvane-enroll quorvane-authority-sim
wizard=$PWD/build-demo/src/app/quorvane-enroll
sim=$PWD/build-demo/sim/quorvane-authority-sim

# ---- the demo area -------------------------------------------------------------------------
demo=$PWD/demo
# A token stack an earlier run left running goes before its directory does.
for stack in softhsm tpm opencryptoki; do
  [ ! -d "$demo/token" ] || "tests/tokens/$stack.sh" stop "$demo/token"
done
rm -rf "$demo"
mkdir -p "$demo"/{token,authority,config,config-dirs,data,cache,tmp,runtime,screens}
chmod 700 "$demo/tmp" "$demo/runtime"

# The token stack, of the demo's own; what it prints is the library and its environment.
stack_script=$PWD/tests/tokens/$token.sh
stack_out=$("$stack_script" start "$demo/token" "$token_label" "$pin" "$so_pin") ||
  die "the $token token did not start"
trap '"$stack_script" stop "$demo/token"' EXIT
module=""
while IFS='=' read -r name value; do
  if [ "$name" = QE_TOKEN_MODULE ]; then module=$value; else export "$name=$value"; fi
done <<<"$stack_out"
[ -n "$module" ] || die "the $token token named no library"
# The wizard's module list: this token's library only.
mkdir -p "$demo/config/Nolt/zelenroll/PKCS11Modules"
echo "$module" >"$demo/config/Nolt/zelenroll/PKCS11Modules/PKCS11Modules"
export XDG_CONFIG_HOME=$demo/config XDG_CONFIG_DIRS=$demo/config-dirs
export XDG_DATA_HOME=$demo/data XDG_CACHE_HOME=$demo/cache TMPDIR=$demo/tmp

say "A token holding the customer's current certificate ($token)"
serial=$("$sim" provision-token --state "$demo/authority" --module "$module" \
  --slot-label "$token_label" --pin "$pin" --subject "$customer" --email ion.popescu@example.ro)
echo "certificate $serial for $customer"
echo "Demo PIN: $pin"

# ---- processes, stopped on every way out ---------------------------------------------------
sim_pid="" xvfb_pid="" wizard_pid=""
stop() {
  local pid=$1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
cleanup() {
  stop "$wizard_pid"
  stop "$sim_pid"
  stop "$xvfb_pid"
  "$stack_script" stop "$demo/token" || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say "The authority simulator"
"$sim" serve --state "$demo/authority" >"$demo/authority.ready" 2>"$demo/authority.log" &
sim_pid=$!
for _ in $(seq 300); do
  grep -q '^ready ' "$demo/authority.ready" && break
  kill -0 "$sim_pid" 2>/dev/null || die "the simulator did not start: $(cat "$demo/authority.log")"
  sleep 0.1
done
ready=$(head -n1 "$demo/authority.ready")
[[ $ready =~ ^ready\ api=([^ ]+)\ rekey=([^ ]+)\ control=([^ ]+)\ ca=(.+)$ ]] ||
  die "the simulator did not say it was ready"
api=${BASH_REMATCH[1]} rekey=${BASH_REMATCH[2]} control=${BASH_REMATCH[3]} ca=${BASH_REMATCH[4]}
echo "$ready"

# The order of the demo token as the simulator holds it: one value of it, by name.
order() {
  curl -fsS "http://$control/control/state" | python3 -c '
import json, sys
orders = json.load(sys.stdin)["orders"]
print(orders[0].get(sys.argv[1], "") if orders else "")' "$1"
}

# The wizard, pointed at the simulator; the rest of its environment is the demo area's.
wizard_env=(env QUORVANE_API_HOST="$api" QUORVANE_REKEY_HOST="$rekey"
  QUORVANE_DATA_API_HOST="$api" SSL_CERT_FILE="$ca")

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
unset WAYLAND_DISPLAY
export XDG_RUNTIME_DIR=$demo/runtime QT_QPA_PLATFORM=xcb
Xvfb -displayfd 3 -screen 0 1024x768x24 -wr -nolisten tcp 3>"$demo/xvfb.display" \
  2>"$demo/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$demo/xvfb.display" ] && break; sleep 0.1; done
[ -s "$demo/xvfb.display" ] || die "Xvfb did not start: $(cat "$demo/xvfb.log")"
DISPLAY=:$(head -n1 "$demo/xvfb.display")
export DISPLAY
echo "display $DISPLAY"

main_window=""
shots=0
# The wizard's visible windows (all carry its name), main window first.
windows() { xdotool search --onlyvisible --name "$title" 2>/dev/null || true; }

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

# Waits (up to $2 seconds) for a visible window of the wizard other than the main window;
# prints its id.
await_dialog() {
  local w
  for _ in $(seq $((${2:-60} * 5))); do
    kill -0 "$wizard_pid" 2>/dev/null || die "the wizard ended before $1"
    for w in $(windows); do
      if [ "$w" != "$main_window" ]; then echo "$w"; return 0; fi
    done
    sleep 0.2
  done
  die "no $1 within ${2:-60} s"
}

await_gone() {
  for _ in $(seq 150); do
    [[ " $(windows | tr '\n' ' ') " == *" $1 "* ]] || return 0
    sleep 0.2
  done
  die "a dialog did not close"
}

# Typing and keys go to the focused window, as they would from the customer's keyboard.
focus() { timeout 5 xdotool windowfocus --sync "$1" 2>/dev/null || true; sleep 0.3; }

status_answers() { grep -c 'api GET /public/rest/certificate/status' "$demo/authority.log" || true; }

# Starts the wizard with a link and waits for its main window.
start_wizard() {
  "${wizard_env[@]}" "$wizard" "$1" >>"$demo/wizard.log" 2>&1 &
  wizard_pid=$!
  main_window=""
  local shown
  for _ in $(seq 150); do
    shown=$(windows)
    main_window=${shown%%$'\n'*}
    [ -n "$main_window" ] && break
    kill -0 "$wizard_pid" 2>/dev/null || die "the wizard did not start: $(tail "$demo/wizard.log")"
    sleep 0.2
  done
  [ -n "$main_window" ] || die "the wizard's window did not open"
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
