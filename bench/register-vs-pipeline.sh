#!/usr/bin/env bash
# The register job done by hand with standard tools, against the authority simulator on a private
# SoftHSM2 token, compared with the wizard's register flow:
#   - pkcs11-tool generates an RSA 2048 key pair on the token,
#   - `openssl req` builds the request (the current certificate's subject and alternative names)
#     and has the token sign it through the pkcs11 engine,
#   - curl uploads the PEM to the rekey host, authenticated by the token's current certificate
#     whose key signs through the same engine, with the header block the wizard sends (a token
#     without a vendor product-name object is described as "N/A", as the wizard does).
# Then flows_bench --register-only runs the wizard's register flow as many times on a world set up
# the same way. Both sides reach SoftHSM2 through the project's fault-injecting module, which
# records how long each call took: key generation is timed the same way on both sides.
#
# Each run's key pair is removed afterwards, as the benchmark does with the wizard's. The simulator
# takes any number of uploads authenticated by one certificate until a renewal is installed, so
# one provisioned certificate serves every run.
#
#   bench/register-vs-pipeline.sh BUILD_DIR [RUNS]      (RUNS defaults to 9)
#
# Builds nothing. The last line is "register/pipeline ratio: X.XX" (medians of this run).
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ] || ! [[ "${2:-9}" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 BUILD_DIR [RUNS]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
runs=${2:-9}
sim="$build/sim/quorvane-authority-sim"
bench="$build/bench/flows_bench"
module="$build/tests/support/fault_pkcs11/libqe_fault_pkcs11.so"
softhsm=$(sed -n 's/^QE_SOFTHSM_LIBRARY:[A-Z]*=//p' "$build/CMakeCache.txt")
softhsm=${softhsm:-/usr/lib/softhsm/libsofthsm2.so}
for f in "$sim" "$bench" "$module" "$softhsm"; do
  [ -f "$f" ] || { echo "missing: $f (build the project first)" >&2; exit 1; }
done
engine=$(find /usr/lib /usr/local/lib -path '*engines-3/pkcs11.so' -print -quit 2>/dev/null)
[ -n "$engine" ] || { echo "the OpenSSL pkcs11 engine is not installed" >&2; exit 1; }

label="Pipeline"
pin="1234"
subject_dn="C=RO,O=Firma Exemplu SRL,CN=Ion Popescu"
subject_req="/C=RO/O=Firma Exemplu SRL/CN=Ion Popescu"
email="ion.popescu@example.ro"
upn="ion.popescu@firma.local"

work=$(mktemp -d "${TMPDIR:-/tmp}/register-vs-pipeline-XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# A private SoftHSM2 behind the recording module, and an OpenSSL configuration whose pkcs11 engine
# drives that module (given to openssl and curl only).
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\nslots.removable = false\n' \
  "$work/tokens" > "$work/softhsm2.conf"
export SOFTHSM2_CONF="$work/softhsm2.conf"
printf 'library %s\nrecord %s\nrecord-time\n' "$softhsm" "$work/calls.txt" > "$work/fault.conf"
export QE_FAULT_PKCS11_CONFIG="$work/fault.conf"
cat > "$work/openssl.cnf" <<EOF
openssl_conf = openssl_init
[openssl_init]
engines = engine_section
[engine_section]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $module
init = 0
[req]
distinguished_name = req_dn
[req_dn]
EOF

softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin 87654321 > /dev/null
"$sim" provision-token --state "$work/state" --module "$softhsm" --slot-label "$label" \
  --pin "$pin" --subject "$subject_dn" --email "$email" --upn "$upn" > /dev/null

"$sim" serve --state "$work/state" > "$work/sim.out" 2> "$work/sim.err" &
sim_pid=$!
for _ in $(seq 600); do
  grep -q '^ready ' "$work/sim.out" && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err" >&2; exit 1; }
  sleep 0.1
done
ready=$(grep '^ready ' "$work/sim.out") || { echo "the simulator did not start" >&2; exit 1; }
rekey=$(sed -n 's/.* rekey=\([^ ]*\).*/\1/p' <<< "$ready")
ca=$(sed -n 's/.* ca=\([^ ]*\).*/\1/p' <<< "$ready")

p11() { pkcs11-tool --module "$module" --token-label "$label" "$@"; }

# The current certificate (client certificate of the upload) and the token's description, cut at
# the first blank as the wizard cuts them.
p11 --read-object --type cert --label "Ion Popescu" --output-file "$work/current.der" > /dev/null
openssl x509 -inform DER -in "$work/current.der" -out "$work/current.pem"
slots=$(pkcs11-tool --module "$softhsm" --list-token-slots)
field() { sed -n "s/^ *$1 *: *\([^ ]*\).*/\1/p" <<< "$slots" | head -n 1; }
serial=$(field "serial num")
manufacturer=$(field "token manufacturer")
model=$(field "token model")
[ -n "$serial" ] || { echo "cannot read the token's serial number" >&2; exit 1; }

uri="pkcs11:token=$label;type=private;pin-value=$pin"
now_us() { echo $(( $(date +%s%N) / 1000 )); }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2];
                                                else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Microseconds spent inside C_GenerateKeyPair since the record was last emptied.
keygen_us() { sed -n 's/^C_GenerateKeyPair .* us=\([0-9]*\) .*/\1/p' "$work/calls.txt" |
                awk '{ s += $1 } END { print s + 0 }'; }

echo "Register job by hand: pkcs11-tool, openssl req (pkcs11 engine), curl; $runs runs"
totals=()
keygens=()
steps_keypair=()
steps_request=()
steps_upload=()
for i in $(seq "$runs"); do
  key="pipeline-$i"
  : > "$work/calls.txt"
  start=$(now_us)
  p11 --login --pin "$pin" --keypairgen --key-type rsa:2048 --id "$(printf 'a0%02x' "$i")" \
    --label "$key" > /dev/null
  generated=$(now_us)
  OPENSSL_CONF="$work/openssl.cnf" openssl req -new -utf8 -engine pkcs11 -keyform engine \
    -key "$uri;object=$key" -sha256 -subj "$subject_req" \
    -addext "subjectAltName=otherName:1.3.6.1.4.1.311.20.2.3;UTF8:$upn,email:$email" \
    -out "$work/request.pem" 2> "$work/req.err" || { cat "$work/req.err" >&2; exit 1; }
  signed=$(now_us)
  OPENSSL_CONF="$work/openssl.cnf" curl --silent --show-error --fail-with-body \
    --output "$work/answer.txt" --engine pkcs11 --cert "$work/current.pem" --key-type ENG \
    --key "$uri;object=Ion%20Popescu" --cacert "$ca" \
    -H "ENROLL_VERSION: 2.7.23" -H "ENROLL_LANG: RO" -H "TOKEN_SERIAL: $serial" \
    -H "TOKEN_MANUFACTURER: $manufacturer" -H "TOKEN_MODEL: $model" -H "TOKEN_PRODUCT_NAME: N/A" \
    -H "Accept: text/plain" -H "Content-Type:" -H "Expect:" \
    --data-binary "@$work/request.pem" "https://$rekey/rest/certificate/pkcs10" \
    || { echo; cat "$work/answer.txt" >&2; exit 1; }
  end=$(now_us)
  totals+=("$(ms $((end - start)))")
  keygens+=("$(ms "$(keygen_us)")")
  steps_keypair+=("$(ms $((generated - start)))")
  steps_request+=("$(ms $((signed - generated)))")
  steps_upload+=("$(ms $((end - signed)))")
  for type in privkey pubkey; do
    p11 --login --pin "$pin" --delete-object --type "$type" --label "$key" > /dev/null
  done
done
issued=$(grep -c 'rekey issued certificate' "$work/sim.err" || true)
[ "$issued" -eq "$runs" ] || { echo "the simulator issued $issued of $runs" >&2; exit 1; }

median_of() { printf '%s\n' "$@" | median; }
pipeline_median=$(median_of "${totals[@]}")
pipeline_keygen=$(median_of "${keygens[@]}")
rest=()
for i in "${!totals[@]}"; do
  rest+=("$(awk -v t="${totals[$i]}" -v k="${keygens[$i]}" 'BEGIN { print t - k }')")
done
pipeline_rest=$(median_of "${rest[@]}")
echo "pipeline runs (total/keygen ms): $(paste -d/ <(printf '%s\n' "${totals[@]}") \
  <(printf '%s\n' "${keygens[@]}") | tr '\n' ' ')"
echo "pipeline step medians (ms): key pair (pkcs11-tool) $(median_of "${steps_keypair[@]}")," \
  "request (openssl req) $(median_of "${steps_request[@]}"), upload (curl)" \
  "$(median_of "${steps_upload[@]}")"
echo "pipeline median ms: $pipeline_median (key generation $pipeline_keygen," \
  "everything else $pipeline_rest)"

echo
echo "The wizard's register flow: flows_bench --register-only $runs"
wizard_out=$(env -u SOFTHSM2_CONF -u QE_FAULT_PKCS11_CONFIG "$bench" --register-only "$runs") \
  || { echo "$wizard_out"; exit 1; }
echo "$wizard_out"
wizard_median=$(sed -n 's/^register median ms: //p' <<< "$wizard_out")
wizard_own=$(sed -n 's/^register own median ms: //p' <<< "$wizard_out")
read -r -a wizard_keygens <<< "$(sed -n 's/^register runs (wall\/keygen ms)://p' <<< "$wizard_out" |
  tr ' ' '\n' | sed -n 's/^[0-9.]*\///p' | tr '\n' ' ')"
pooled_keygen=$(median_of "${keygens[@]}" "${wizard_keygens[@]}")

# Key generation is the same token call on both sides, but its time varies a lot from key to key
# (the search for primes), so the two medians differ by chance; the second line puts the same
# key generation time on both sides.
echo
awk -v w="$wizard_own" -v p="$pipeline_rest" \
  'BEGIN { printf "without key generation: wizard %.1f ms, pipeline %.1f ms, ratio %.2f\n",
           w, p, w / p }'
awk -v w="$wizard_own" -v p="$pipeline_rest" -v k="$pooled_keygen" \
  'BEGIN { printf "with the median key generation of both sides (%.1f ms): ratio %.2f\n",
           k, (k + w) / (k + p) }'
awk -v w="$wizard_median" -v p="$pipeline_median" \
  'BEGIN { printf "register/pipeline ratio: %.2f\n", w / p }'
