#!/usr/bin/env bash
# One job through the Windows build under Wine, from the hot folder to the print server: a
# private cupsd with a capture queue, plotspool.exe in a folder of its own, an A3 landscape plot
# dropped into the transfer tree for a profile that wants A3 portrait on driver paper 8. Passes
# when the captured document is one A3 portrait page holding the turned picture, the log has the
# print line and the job has left the transfer tree. The printer's own tests
# (PrinterWin32Test.*) run first against the same server.
#   e2e-windows.sh [BUILD_DIR]      (run as root: the print server's filters run as user lp)
# E2E_KEEP=1 keeps the folders and the captured jobs; E2E_TIMEOUT (seconds) bounds the wait.
# Exits 77 (skipped) when it cannot set up its print server.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build_dir=$(realpath -m "${1:-${BUILD_DIR:-build-windows}}")
export WINEPREFIX=${WINEPREFIX:-$build_dir/wine-prefix}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
queue=E2EPlotter
timeout_s=${E2E_TIMEOUT:-180}

fail() {
  echo "e2e-windows: FAIL: $*" >&2
  [ -f "${app:-/nonexistent}/plotspool.log" ] && sed 's/^/  log: /' "$app/plotspool.log" >&2
  exit 1
}
if [ "$(id -u)" -ne 0 ] || ! command -v cupsd >/dev/null; then
  echo "e2e-windows: needs root and cupsd; skipped" >&2
  exit 77
fi
[ -f "$WINEPREFIX/.plotspool-ready" ] || { echo "e2e-windows: no Wine prefix (run scripts/test-windows.sh)"; exit 77; }

# The server's filters run as lp: every folder on the way must be traversable.
work=$(mktemp -d /tmp/plotspool-e2e.XXXXXX)
chmod 755 "$work"
rig=$work/rig
app=$work/app
transfer=$work/transfer
service_pid=
cleanup() {
  if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
  if [ -n "${E2E_KEEP:-}" ]; then
    # Kept for a look: the captured jobs stay in rig/jobs.
    "$source_dir/scripts/cups-rig.sh" halt "$rig" >/dev/null 2>&1 || true
    echo "e2e-windows: kept $work" >&2
  else
    "$source_dir/scripts/cups-rig.sh" stop "$rig" >/dev/null 2>&1 || true
    rm -rf "$work"
  fi
}
trap cleanup EXIT

started=
for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 20000))
  if "$source_dir/scripts/cups-rig.sh" start "$rig" "$port" 2>/dev/null; then
    started=1
    break
  fi
done
[ -n "$started" ] || { echo "e2e-windows: no print server could start; skipped" >&2; exit 77; }
"$source_dir/scripts/cups-rig.sh" add-capture "$rig" "$queue" "E2E Plotter"
export CUPS_SERVER=127.0.0.1:$port

# Z: is the Linux root under Wine.
win_path() { echo "Z:${1//\//\\}"; }

# The printer's own tests need the same print server: one queue, its capture folder.
if [ -x "$build_dir/plotspool_tests.exe" ]; then
  PLOTSPOOL_PRINT_QUEUE=$queue PLOTSPOOL_PRINT_CAPTURES=$(win_path "$rig/jobs") \
    "$wine" "$build_dir/plotspool_tests.exe" --gtest_filter='PrinterWin32Test.*' >"$work/printer-tests.out" 2>&1 ||
    fail "printer tests: $(grep -a -E '^\[  FAILED|Failure|error' "$work/printer-tests.out" | head -20)"
  grep -a -h '^\[       OK' "$work/printer-tests.out" | sed 's/^/e2e-windows: /'
fi

mkdir -p "$app" "$transfer/$queue"
cp "$build_dir/plotspool.exe" "$app/"
# Missing keys are written with their defaults by the service itself.
printf '[Global]\r\nWartezeit=1\r\nAdminLog=0\r\nUebergabePfad=%s\\\r\nProgrammEnde=0\r\n' \
  "$(win_path "$transfer")" >"$app/plotspool.ini"
printf '[%s]\r\nsPrinterName=%s\r\nsOrientationA3=H\r\nsPN_A3=8\r\n' "$queue" "$queue" \
  >>"$app/plotspool.ini"

# An A3 landscape plot at 100 dpi (bilevel, G4), made before the service sees anything.
sample=$work/plan.tif
if [ -x "$source_dir/build/plotspool-sample" ]; then
  "$source_dir/build/plotspool-sample" A3 landscape 100 "$sample" >/dev/null
else
  "$wine" "$build_dir/plotspool-sample.exe" A3 landscape 100 "$(win_path "$sample")" >/dev/null
fi
[ -s "$sample" ] || fail "no sample plot was made"

# The printer's tests left their own captures in the queue: the service's job is numbered after
# them.
newest_job() {
  local newest=0 txt id
  for txt in "$rig/jobs/$queue"-*.txt; do
    [ -f "$txt" ] || continue
    id=${txt##*-}
    id=${id%.txt}
    [ "$id" -gt "$newest" ] && newest=$id
  done
  echo "$newest"
}
jobs_before=$(newest_job)

"$wine" "$app/plotspool.exe" </dev/null >"$work/service.out" 2>&1 &
service_pid=$!

# The walk passes over hidden files: the plot appears under its name only once it is whole.
cp "$sample" "$transfer/$queue/.plan.tif.part"
mv "$transfer/$queue/.plan.tif.part" "$transfer/$queue/plan.tif"

deadline=$((SECONDS + timeout_s))
captured=
while [ $SECONDS -lt $deadline ]; do
  newest=$(newest_job)
  [ "$newest" -gt "$jobs_before" ] && captured=$rig/jobs/$queue-$newest.doc
  if [ -n "$captured" ] && [ ! -e "$transfer/$queue/plan.tif" ] &&
    grep -q "Print plan.tif on $queue" "$app/plotspool.log" 2>/dev/null; then
    break
  fi
  kill -0 "$service_pid" 2>/dev/null || fail "the service ended early: $(cat "$work/service.out")"
  sleep 1
done
[ -n "$captured" ] || fail "no job reached queue $queue within ${timeout_s}s"
[ "$(newest_job)" -eq $((jobs_before + 1)) ] || fail "more than one job reached queue $queue"
grep -q "Print plan.tif on $queue" "$app/plotspool.log" || fail "no print line in the log"
[ ! -e "$transfer/$queue/plan.tif" ] || fail "the job is still in the transfer tree"

# The page: the driver's A3 feature in portrait.
grep -aq '^%%BeginFeature: \*PageSize A3' "$captured" || fail "the page is not A3"
grep -aq '^%%Orientation: Portrait' "$captured" || fail "the page is not portrait"
# The picture: its bands share one width and add up to the turned plot, taller than wide.
read -r width height bands < <(awk '
  /^ *\/Width [0-9]+/ { w = $2; n++ }
  /^ *\/Height [0-9]+/ { h += $2 }
  END { print w + 0, h + 0, n + 0 }' "$captured")
[ "$bands" -ge 1 ] || fail "no picture on the page"
[ "$width" -gt 0 ] && [ "$height" -gt "$width" ] || fail "picture ${width}x${height} is not portrait"
# 297 x 420 mm at 100 dpi, within a pixel of rounding.
[ $((width - 1169)) -ge -1 ] && [ $((width - 1169)) -le 1 ] &&
  [ $((height - 1654)) -ge -1 ] && [ $((height - 1654)) -le 1 ] ||
  fail "picture ${width}x${height} is not the turned 1654x1169 plot"

# The print is followed at the next ticks; a spooler that has passed the job on must not make
# it look lost.
sleep 3
if grep -a -q "$(printf '\terror\t')" "$app/plotspool.log"; then fail "error lines in the log"; fi

# Stop the service the way an operator does, and let it write ProgrammEnde=0 back.
sed -i 's/^ProgrammEnde=0/ProgrammEnde=1/' "$app/plotspool.ini"
for _ in $(seq 1 30); do
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 1
done
kill -0 "$service_pid" 2>/dev/null && fail "the service did not stop on ProgrammEnde=1"
service_pid=
echo "e2e-windows: PASS: $(basename "$captured") is one A3 portrait page with a" \
  "${width}x${height} picture in $bands band(s)"
