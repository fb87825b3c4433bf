#!/usr/bin/env bash
# Download benchmark: a package of about 200 MB from the reference service over loopback TLS.
#   qv-download.exe (the installer's client and transport) against winhttp-read-loop.exe (the
#   least a WinHTTP program can do), both under Wine, alternating, several runs, medians and
#   their ratio; curl natively for the record; peak memory of qv-download.
# Targets: qv-download at most 1.05 x the read loop's wall time; its peak memory at most the
# body size + 16 MiB above what the same program needs for a tiny package.
#   bench/download/run.sh [RUNS] [SIZE_MB]      (defaults 7 and 200)
# Needs the native and windows presets configured (it builds the targets it uses);
# QUORVEX_NATIVE_BUILD_DIR names another native build tree whose service to use as it is.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
RUNS=${1:-7}
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

# Wall seconds, peak resident KiB and CPU seconds of one command, as "SECONDS KIB CPU".
measure() {
  /usr/bin/time -f '%e %M %U %S' -o "$WORK/time" "$@" >"$WORK/stdout" 2>"$WORK/stderr" || {
    echo "bench: $1 failed:" >&2
    cat "$WORK/stdout" "$WORK/stderr" >&2
    exit 1
  }
  awk '{print $1, $2, $3 + $4}' "$WORK/time"
}

for f in qv.times loop.times qv.peaks loop.peaks qv.cpu loop.cpu; do : >"$WORK/$f"; done
run_loop() {
  read -r t m c < <(measure "$WINDOWS/wine-run" "$READ_LOOP" "$API/files/download" "Z:$WORK/out-loop" "${HEADERS[@]}")
  echo "$t" >>"$WORK/loop.times"
  echo "$m" >>"$WORK/loop.peaks"
  echo "$c" >>"$WORK/loop.cpu"
}
run_qv() {
  read -r t m c < <(measure "$WINDOWS/wine-run" "$QV_DOWNLOAD" "$API" "$PACKAGE" "Z:$WORK/out-qv")
  echo "$t" >>"$WORK/qv.times"
  echo "$m" >>"$WORK/qv.peaks"
  echo "$c" >>"$WORK/qv.cpu"
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
  read -r t _ _ < <(measure curl "${curl_args[@]}" "$API/files/download")
  echo "$t" >>"$WORK/curl.times"
done

read -r _ tiny_peak _ < <(measure "$WINDOWS/wine-run" "$QV_DOWNLOAD" "$API" tiny_x86.zip "Z:$WORK/out-tiny")

python3 - "$WORK" "$SIZE" "$tiny_peak" <<'PY'
import statistics, sys
work, size, tiny = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
read = lambda name: [float(v) for v in open("%s/%s" % (work, name)).read().split()]
qv, loop, curl = read("qv.times"), read("loop.times"), read("curl.times")
qv_cpu, loop_cpu = read("qv.cpu"), read("loop.cpu")
qv_peak, loop_peak = max(read("qv.peaks")), max(read("loop.peaks"))
mib = 1024 * 1024
runs = lambda values: " ".join("%.2f" % v for v in values)
print("package            %d bytes (%.1f MiB), %d runs each, loopback TLS" % (size, size / mib, len(qv)))
print("read loop (Wine)   median %6.2f s wall, %5.2f s CPU   runs: %s" % (statistics.median(loop), statistics.median(loop_cpu), runs(loop)))
print("qv-download (Wine) median %6.2f s wall, %5.2f s CPU   runs: %s" % (statistics.median(qv), statistics.median(qv_cpu), runs(qv)))
print("curl (native)      median %6.2f s wall   (for the record)" % statistics.median(curl))
ratio = statistics.median(qv) / statistics.median(loop)
paired = statistics.median(q / l for q, l in zip(qv, loop))
print("time ratio         qv-download / read loop: %.3f (of the medians; %.3f median of back-to-back pairs)   target <= 1.05: %s"
      % (ratio, paired, "met" if ratio <= 1.05 else "NOT met"))
print("                   CPU time ratio %.3f; qv-download / curl wall %.3f"
      % (statistics.median(qv_cpu) / statistics.median(loop_cpu), statistics.median(qv) / statistics.median(curl)))
growth = (qv_peak - tiny) * 1024
limit = size + 16 * mib
print("peak resident      qv-download %.1f MiB, read loop %.1f MiB, qv-download for a 1000-byte package %.1f MiB"
      % (qv_peak / 1024, loop_peak / 1024, tiny / 1024))
print("peak for the body  %.1f MiB above the tiny download; body + 16 MiB = %.1f MiB   target: %s"
      % (growth / mib, limit / mib, "met" if growth <= limit else "NOT met"))
PY
