#!/usr/bin/env bash
# A private CUPS server for tests and benchmarks. Run as root.
#   cups-rig.sh start DIR PORT               cupsd on 127.0.0.1:PORT and DIR/run/cups.sock
#   cups-rig.sh add-capture DIR QUEUE MODEL  queue whose jobs land in DIR/jobs/QUEUE-ID.{doc,txt};
#                                            MODEL becomes its printer-make-and-model
#   cups-rig.sh add-failing DIR QUEUE MODEL  a queue like add-capture whose device cannot be written,
#                                            so every job it starts is aborted
#   cups-rig.sh disable DIR QUEUE            stop the queue: its jobs wait
#   cups-rig.sh cancel DIR ID                cancel job ID
#   cups-rig.sh halt DIR                     stop the daemon, keep DIR (start DIR PORT again later)
#   cups-rig.sh stop DIR                     stop the daemon and remove DIR
# Clients select it with CUPS_SERVER=127.0.0.1:PORT. DIR and every parent must be traversable by
# user lp, or the filters of every job fail.
set -eu
cmd=$1
D=$(realpath -m "$2")

# PPD name : width pt : height pt. The queue maps them to PWG names (iso_a1_594x841mm, ...).
SIZES="A4:595.28:841.89 A3:841.89:1190.55 A2:1190.55:1683.78 A1:1683.78:2383.94
A0:2383.94:3370.39 Letter:612:792 Tabloid:792:1224 AnsiC:1224:1584 AnsiD:1584:2448
AnsiE:2448:3168 ARCHD:1728:2592"

# A zombie counts as gone: where nothing reaps orphans, a stopped daemon lingers as one.
alive() {
  local s
  s=$(ps -o stat= -p "$1" 2>/dev/null) && [ "${s#Z}" = "$s" ]
}
wait_for() {
  local i
  for i in $(seq 1 200); do
    if eval "$1"; then return 0; fi
    sleep 0.05
  done
  echo "cups-rig: timeout waiting for: $1" >&2
  return 1
}
halt_daemon() {
  [ -f "$D/cupsd.pid" ] || return 0
  local p
  p=$(cat "$D/cupsd.pid")
  if alive "$p"; then
    kill -TERM "$p"
    wait_for "! alive $p" || kill -KILL "$p"
  fi
  rm -f "$D/cupsd.pid"
}

case $cmd in
start)
  port=$3
  mkdir -p "$D"/{etc/ppd,etc/ssl,spool/tmp,cache,run,log,out,bin}
  chmod 755 "$D"
  echo "$port" >"$D/port"
  install -d -o lp -g lp -m 0755 "$D/jobs"
  cat >"$D/etc/cups-files.conf" <<EOF
ServerRoot $D/etc
RequestRoot $D/spool
TempDir $D/spool/tmp
CacheDir $D/cache
StateDir $D/run
ServerBin /usr/lib/cups
DataDir /usr/share/cups
ErrorLog $D/log/error_log
AccessLog $D/log/access_log
PageLog $D/log/page_log
Printcap $D/run/printcap
FileDevice Yes
User lp
Group lp
SystemGroup root
LogFileGroup root
EOF
  cat >"$D/etc/cupsd.conf" <<EOF
LogLevel ${CUPS_RIG_LOGLEVEL:-info}
MaxLogSize 0
Listen 127.0.0.1:$port
Listen $D/run/cups.sock
Browsing No
BrowseLocalProtocols none
WebInterface No
DefaultShared No
IdleExitTimeout 0
ErrorPolicy abort-job
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
  # The filter runs as lp with argv = job-id user title copies options [file]. It copies the
  # document unchanged and writes the job's data last, so a .txt file means a complete capture.
  cat >"$D/bin/capture-filter" <<EOF
#!/bin/sh
umask 022
base="$D/jobs/\${PRINTER:-unknown}-\$1"
printf 'job-id=%s\nuser=%s\ntitle=%s\ncopies=%s\ncontent-type=%s\noptions=%s\n' \\
  "\$1" "\$2" "\$3" "\$4" "\$CONTENT_TYPE" "\$5" >"\$base.tmp"
if [ -n "\${6:-}" ]; then cat "\$6"; else cat; fi | tee "\$base.doc"
mv "\$base.tmp" "\$base.txt"
EOF
  chmod 755 "$D/bin/capture-filter"
  cupsd -t -c "$D/etc/cupsd.conf" -s "$D/etc/cups-files.conf" >"$D/log/cupsd-t.log" 2>&1
  cupsd -f -c "$D/etc/cupsd.conf" -s "$D/etc/cups-files.conf" </dev/null >"$D/log/cupsd.out" 2>&1 &
  pid=$!
  echo "$pid" >"$D/cupsd.pid"
  # A daemon that cannot listen (port taken) exits at once: fail fast so the caller can retry.
  if ! wait_for "! alive $pid || CUPS_SERVER=127.0.0.1:$port lpstat -r 2>/dev/null | grep -qx 'scheduler is running'" ||
    ! alive "$pid"; then
    echo "cups-rig: cupsd did not start on port $port:" >&2
    tail -n 5 "$D/log/error_log" "$D/log/cupsd.out" >&2 2>/dev/null || true
    halt_daemon
    exit 1
  fi
  ;;
add-capture | add-failing)
  queue=$3
  model=$4
  ppd="$D/etc/$queue.src.ppd"
  {
    printf '*PPD-Adobe: "4.3"\n*FormatVersion: "4.3"\n*FileVersion: "1.0"\n'
    printf '*LanguageVersion: English\n*LanguageEncoding: ISOLatin1\n*PCFileName: "CAPTURE.PPD"\n'
    printf '*Manufacturer: "Test"\n*Product: "(%s)"\n*ModelName: "%s"\n' "$model" "$model"
    printf '*ShortNickName: "%s"\n*NickName: "%s"\n' "$model" "$model"
    printf '*PSVersion: "(3010.000) 0"\n*LanguageLevel: "3"\n*ColorDevice: True\n'
    printf '*DefaultColorSpace: RGB\n*FileSystem: False\n*Throughput: "1"\n'
    printf '*LandscapeOrientation: Plus90\n*TTRasterizer: Type42\n'
    for t in application/pdf image/tiff application/postscript; do
      printf '*cupsFilter: "%s 0 %s"\n' "$t" "$D/bin/capture-filter"
    done
    for kw in PageSize PageRegion; do
      printf '*OpenUI *%s: PickOne\n*OrderDependency: 10 AnySetup *%s\n*Default%s: A4\n' \
        "$kw" "$kw" "$kw"
      for s in $SIZES; do
        IFS=: read -r n w h <<<"$s"
        printf '*%s %s/%s: "<</PageSize[%s %s]/ImagingBBox null>>setpagedevice"\n' \
          "$kw" "$n" "$n" "$w" "$h"
      done
      printf '*CloseUI: *%s\n' "$kw"
    done
    printf '*DefaultImageableArea: A4\n*DefaultPaperDimension: A4\n'
    for s in $SIZES; do # 5 mm margins all round
      IFS=: read -r n w h <<<"$s"
      awk -v n="$n" -v w="$w" -v h="$h" 'BEGIN {
        printf "*ImageableArea %s: \"14.17 14.17 %.2f %.2f\"\n", n, w - 14.17, h - 14.17
        printf "*PaperDimension %s: \"%s %s\"\n", n, w, h }'
    done
  } >"$ppd"
  # lpadmin always warns that drivers are deprecated: show its output only on failure.
  device="file://$D/out/$queue.last"
  [ "$cmd" = add-failing ] && device="file://$D/missing/$queue.last"
  out=$(CUPS_SERVER=127.0.0.1:$(cat "$D/port") lpadmin -p "$queue" -v "$device" \
    -P "$ppd" -E 2>&1) || {
    echo "$out" >&2
    exit 1
  }
  ;;
disable)
  CUPS_SERVER=127.0.0.1:$(cat "$D/port") cupsdisable "$3"
  ;;
cancel)
  CUPS_SERVER=127.0.0.1:$(cat "$D/port") cancel "$3"
  ;;
halt)
  halt_daemon
  ;;
stop)
  halt_daemon
  rm -rf "$D"
  ;;
*)
  echo "cups-rig: unknown command $cmd" >&2
  exit 64
  ;;
esac
