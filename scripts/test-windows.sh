#!/usr/bin/env bash
# Cross-builds (scripts/build-windows.sh) and runs the Windows tests under Wine through ctest.
# The Wine prefix lives in <build dir>/wine-prefix: made once, headless and without crash
# dialogs, then reused. One wineserver stays up for the whole run and is stopped at the end.
# Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(realpath -m "${BUILD_DIR:-build-windows}")
BUILD_DIR=$build_dir scripts/build-windows.sh

export WINEPREFIX=$build_dir/wine-prefix
export WINEDEBUG=-all
# No downloads of the .NET and HTML engines, no window system.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

if [ ! -f "$WINEPREFIX/.plotspool-ready" ]; then
  echo "test-windows: making the Wine prefix $WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1
  # A crash ends the program at once instead of waiting two minutes for a debugger.
  aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  "$wine" reg add "$aedebug" /v Debugger /t REG_SZ /d no-debugger.exe /f >/dev/null
  "$wine" reg add "$aedebug" /v Auto /t REG_SZ /d 1 /f >/dev/null
  # Hidden top-level windows (the service's timer window) need no display.
  "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null
  # The registry reaches the disk when the server ends.
  "$wineserver" -w
  touch "$WINEPREFIX/.plotspool-ready"
fi
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
# The first start of a program loads the prefix; done here, test discovery cannot time out on it.
"$wine" cmd /c exit >/dev/null 2>&1

# Wine now and then fails to start a process under load (a test "fails" in 0.00 s without a line
# of output and passes when run again), so a failed test gets one more run; a test that fails
# twice fails the run.
(cd "$build_dir" && ctest --output-on-failure -j "$(nproc)" --repeat until-pass:2 "$@")
# The installer, in a Wine prefix of its own; only for a whole run, not for a chosen few tests.
if [ $# -eq 0 ]; then
  scripts/check-windows-installer.sh "$build_dir"
fi
