#!/usr/bin/env bash
# The real program under Xvfb against the simulator and a SoftHSM2 token, driven with xdotool as a
# hurried customer: a command starts only when meant, and once; the token-restriction alert's
# title bar is empty as the window system sees it.
#   keys_and_clicks_test.sh WIZARD SIMULATOR SOURCE_DIR SCRATCH_DIR
set -euo pipefail
wizard=$1 sim=$2 world=$(mktemp -d "$4/keys.XXXXXX")
readonly pin=1234 so_pin=24681357 label="Ion Popescu"
die() { echo "FAIL: $*" >&2; tail -n 5 "$world/authority.log" "$world/wizard.log" "$world/xvfb.log" >&2 || true; exit 1; }
# The X keyboard library copies a keymap name of known length that has no terminating NUL with
# strndup, which the sanitizer's strict string check reports; the rest of its checks stay.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0"
# shellcheck source=scripts/headless-world.sh
. "$3/scripts/headless-world.sh"
trap 'stop_world; rm -rf "$world"' EXIT
start_token softhsm "$label"
"$sim" provision-token --state "$world/authority" --module "$module" --slot-label "$label" \
  --pin "$pin" --subject "C=RO,O=Persoană fizică,CN=Ion Popescu" >/dev/null
start_simulator >/dev/null
start_xvfb
requests() { grep -c 'rekey POST /rest/certificate/pkcs10' "$world/authority.log" || true; }
key_pairs() {
  pkcs11-tool --module "$module" --login --pin "$pin" --list-objects --type privkey 2>/dev/null |
    grep -c '^Private Key Object' || true
}
idle_after() { for _ in $(seq 300); do (($(status_answers) >= $1)) && break; sleep 0.2; done; sleep 1; }
key() { focus "$1" && xdotool key "$2"; }
type_pin() { local d; d=$(await_dialog "PIN dialog") && focus "$d"; xdotool type "$pin"; xdotool key Return; await_gone "$d"; }

# Enter on the idle window ends the program, with the focus on "Generează Cerere".
start_wizard && idle_after 1 && key "$main_window" Return
expect_end 10 "Enter on the idle window did not end the program"

# The token-restriction alert: an empty title bar, however the window system reads it.
scenario() { curl -fsS -o /dev/null -d "$1" "http://$control/control/scenario"; }
scenario '{"keygen": "genAlgorithms.1.keySize=2048\nrestrictedTokens.1.manufacturer=SoftHSM\n"}'
start_wizard quorvaneenroll://register/ && type_pin
alert=$(await_dialog "token-restriction alert")
for name in _NET_WM_NAME WM_NAME; do
  [[ $(xprop -id "$alert" $name) =~ ^$name\([A-Z0-9_]+\)\ =\ (\"\")?$ ]] || die "title: $(xprop -id "$alert" $name)"
done
stop "$wizard_pid" && scenario '{}'

# Three clicks 1 ms apart on "Generează Cerere" send one request: the old key pair and one new.
# The wizard is stopped meanwhile, as on a busy machine, so it reads all three clicks at once.
answers=$(status_answers) && start_wizard && idle_after $((answers + 1)) && kill -STOP "$wizard_pid"
xdotool mousemove --window "$main_window" 385 433 click --repeat 3 --delay 1 1 && kill -CONT "$wizard_pid"
type_pin && key "$(await_dialog "the result" 120)" Return && idle_after $((answers + 2))
(($(requests) == 1 && $(key_pairs) == 2)) || die "a triple click: $(requests) requests, $(key_pairs) key pairs"
# A certificate waits now, so "Generează Cerere" asks first, and Enter says "Nu"; with the PIN
# cached, a request started anyway would be sent at once.
key "$main_window" space && key "$(await_dialog "the question")" Return
(($(requests) == 1)) || die "\"Nu\" sent a request"
issued=$(order issuedSerial) && key "$main_window" Tab && key "$main_window" Return
expect_end 10 "Enter with the focus on \"Încarcă certificat\" did not end the program"

# Enter held through a whole download: the declaration is rejected (its focus is on Respinge), and
# nothing new is asked for: still one key pair and the same issued certificate.
start_wizard quorvaneenroll://download/ && type_pin
for _ in $(seq 200); do running && key "$(windows | tail -n1)" Return; done
expect_end 1 "Enter through a download did not end the program"
(($(requests) == 1 && $(key_pairs) == 2)) || die "Enter through a download: $(requests) requests, $(key_pairs) key pairs"
[[ $(order issuedSerial) = "$issued" && $(order installed) != True ]] || die "the waiting certificate changed"

# "Da", by keyboard (Tab from "Nu", then Space), sends the new request.
answers=$(status_answers) && start_wizard && idle_after $((answers + 1))
key "$main_window" space && key "$(await_dialog "the question")" Tab && xdotool key space && type_pin
key "$(await_dialog "the result" 120)" Return && idle_after $((answers + 2))
(($(requests) == 2)) || die "\"Da\" did not send the request"

# Through a company proxy that asks for a password: its dialog by keyboard (name, Tab, password,
# Enter) comes before the PIN, once for the run, and the download's requests go through it.
proxy_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'Listen 127.0.0.1\nPort %s\nLogLevel Connect\nBasicAuth ana pa55-w\n%s' "$proxy_port" \
  "$( ((EUID == 0)) && printf 'User nobody\nGroup nogroup\n')" >"$world/tinyproxy.conf"
tinyproxy -d -c "$world/tinyproxy.conf" >"$world/tinyproxy.log" 2>&1 &
tinyproxy_pid=$!
stop "$wizard_pid" && https_proxy="http://127.0.0.1:$proxy_port" no_proxy="" start_wizard quorvaneenroll://download/
d=$(await_dialog "the proxy's dialog") && focus "$d" && xdotool type ana && xdotool key Tab
xdotool type pa55-w && xdotool key Return && await_gone "$d"
type_pin && d=$(await_dialog "the declaration" 120)
logins=$(grep -c 'asks for a user name and password' "$TMPDIR/enrolllog.txt" || true)
tunnels=$(grep -c '): CONNECT ' "$world/tinyproxy.log" || true)
((logins == 1 && tunnels >= 3)) || die "through the proxy: $logins logins asked, $tunnels tunnels"
kill "$tinyproxy_pid"

# At a scale of 2 the 1024x768 screen is 512x384 for the program: every window still fits on it.
fits() {
  local X Y WIDTH HEIGHT WINDOW SCREEN; eval "$(xdotool getwindowgeometry --shell "$1")"
  ((X >= 0 && Y >= 0 && X + WIDTH <= 1024 && Y + HEIGHT <= 768)) || die "$2: ${WIDTH}x$HEIGHT at $X,$Y"
}
stop "$wizard_pid" && QT_SCALE_FACTOR=2 start_wizard quorvaneenroll://download/
fits "$main_window" "the main window"
d=$(await_dialog "PIN dialog") && fits "$d" "the PIN dialog" && focus "$d" && xdotool type "$pin"
xdotool key Return && await_gone "$d" && fits "$(await_dialog "the declaration" 120)" "the declaration"
