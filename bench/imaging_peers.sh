#!/usr/bin/env bash
# Our imaging work of one job against three peer tools that only turn a plot 90 degrees clockwise
# and save it with the same compression, on the same four generated plots, in one run.
# Usage: bench/imaging_peers.sh [DIR]   (default DIR /tmp/plotspool-peers; plots are kept there)
# Build first: BUILD_TARGETS="imaging_bench plotspool-sample" scripts/build.sh
# Missing peers (libvips-tools, imagemagick) are installed with apt-get when run as root.
# Every command runs under /usr/bin/time with a 300 s time-out; a command that takes under 10 s is
# run three times (median seconds, highest peak), a longer one once.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
root=$(pwd)
dir=${1:-/tmp/plotspool-peers}
log=$dir/log
results=$dir/results.tsv
mkdir -p "$dir" "$log"
: >"$results"

for binary in build/imaging_bench build/plotspool-sample; do
  [ -x "$binary" ] || { echo "$binary missing: BUILD_TARGETS=\"imaging_bench plotspool-sample\" scripts/build.sh" >&2; exit 2; }
done

missing=()
command -v tiffcrop >/dev/null || missing+=(libtiff-tools)
command -v vips >/dev/null || missing+=(libvips-tools)
[ -x /usr/bin/convert ] || missing+=(imagemagick)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "installing ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >"$log/apt.log" 2>&1 ||
      { apt-get update >>"$log/apt.log" 2>&1 &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >>"$log/apt.log" 2>&1; } ||
      echo "apt-get failed (see $log/apt.log); the missing peers are reported as failed" >&2
  else
    echo "not root: ${missing[*]} not installed; those peers are reported as failed" >&2
  fi
fi

# name  paper  dpi  plotspool-sample options
plots=(
  "a0_600_bilevel_g4 A0 600 --kind bilevel --compression g4 --rows 64"
  "a1_400_bilevel_g4 A1 400 --kind bilevel --compression g4 --rows 64"
  "a1_300_gray_lzw A1 300 --kind gray --compression lzw"
  "a0_300_rgb_lzw_predictor A0 300 --kind rgb --compression lzw --predictor"
)

# WIDTHxHEIGHT BITS COMPRESSION of a TIFF, or nothing when it does not open.
describe() {
  tiffinfo "$1" 2>/dev/null | awk -F': ' '
    /Image Width/ {split($0, a, " "); w = a[3]; h = a[6]}
    /Bits\/Sample/ {b = $2} /Compression Scheme/ {c = $2; gsub(/ /, "", c)} /Predictor:/ && !/none/ {p = "+pred"}
    END {if (w) printf "%sx%s %sbit %s%s", w, h, b, c, p}'
}

# row PLOT TOOL SECONDS PEAK_MB NOTE
row() { printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$results"; }

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

# measure PLOT TOOL INPUT OUTPUT command... : times the command, checks that OUTPUT is INPUT turned
# (sides swapped, same bits and compression) and records one row.
measure() {
  local plot=$1 tool=$2 in=$3 out=$4
  shift 4
  local times=() peak=0 rc=0 runs=3 i w k tf out_log
  tf=$(mktemp)
  out_log=$log/$plot.${tool%% *}.log
  : >"$out_log"
  for ((i = 0; i < runs; i++)); do
    rm -f "$out"
    /usr/bin/time -f '%e %M' -o "$tf" timeout 300 "$@" >>"$out_log" 2>&1
    rc=$?
    read -r w k < <(tail -1 "$tf")
    times+=("$w")
    [ "$k" -gt "$peak" ] && peak=$k
    if [ $rc -ne 0 ] || awk -v w="$w" 'BEGIN {exit !(w >= 10)}'; then runs=1; fi
  done
  rm -f "$tf"
  local want got note
  want=$(describe "$in" | awk '{split($1, s, "x"); $1 = s[2] "x" s[1]; print}')
  got=$(describe "$out")
  if [ $rc -eq 124 ]; then
    note="TIMED OUT after 300 s"
  elif [ $rc -ne 0 ]; then
    note="FAILED rc=$rc: $(grep -av '^\s*$' "$out_log" | tail -1 | cut -c1-80)"
  elif [ "$got" != "$want" ]; then
    note="WRONG OUTPUT: ${got:-unreadable}, wanted $want"
  else
    note="$got"
  fi
  [ $rc -eq 0 ] && [ "$got" = "$want" ] || w=fail
  [ "$w" = fail ] || w=$(median "${times[@]}")
  row "$plot" "$tool" "$w" "$((peak / 1024))" "$note"
  rm -f "$out"
}

# ours PLOT INPUT : one job (load, measure, turn, save, bitmap export) in a fresh imaging_bench
# process; records the job total and, separately, its turn and save.
ours() {
  local plot=$1 in=$2 totals=() saves=() peak=0 runs=3 i line rc tf k
  tf=$(mktemp)
  : >"$log/$plot.plotspool.log"
  for ((i = 0; i < runs; i++)); do
    line=$(/usr/bin/time -f '%e %M' -o "$tf" timeout 300 build/imaging_bench --job "$in" turn 2>>"$log/$plot.plotspool.log")
    rc=$?
    echo "$line" >>"$log/$plot.plotspool.log"
    [ $rc -eq 0 ] || break
    # plot job load_s save_s bmp_s total_s peak_MB ...
    read -r _ _ _ save _ total _ <<<"$line"
    totals+=("$total")
    saves+=("$save")
    read -r _ k < <(tail -1 "$tf")
    [ "$k" -gt "$peak" ] && peak=$k
    awk -v t="$total" 'BEGIN {exit !(t >= 10)}' && runs=1
  done
  rm -f "$tf"
  if [ $rc -ne 0 ]; then
    row "$plot" "plotspool job" fail 0 "FAILED rc=$rc: $(tail -1 "$log/$plot.plotspool.log" | cut -c1-80)"
    return
  fi
  row "$plot" "plotspool job" "$(median "${totals[@]}")" "$((peak / 1024))" "load+measure+turn+save+bitmap"
  row "$plot" "plotspool turn+save" "$(median "${saves[@]}")" "-" "part of the job above"
}

for spec in "${plots[@]}"; do
  read -r plot paper dpi options <<<"$spec"
  in=$dir/$plot.tif
  if [ ! -f "$in" ]; then
    echo "generating $in" >&2
    # shellcheck disable=SC2086  # the options are words
    build/plotspool-sample "$paper" landscape "$dpi" "$in" $options >&2 || { echo "cannot generate $in" >&2; exit 1; }
  fi
  echo "measuring $plot ($(describe "$in"), $(($(stat -c %s "$in") / 1024)) KB)" >&2
  case $options in
    *g4*) tc=(-c g4) vo="[compression=ccittfax4,bitdepth=1,miniswhite]" im=(-compress Group4) ;;
    *predictor*) tc=(-c lzw:2) vo="[compression=lzw,predictor=horizontal]" im=(-compress LZW -define tiff:predictor=2) ;;
    *) tc=(-c lzw) vo="[compression=lzw,predictor=none]" im=(-compress LZW -define tiff:predictor=1) ;;
  esac
  out=$dir/$plot.turned.tif
  ours "$plot" "$in"
  measure "$plot" "tiffcrop -k 0 -R 90" "$in" "$out" tiffcrop -k 0 "${tc[@]}" -R 90 "$in" "$out"
  measure "$plot" "vips rot d90" "$in" "$out" vips rot "$in" "$out$vo" d90
  measure "$plot" "convert -rotate 90" "$in" "$out" \
    env MAGICK_CONFIGURE_PATH="$root/bench/im-policy" /usr/bin/convert "$in" -rotate 90 "${im[@]}" "$out"
done

echo
printf '%-26s %-22s %9s %8s  %s\n' plot tool seconds peak_MB "output / note"
awk -F'\t' '{printf "%-26s %-22s %9s %8s  %s\n", $1, $2, $3, $4, $5}' "$results"
echo
echo "verdict: our whole job against half of the fastest peer's turn and save"
awk -F'\t' '
  $2 == "plotspool job" {ours[$1] = $3; order[++n] = $1}
  $2 !~ /^plotspool/ && $3 != "fail" && (!($1 in best) || $3 + 0 < best[$1] + 0) {best[$1] = $3; who[$1] = $2}
  END {
    for (i = 1; i <= n; i++) {
      p = order[i]
      if (ours[p] == "fail") {printf "%-26s FAIL  our job failed\n", p; bad = 1; continue}
      if (!(p in best)) {printf "%-26s n/a   no peer succeeded; ours %.2f s\n", p, ours[p]; continue}
      ok = ours[p] <= best[p] / 2
      if (!ok) bad = 1
      printf "%-26s %-5s ours %.2f s, fastest peer %s %.2f s, half %.2f s (ours is %.1fx faster)\n",
        p, ok ? "PASS" : "FAIL", ours[p], who[p], best[p], best[p] / 2, best[p] / ours[p]
    }
    exit bad
  }' "$results"
