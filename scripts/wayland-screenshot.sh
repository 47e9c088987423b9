#!/usr/bin/env bash
# The real program's main window as a Wayland compositor shows it (headless Weston, client-side
# decorations), idle after its status check against the simulator and a SoftHSM2 token:
# docs/screenshots/wayland-main-idle.png. Uses the build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
die() { echo "wayland-screenshot: $*" >&2; exit 1; }
world=$(mktemp -d "${TMPDIR:-/tmp}/qe-wayland.XXXXXX")
wizard=$PWD/build/src/app/quorvane-enroll sim=$PWD/build/sim/quorvane-authority-sim
pin=123456 so_pin=12345678 top=$PWD
# shellcheck source=scripts/headless-world.sh
. scripts/headless-world.sh
weston_pid=""
trap 'stop "$weston_pid"; stop_world; rm -rf "$world"' EXIT
mkdir -p "$world/authority"
start_token softhsm "Quorvane Demo"
"$sim" provision-token --state "$world/authority" --module "$module" --slot-label "Quorvane Demo" \
  --pin "$pin" --subject "CN=Ion Popescu,O=Firma Exemplu SRL,C=RO" >/dev/null
start_simulator >/dev/null
# The screenshooter needs the compositor's debug protocols; no keyboard, so no text input method.
export XDG_RUNTIME_DIR=$world/runtime WAYLAND_DISPLAY=wayland-qe QT_QPA_PLATFORM=wayland
export QT_IM_MODULE=compose
weston --backend=headless-backend.so --use-pixman --debug --socket=wayland-qe --width=900 \
  --height=640 >"$world/weston.log" 2>&1 &
weston_pid=$!
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/wayland-qe" ] && break; sleep 0.1; done
"${wizard_env[@]}" "$wizard" >"$world/wizard.log" 2>&1 &
wizard_pid=$!
for _ in $(seq 300); do [ "$(status_answers)" -ge 1 ] && break; sleep 0.2; done
[ "$(status_answers)" -ge 1 ] || die "no status check reached the simulator"
sleep 2  # the answer painted
(cd "$world" && weston-screenshooter) || die "weston-screenshooter failed"
cp "$world"/wayland-screenshot-*.png "$top/docs/screenshots/wayland-main-idle.png"
echo "docs/screenshots/wayland-main-idle.png"
