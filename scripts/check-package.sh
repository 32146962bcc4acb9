#!/usr/bin/env bash
# Builds the Debian package, installs it, checks its files, user, permissions and unit, runs the
# installed service once as its user (a plot dropped, copied, logged, stopped), and removes and
# purges it again. Run as root on a machine where plotspool is not otherwise installed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
build_dir=${BUILD_DIR:-build}

fail() {
  echo "check-package: FAIL: $*" >&2
  exit 1
}
step() { echo "== $*"; }

if dpkg-query -W -f='${Status}' plotspool 2>/dev/null | grep -q "install ok installed"; then
  fail "plotspool is already installed; remove it first"
fi

step "build the package"
rm -f "$build_dir"/plotspool_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/plotspool_*.deb)
dpkg-deb -f "$deb" Depends
for dep in libtiff6 libzip4 libcups2 zlib1g; do
  dpkg-deb -f "$deb" Depends | grep -q "$dep" || fail "Depends lacks $dep"
done

step "install $deb"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "./$deb" >/dev/null
for f in /opt/plotspool/plotspool /opt/plotspool/bin/plotspool-sample \
  /lib/systemd/system/plotspool.service /etc/logrotate.d/plotspool \
  /opt/plotspool/doc/operations.md; do
  [ -e "$f" ] || fail "$f missing"
done
getent passwd plotspool >/dev/null || fail "no user plotspool"
[ "$(stat -c %G:%a /opt/plotspool)" = plotspool:775 ] || fail "/opt/plotspool not writable for plotspool"
/opt/plotspool/plotspool --version

step "systemd-analyze verify"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/plotspool.service || fail "unit rejected"
  echo "unit accepted"
else
  echo "systemd-analyze not available: skipped"
fi
if command -v logrotate >/dev/null; then
  logrotate -d /etc/logrotate.d/plotspool >/dev/null 2>&1 || fail "logrotate rejects the snippet"
fi

step "run the installed service as plotspool"
if [ -d /run/systemd/system ]; then systemctl stop plotspool || true; fi
work=$(mktemp -d /tmp/plotspool-check-XXXXXX)
chmod 755 "$work"
cat >/opt/plotspool/plotspool.ini <<INI
[Global]
Wartezeit=1
AdminLog=0
UebergabePfad=$work/in/
ProgrammEnde=0
[Plotter1]
sOutputFolder=$work/out
INI
chown plotspool:plotspool /opt/plotspool/plotspool.ini
install -d -o plotspool -g plotspool "$work/in" "$work/in/Plotter1" "$work/out"
runuser -u plotspool -- /opt/plotspool/plotspool &
service_pid=$!
/opt/plotspool/bin/plotspool-sample A4 landscape 150 "$work/plan.tif"
chown plotspool "$work/plan.tif"
mv "$work/plan.tif" "$work/in/Plotter1/plan.tif"
for _ in $(seq 1 60); do
  [ -f "$work/out/plan.tif" ] && [ ! -e "$work/in/Plotter1/plan.tif" ] && break
  sleep 0.5
done
[ -f "$work/out/plan.tif" ] || fail "no copy in the output folder"
[ ! -e "$work/in/Plotter1/plan.tif" ] || fail "job file not removed"
grep -q "info	Copy plan.tif on $work/out/" /opt/plotspool/plotspool.log || fail "no copy line in the log"
cat /opt/plotspool/plotspool.log
sed -i 's/^ProgrammEnde=0/ProgrammEnde=1/' /opt/plotspool/plotspool.ini
wait "$service_pid" || fail "service ended with status $?"
grep -q '^ProgrammEnde=0' /opt/plotspool/plotspool.ini || fail "ProgrammEnde=0 not written back"
[ "$(stat -c %U /opt/plotspool/plotspool.log)" = plotspool ] || fail "log not owned by plotspool"
rm -rf "$work"

step "remove"
apt-get remove -y -qq plotspool >/dev/null
[ ! -e /opt/plotspool/plotspool ] || fail "executable left after remove"
[ -f /opt/plotspool/plotspool.ini ] || fail "remove deleted the settings file"
step "purge"
apt-get purge -y -qq plotspool >/dev/null
[ ! -e /opt/plotspool ] || fail "/opt/plotspool left after purge: $(ls -A /opt/plotspool)"
[ ! -e /lib/systemd/system/plotspool.service ] || fail "unit left after purge"
! getent passwd plotspool >/dev/null || fail "user left after purge"
dpkg-query -W plotspool >/dev/null 2>&1 && fail "package still known to dpkg"
echo "check-package: OK"
