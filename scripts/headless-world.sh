# shellcheck shell=bash disable=SC2154  # world, wizard, sim, pin and so_pin come from the caller
# The customer's world without a display, for the headless demo and for the tests that drive the
# real program from outside: a token stack of its own, the authority simulator, Xvfb, and
# xdotool as the customer's hands. The script that sources this defines `die MESSAGE` and sets
# world (its directory, made with the subfolders below), wizard, sim, pin and so_pin.

sim_pid="" xvfb_pid="" wizard_pid="" main_window="" stack_script="" module=""

# Ends a process started here: TERM, then KILL after five seconds.
stop() {
  local pid=$1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}
stop_world() {
  stop "$wizard_pid"
  stop "$sim_pid"
  stop "$xvfb_pid"
  [ -z "$stack_script" ] || "$stack_script" stop "$world/token" || true
}

# start_token STACK LABEL: a token of tests/tokens/STACK.sh in $world/token, the wizard's module
# list naming its library only, and XDG folders inside $world; sets module.
start_token() {
  mkdir -p "$world"/{token,config,config-dirs,data,cache,state,tmp,runtime}
  chmod 700 "$world/tmp" "$world/runtime"
  stack_script=$(dirname "${BASH_SOURCE[0]}")/../tests/tokens/$1.sh
  if [ "$1" = opencryptoki ]; then
    # The machine's only such token: other runs (tests of another tree) wait until this one ends.
    mkdir -p /run/lock
    exec {token_lock}>>/run/lock/quorvane-enroll-opencryptoki.lock
    flock -w 1800 "$token_lock" || die "opencryptoki's token stayed busy"
  fi
  local out name value
  out=$("$stack_script" start "$world/token" "$2" "$pin" "$so_pin") || die "the $1 token did not start"
  while IFS='=' read -r name value; do
    if [ "$name" = QE_TOKEN_MODULE ]; then module=$value; else export "$name=$value"; fi
  done <<<"$out"
  [ -n "$module" ] || die "the $1 token named no library"
  mkdir -p "$world/config/Nolt/zelenroll/PKCS11Modules"
  echo "$module" >"$world/config/Nolt/zelenroll/PKCS11Modules/PKCS11Modules"
  export XDG_CONFIG_HOME=$world/config XDG_CONFIG_DIRS=$world/config-dirs
  # The state folder too: the demo's certificates must not enter the expiry reminder's memory.
  export XDG_DATA_HOME=$world/data XDG_CACHE_HOME=$world/cache XDG_STATE_HOME=$world/state
  export TMPDIR=$world/tmp
}

# The simulator on $world/authority; sets api, rekey, control, ca and wizard_env (the wizard's
# command prefix that points it there), and prints its ready line.
start_simulator() {
  "$sim" serve --state "$world/authority" >"$world/authority.ready" 2>"$world/authority.log" &
  sim_pid=$!
  for _ in $(seq 300); do
    grep -q '^ready ' "$world/authority.ready" && break
    kill -0 "$sim_pid" 2>/dev/null || die "the simulator did not start: $(cat "$world/authority.log")"
    sleep 0.1
  done
  local ready
  ready=$(head -n1 "$world/authority.ready")
  [[ $ready =~ ^ready\ api=([^ ]+)\ rekey=([^ ]+)\ control=([^ ]+)\ ca=(.+)$ ]] ||
    die "the simulator did not say it was ready"
  api=${BASH_REMATCH[1]} rekey=${BASH_REMATCH[2]} control=${BASH_REMATCH[3]} ca=${BASH_REMATCH[4]}
  wizard_env=(env QUORVANE_API_HOST="$api" QUORVANE_REKEY_HOST="$rekey"
    QUORVANE_DATA_API_HOST="$api" SSL_CERT_FILE="$ca")
  echo "$ready"
}

# Xvfb for the wizard (X11, no Wayland); exports DISPLAY. It does not reset when its last client
# goes: a wizard that ended and the next one started must find the same display.
start_xvfb() {
  unset WAYLAND_DISPLAY
  export XDG_RUNTIME_DIR=$world/runtime QT_QPA_PLATFORM=xcb
  # Without a session bus libdbus autolaunches one for the display when the accessibility bridge
  # starts, and that has blocked the wizard's start for good: a bus the token stack started (the
  # TPM's) serves, else an address that is not there.
  export DBUS_SESSION_BUS_ADDRESS=${DBUS_SESSION_BUS_ADDRESS:-unix:path=$world/no-session-bus}
  Xvfb -displayfd 3 -screen 0 1024x768x24 -wr -nolisten tcp -noreset 3>"$world/xvfb.display" \
    2>"$world/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$world/xvfb.display" ] && break; sleep 0.1; done
  [ -s "$world/xvfb.display" ] || die "Xvfb did not start: $(cat "$world/xvfb.log")"
  DISPLAY=:$(head -n1 "$world/xvfb.display")
  export DISPLAY
}

# One value of the first order the simulator holds, by name.
order() {
  curl -fsS "http://$control/control/state" | python3 -c '
import json, sys
orders = json.load(sys.stdin)["orders"]
print(orders[0].get(sys.argv[1], "") if orders else "")' "$1"
}
status_answers() { grep -c 'api GET /public/rest/certificate/status' "$world/authority.log" || true; }

# The running wizard's visible windows, main window first (by process: an alert has no title).
windows() { xdotool search --onlyvisible --pid "$wizard_pid" 2>/dev/null || true; }
running() { [ -n "$wizard_pid" ] && kill -0 "$wizard_pid" 2>/dev/null; }
# Typing and keys go to the focused window, as they would from the customer's keyboard.
focus() { timeout 5 xdotool windowfocus --sync "$1" 2>/dev/null || true; sleep 0.3; }

# start_wizard [LINK]: the wizard pointed at the simulator, in the background; waits for its main
# window.
start_wizard() {
  "${wizard_env[@]}" "$wizard" "$@" >>"$world/wizard.log" 2>&1 &
  wizard_pid=$!
  main_window=""
  for _ in $(seq 150); do
    main_window=$(windows | head -n1)
    [ -n "$main_window" ] && return 0
    running || die "the wizard did not start: $(tail "$world/wizard.log")"
    sleep 0.2
  done
  die "the wizard's window did not open"
}

# await_dialog NAME [SECONDS]: waits for a visible window of the wizard other than the main
# window; prints its id.
await_dialog() {
  local w
  for _ in $(seq $((${2:-60} * 5))); do
    running || die "the wizard ended before $1"
    w=$(windows | grep -vx "$main_window" | head -n1)
    [ -n "$w" ] && { echo "$w"; return 0; }
    sleep 0.2
  done
  die "no $1 within ${2:-60} s"
}
await_gone() {
  for _ in $(seq 150); do windows | grep -qx "$1" || return 0; sleep 0.2; done
  die "a dialog did not close"
}

# expect_end SECONDS MESSAGE: the wizard ends by itself, with status 0, within SECONDS.
expect_end() {
  for _ in $(seq $(($1 * 5))); do
    if ! running; then
      wait "$wizard_pid" || die "the wizard ended with status $?"
      wizard_pid=""
      return 0
    fi
    sleep 0.2
  done
  die "$2"
}
