#!/usr/bin/env bash
# Builds the Windows installer in a cross-build tree and checks it under Wine the way an
# administrator uses it: a silent install registers and starts the service, which writes its
# settings file beside itself; a silent uninstall stops and removes the service and the installed
# files and keeps the settings file and the log. Runs in a Wine prefix of its own, made anew each
# time: a machine where it ran before would answer the installer's questions from then.
# Called by scripts/test-windows.sh after its tests, with the build directory.
set -euo pipefail
build_dir=$(realpath "$1")
wine=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$build_dir/wine-prefix-installer WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
folder="$WINEPREFIX/drive_c/Program Files/plotspool"

fail() {
  echo "check-windows-installer: FAILED: $*" >&2
  exit 1
}
# Waits up to 60 s for the shell condition "$1".
wait_for() {
  local i
  for i in $(seq 1 120); do
    eval "$1" && return 0
    sleep 0.5
  done
  return 1
}
service_state() { "$wine64" sc query plotspool 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }

(cd "$build_dir" && cpack -G NSIS >/dev/null)
installer=$(ls "$build_dir"/plotspool-*-win64.exe)

rm -rf "$WINEPREFIX"
"$wine64" wineboot --init >/dev/null 2>&1
"$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null
aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
"$wine64" reg add "$aedebug" /v Debugger /t REG_SZ /d no-debugger.exe /f >/dev/null
"$wine64" reg add "$aedebug" /v Auto /t REG_SZ /d 1 /f >/dev/null
"$wineserver" -w
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT

"$wine" "$installer" /S
wait_for '[ -f "$folder/plotspool.exe" ]' || fail "nothing installed in $folder"
wait_for '[ "$(service_state)" = RUNNING ]' || fail "service not running: $(service_state)"
wait_for 'grep -qs "^ProgrammEnde=0" "$folder/plotspool.ini"' ||
  fail "the running service wrote no settings file beside itself"
image_path=$("$wine64" reg query 'HKLM\System\CurrentControlSet\Services\plotspool' /v ImagePath |
  tr -d '\r' | grep ImagePath)
case $image_path in
  *'"C:\Program Files\plotspool\plotspool.exe"'*) ;;
  *) fail "service path not quoted: $image_path" ;;
esac

"$wine64" net stop plotspool >/dev/null
wait_for '[ "$(service_state)" = STOPPED ]' || fail "service did not stop: $(service_state)"
# A log the service wrote stays as well; it writes one only when it has something to say.
printf 'a line of the log\r\n' >"$folder/plotspool.log"

# The uninstaller copies itself away and returns at once; its work shows in the files.
"$wine" "C:\\Program Files\\plotspool\\Uninstall.exe" /S
wait_for '[ ! -f "$folder/plotspool.exe" ] && [ -z "$(service_state)" ]' ||
  fail "uninstall left the program or the service ($(service_state))"
[ -f "$folder/plotspool.ini" ] && [ -f "$folder/plotspool.log" ] ||
  fail "uninstall removed the settings file or the log"
echo "check-windows-installer: install, service start and stop, uninstall: passed"
