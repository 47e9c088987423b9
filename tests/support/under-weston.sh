#!/bin/sh
# Runs a command as a client of a private headless Weston compositor (Qt on Wayland), then stops
# the compositor. The command's exit status is the script's.
#   under-weston.sh COMMAND [ARGUMENT...]
set -eu
runtime=$(mktemp -d "${TMPDIR:-/tmp}/weston.XXXXXX")
chmod 700 "$runtime"
export XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=wayland-qe QT_QPA_PLATFORM=wayland
# The headless compositor has no keyboard: Qt's Wayland text input would then fail on a test's
# synthetic keys, so keys take the plain compose path.
export QT_IM_MODULE=compose
weston --backend=headless-backend.so --use-pixman --socket=wayland-qe --idle-time=0 \
    --width=1024 --height=768 >"$runtime/weston.log" 2>&1 &
compositor=$!
trap 'kill $compositor 2>/dev/null; wait $compositor 2>/dev/null; rm -rf "$runtime"' EXIT
tries=0
until [ -S "$runtime/wayland-qe" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 200 ] || ! kill -0 $compositor 2>/dev/null; then
        echo "weston did not start:" >&2
        cat "$runtime/weston.log" >&2
        exit 1
    fi
    sleep 0.05
done
status=0
"$@" || status=$?
exit $status
