#!/usr/bin/env bash
# A token in a software TPM, of its own in DIR, for tests and the demo: swtpm, its resource
# manager tpm2-abrmd on a private session bus, and a tpm2-pkcs11 store holding one token.
# tpm2-pkcs11 and its tool load more objects at once than a TPM holds: talking to swtpm
# directly, addtoken fails with "out of memory for object contexts"; the resource manager swaps
# them out. The TPM's ports come from the kernel, the bus listens in DIR (in /tmp when DIR's
# path is too long for a socket or has characters a bus address escapes) and state and store
# live in DIR, so runs in different DIRs never meet. The TPM tools are always told where the
# TPM is: left alone they look for one on the system bus, in /dev and on the default port, and
# the library keeps its store in ~.
#   tests/tokens/tpm.sh start DIR LABEL USER_PIN SO_PIN
#       one token, made anew; KEY=VALUE lines on stdout (the library first, then its
#       environment), the same as export lines in DIR/env; tool output in DIR/tpm.log
#   tests/tokens/tpm.sh stop DIR
#       ends the processes that start recorded in DIR
# The library always shows a second slot whose token is not initialised, and both slots report
# the serial number 0000000000000000.
set -euo pipefail

readonly module=/usr/lib/x86_64-linux-gnu/pkcs11/libtpm2_pkcs11.so
readonly tcti=tabrmd:bus_type=session

# Ends the processes whose pid files are in DIR, if they are still the ones started there.
stop_stack() {
  local name pid
  for name in tpm2-abrmd dbus-daemon swtpm; do
    [ -s "$dir/$name.pid" ] || continue
    pid=$(cat "$dir/$name.pid")
    if [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ]; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$name" ] || break
        grep -q '^[^)]*) Z' "/proc/$pid/stat" 2>/dev/null && break
        sleep 0.1
      done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/$name.pid"
  done
}

# A port N for the TPM whose neighbour N+1 (the control channel) is free too.
free_port_pair() {
  python3 -c '
import socket
while True:
    a, b = socket.socket(), socket.socket()
    try:
        a.bind(("127.0.0.1", 0))
        port = a.getsockname()[1]
        b.bind(("127.0.0.1", port + 1))
        print(port)
        break
    except (OSError, OverflowError):
        pass
    finally:
        a.close()
        b.close()'
}

stack=tpm
# shellcheck source-path=SCRIPTDIR source=stack.sh
. "$(dirname "$(realpath "$0")")/stack.sh"

[ -f "$module" ] || die "no tpm2-pkcs11 library at $module (scripts/install-deps.sh installs it)"
for tool in swtpm tpm2-abrmd dbus-daemon tpm2_ptool tpm2_getcap python3 pkcs11-tool; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/install-deps.sh installs it)"
done

stop_stack
trap stop_stack EXIT
rm -rf "$dir/tpm-state" "$dir/tpm-store"
mkdir "$dir/tpm-state" "$dir/tpm-store"

# The TPM; another program may take the port between the question and the bind: try again.
port=""
for _ in 1 2 3 4 5; do
  p=$(free_port_pair) || die "python3 found no free port"
  if swtpm socket --tpm2 --daemon --tpmstate dir="$dir/tpm-state" \
      --server type=tcp,port="$p",bindaddr=127.0.0.1 \
      --ctrl type=tcp,port=$((p + 1)),bindaddr=127.0.0.1 \
      --flags not-need-init,startup-clear --pid file="$dir/swtpm.pid" \
      --log file="$dir/swtpm.log" 3>&- 4>&-; then
    port=$p
    break
  fi
done
[ -n "$port" ] || die "swtpm did not start (see $dir/swtpm.log)"

# The private session bus, listening in DIR when its path leaves room for the socket's name
# and needs no escaping in a bus address.
listen=unix:dir=$dir
[[ ${#dir} -le 80 && $dir =~ ^[-0-9A-Za-z_/.]+$ ]] || listen=unix:tmpdir=/tmp
cat >"$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>$listen</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file="$dir/bus.conf" --fork --print-address=5 --print-pid=6 \
  5>"$dir/bus.address" 6>"$dir/dbus-daemon.pid" 3>&- 4>&- ||
  die "dbus-daemon did not start (see $log)"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$dir/bus.address")
export DBUS_SESSION_BUS_ADDRESS
[ -n "$DBUS_SESSION_BUS_ADDRESS" ] || die "dbus-daemon gave no address (see $log)"

# The resource manager on that bus, in front of the TPM.
tpm2-abrmd --session --allow-root --tcti="swtpm:host=127.0.0.1,port=$port" </dev/null 3>&- 4>&- &
echo $! >"$dir/tpm2-abrmd.pid"
export TPM2TOOLS_TCTI=$tcti
ready=0
for _ in $(seq 100); do
  if tpm2_getcap properties-fixed >/dev/null 2>&1; then ready=1; break; fi
  sleep 0.1
done
[ "$ready" = 1 ] || die "tpm2-abrmd did not answer on its bus (see $log)"

# The store and its one token.
export TPM2_PKCS11_STORE=$dir/tpm-store TPM2_PKCS11_TCTI=$tcti
tpm2_ptool init --path="$TPM2_PKCS11_STORE" || die "tpm2_ptool init failed (see $log)"
tpm2_ptool addtoken --pid=1 --label="$label" --userpin="$pin" --sopin="$so_pin" \
  --path="$TPM2_PKCS11_STORE" || die "tpm2_ptool addtoken failed (see $log)"
pkcs11-tool --module "$module" --token-label "$label" --login --pin "$pin" --list-objects ||
  die "no login on the new token (see $log)"

trap - EXIT
emit QE_TOKEN_MODULE "$module" TPM2_PKCS11_STORE "$TPM2_PKCS11_STORE" \
  TPM2_PKCS11_TCTI "$tcti" DBUS_SESSION_BUS_ADDRESS "$DBUS_SESSION_BUS_ADDRESS"
echo "== ready on port $port"
