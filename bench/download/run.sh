#!/usr/bin/env bash
# Download benchmark: a package of about 200 MB from the reference service over loopback TLS.
#   qv-download.exe (the installer's client and transport) against winhttp-read-loop.exe (the
#   least a WinHTTP program can do), both under Wine, alternating, several runs, medians and
#   their ratio; curl natively for the record; peak memory of qv-download.
# Targets: qv-download at most 1.05 x the read loop's wall time; its peak memory at most the
# body size + 16 MiB above what the same program needs for a tiny package.
#   bench/download/run.sh [RUNS] [SIZE_MB]      (defaults 5 and 200)
# Needs the native and windows presets configured (it builds the targets it uses);
# QUORVEX_NATIVE_BUILD_DIR names another native build tree whose service to use as it is.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
RUNS=${1:-5}
SIZE_MB=${2:-200}
NATIVE=${QUORVEX_NATIVE_BUILD_DIR:-$ROOT/build/native}
WINDOWS=$ROOT/build/windows
WORK=$WINDOWS/bench-download
FIXTURES=$ROOT/tests/windows/fixtures

if [ -z "${QUORVEX_NATIVE_BUILD_DIR:-}" ]; then cmake --build --preset native --target qv-service >/dev/null; fi
cmake --build --preset windows --target qv-download winhttp-read-loop trust-ca >/dev/null
QV_DOWNLOAD=$WINDOWS/tools/cli/qv-download.exe
READ_LOOP=$WINDOWS/bench/download/winhttp-read-loop.exe
TRUST_CA=$WINDOWS/tests/windows/trust-ca.exe

mkdir -p "$WORK/storage/server_files/updates"
"$FIXTURES/make-certs.sh" "$WORK/tls"
"$WINDOWS/wine-env" setup >/dev/null
"$WINDOWS/wine-run" "$TRUST_CA" "Z:$WORK/tls/ca.pem"

PACKAGE=bench_x86.zip
BODY=$WORK/storage/server_files/updates/$PACKAGE
if [ ! -f "$BODY" ] || [ "$(stat -c %s "$BODY")" -ne $((SIZE_MB * 1000 * 1000)) ]; then
  head -c $((SIZE_MB * 1000 * 1000)) /dev/urandom >"$BODY"
fi
head -c 1000 /dev/urandom >"$WORK/storage/server_files/updates/tiny_x86.zip"
SIZE=$(stat -c %s "$BODY")

printf '%s' '&vOlt_582%' >"$WORK/password"
"$FIXTURES/background.sh" start "$WORK/service" "$WORK/service/port" "$NATIVE/service/qv-service" \
  --listen 127.0.0.1:0 --port-file "$WORK/service/port" --cert "$WORK/tls/server.pem" --key "$WORK/tls/server.key" \
  --storage "$WORK/storage" --base-path /admin --user Tellavorne --password-file "$WORK/password"
trap '"$FIXTURES/background.sh" stop "$WORK/service"; rm -f "$WORK"/out-*' EXIT
PORT=$(cat "$WORK/service/port")
API=https://127.0.0.1:$PORT/admin

# The request's headers exactly as the installer sends them, for the read loop and curl.
read -r DATABASE FILENAME AUTH < <(python3 - "$PACKAGE" <<'PY'
import base64, sys, urllib.parse
enc = lambda text: urllib.parse.quote(base64.b64encode(text.encode()).decode(), safe="-._")
print(enc("server_files"), enc("updates\\" + sys.argv[1]),
      base64.b64encode(b"Tellavorne:&vOlt_582%").decode())
PY
)
HEADERS=("x-database: $DATABASE" "x-filename: $FILENAME" "Authorization: Basic $AUTH"
         "Content-Type: application/octet-stream")

# Wall seconds and peak resident KiB of one command, as "SECONDS KIB".
measure() {
  /usr/bin/time -f '%e %M' -o "$WORK/time" "$@" >"$WORK/stdout" 2>"$WORK/stderr" || {
    echo "bench: $1 failed:" >&2
    cat "$WORK/stdout" "$WORK/stderr" >&2
    exit 1
  }
  cat "$WORK/time"
}

median() { sort -n | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

: >"$WORK/qv.times"
: >"$WORK/loop.times"
: >"$WORK/qv.peaks"
: >"$WORK/loop.peaks"
run_loop() {
  read -r t m < <(measure "$WINDOWS/wine-run" "$READ_LOOP" "$API/files/download" "Z:$WORK/out-loop" "${HEADERS[@]}")
  echo "$t" >>"$WORK/loop.times"
  echo "$m" >>"$WORK/loop.peaks"
}
run_qv() {
  read -r t m < <(measure "$WINDOWS/wine-run" "$QV_DOWNLOAD" "$API" "$PACKAGE" "Z:$WORK/out-qv")
  echo "$t" >>"$WORK/qv.times"
  echo "$m" >>"$WORK/qv.peaks"
  grep -qx 'status 200' "$WORK/stdout" || { echo "bench: qv-download did not get the package" >&2; exit 1; }
}
for run in $(seq "$RUNS"); do
  # Alternating which goes first evens out what the previous run leaves behind.
  if [ $((run % 2)) -eq 1 ]; then run_loop; run_qv; else run_qv; run_loop; fi
  if [ "$run" -eq 1 ]; then
    cmp -s "$WORK/out-qv" "$BODY" || { echo "bench: qv-download's file differs from the package" >&2; exit 1; }
    cmp -s "$WORK/out-loop" "$BODY" || { echo "bench: the read loop's file differs from the package" >&2; exit 1; }
  fi
done

: >"$WORK/curl.times"
for run in $(seq 3); do
  curl_args=(-sS --fail --cacert "$WORK/tls/ca.pem" -o "$WORK/out-curl")
  for h in "${HEADERS[@]}"; do curl_args+=(-H "$h"); done
  read -r t _ < <(measure curl "${curl_args[@]}" "$API/files/download")
  echo "$t" >>"$WORK/curl.times"
done

read -r _ tiny_peak < <(measure "$WINDOWS/wine-run" "$QV_DOWNLOAD" "$API" tiny_x86.zip "Z:$WORK/out-tiny")

qv=$(median <"$WORK/qv.times")
loop=$(median <"$WORK/loop.times")
curl_median=$(median <"$WORK/curl.times")
qv_peak=$(sort -n "$WORK/qv.peaks" | tail -1)
loop_peak=$(sort -n "$WORK/loop.peaks" | tail -1)
awk -v size="$SIZE" -v runs="$RUNS" -v qv="$qv" -v loop="$loop" -v curl="$curl_median" \
    -v qvpeak="$qv_peak" -v looppeak="$loop_peak" -v tiny="$tiny_peak" \
    -v qvall="$(tr '\n' ' ' <"$WORK/qv.times")" -v loopall="$(tr '\n' ' ' <"$WORK/loop.times")" 'BEGIN {
  mib = 1024 * 1024
  printf "package            %d bytes (%.1f MiB), %d runs each, loopback TLS\n", size, size / mib, runs
  printf "read loop (Wine)   median %6.2f s   runs: %s\n", loop, loopall
  printf "qv-download (Wine) median %6.2f s   runs: %s\n", qv, qvall
  printf "curl (native)      median %6.2f s   (for the record)\n", curl
  ratio = qv / loop
  printf "time ratio         qv-download / read loop = %.3f   (target <= 1.05: %s)\n", ratio, ratio <= 1.05 ? "met" : "NOT met"
  printf "                   qv-download / curl      = %.3f\n", qv / curl
  growth = (qvpeak - tiny) * 1024
  limit = size + 16 * mib
  printf "peak resident      qv-download %.1f MiB, read loop %.1f MiB, qv-download for a 1000-byte package %.1f MiB\n",
         qvpeak / 1024, looppeak / 1024, tiny / 1024
  printf "peak for the body  %.1f MiB above the tiny download; body + 16 MiB = %.1f MiB   (target: %s)\n",
         growth / mib, limit / mib, growth <= limit ? "met" : "NOT met"
}'
