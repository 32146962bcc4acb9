#!/usr/bin/env bash
# Our imaging work of one job against three peer tools that only turn a plot 90 degrees clockwise
# and save it with the same compression, on the same four generated plots, in one run.
# Usage: bench/imaging_peers.sh [DIR]   (default DIR /tmp/plotspool-peers; plots are kept there)
# ONLY=PATTERN measures only the plots whose name holds PATTERN (ONLY=a0: the two A0 plots);
# PEERS="tiffcrop vips vips1 convert" (the default) names the peers to run; vips1 is vips held to
# one worker thread (VIPS_CONCURRENCY=1), whose CPU time does not include idle workers' spinning.
# OURS=PATH runs another build's imaging_bench as ours (a before/after comparison).
# Build first: BUILD_TARGETS="imaging_bench plotspool-sample" scripts/build.sh
# Missing peers (libvips-tools, imagemagick) are installed with apt-get when run as root.
# Every command runs under /usr/bin/time with a 300 s time-out; a command that takes under 10 s is
# run $RUNS times (default 3; median wall seconds and median CPU seconds, user + system of all
# threads; highest peak resident memory), a longer one once.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
root=$(pwd)
dir=${1:-/tmp/plotspool-peers}
log=$dir/log
results=$dir/results.tsv
mkdir -p "$dir" "$log"
: >"$results"

ours_bench=${OURS:-build/imaging_bench}
peers=${PEERS:-tiffcrop vips vips1 convert}
for binary in "$ours_bench" build/plotspool-sample; do
  [ -x "$binary" ] || { echo "$binary missing: BUILD_TARGETS=\"imaging_bench plotspool-sample\" scripts/build.sh" >&2; exit 2; }
done

missing=()
command -v tiffcrop >/dev/null || missing+=(libtiff-tools)
[[ " $peers " == *" vips"* ]] && ! command -v vips >/dev/null && missing+=(libvips-tools)
[[ " $peers " == *" convert "* ]] && [ ! -x /usr/bin/convert ] && missing+=(imagemagick)
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

# row PLOT TOOL SECONDS CPU_SECONDS PEAK_MB NOTE
row() { printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$@" >>"$results"; }
runs_wanted=${RUNS:-3}

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

# measure PLOT TOOL INPUT OUTPUT command... : times the command, checks that OUTPUT is INPUT turned
# (sides swapped, same bits and compression) and records one row.
measure() {
  local plot=$1 tool=$2 in=$3 out=$4
  shift 4
  local times=() cpus=() peak=0 rc=0 runs=$runs_wanted i w u s k tf out_log
  tf=$(mktemp)
  out_log=$log/$plot.${tool%% *}.log
  : >"$out_log"
  for ((i = 0; i < runs; i++)); do
    rm -f "$out"
    /usr/bin/time -f '%e %U %S %M' -o "$tf" timeout 300 "$@" >>"$out_log" 2>&1
    rc=$?
    read -r w u s k < <(tail -1 "$tf")
    times+=("$w")
    cpus+=("$(awk -v u="$u" -v s="$s" 'BEGIN {printf "%.2f", u + s}')")
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
  local cpu
  [ $rc -eq 0 ] && [ "$got" = "$want" ] || w=fail
  [ "$w" = fail ] || { w=$(median "${times[@]}"); cpu=$(median "${cpus[@]}"); }
  row "$plot" "$tool" "$w" "${cpu:-fail}" "$((peak / 1024))" "$note"
  rm -f "$out"
}

# ours PLOT INPUT : one job (load, measure, turn, save, bitmap export) in a fresh imaging_bench
# process; records the job total and, separately, its turn and save.
ours() {
  local plot=$1 in=$2 totals=() saves=() cpus=() peak=0 runs=$runs_wanted i line rc tf w u s k
  tf=$(mktemp)
  : >"$log/$plot.plotspool.log"
  for ((i = 0; i < runs; i++)); do
    line=$(/usr/bin/time -f '%e %U %S %M' -o "$tf" timeout 300 "$ours_bench" --job "$in" turn 2>>"$log/$plot.plotspool.log")
    rc=$?
    echo "$line" >>"$log/$plot.plotspool.log"
    [ $rc -eq 0 ] || break
    # plot job load_s save_s bmp_s total_s peak_MB ...
    read -r _ _ _ save _ total _ <<<"$line"
    totals+=("$total")
    saves+=("$save")
    read -r w u s k < <(tail -1 "$tf")
    cpus+=("$(awk -v u="$u" -v s="$s" 'BEGIN {printf "%.2f", u + s}')")
    [ "$k" -gt "$peak" ] && peak=$k
    awk -v t="$total" 'BEGIN {exit !(t >= 10)}' && runs=1
  done
  rm -f "$tf"
  if [ $rc -ne 0 ]; then
    row "$plot" "plotspool job" fail fail 0 "FAILED rc=$rc: $(tail -1 "$log/$plot.plotspool.log" | cut -c1-80)"
    return
  fi
  row "$plot" "plotspool job" "$(median "${totals[@]}")" "$(median "${cpus[@]}")" "$((peak / 1024))" \
    "load+measure+turn+save+bitmap"
  row "$plot" "plotspool turn+save" "$(median "${saves[@]}")" "-" "-" "part of the job above"
}

for spec in "${plots[@]}"; do
  read -r plot paper dpi options <<<"$spec"
  [[ $plot == *"${ONLY:-}"* ]] || continue
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
  [[ " $peers " == *" tiffcrop "* ]] &&
    measure "$plot" "tiffcrop -k 0 -R 90" "$in" "$out" tiffcrop -k 0 "${tc[@]}" -R 90 "$in" "$out"
  [[ " $peers " == *" vips "* ]] && measure "$plot" "vips rot d90" "$in" "$out" vips rot "$in" "$out$vo" d90
  [[ " $peers " == *" vips1 "* ]] &&
    measure "$plot" "vips rot d90 (1 thread)" "$in" "$out" env VIPS_CONCURRENCY=1 vips rot "$in" "$out$vo" d90
  [[ " $peers " == *" convert "* ]] && measure "$plot" "convert -rotate 90" "$in" "$out" \
    env MAGICK_CONFIGURE_PATH="$root/bench/im-policy" /usr/bin/convert "$in" -rotate 90 "${im[@]}" "$out"
done

echo
printf '%-26s %-22s %8s %8s %8s  %s\n' plot tool wall_s cpu_s peak_MB "output / note"
awk -F'\t' '{printf "%-26s %-22s %8s %8s %8s  %s\n", $1, $2, $3, $4, $5, $6}' "$results"
echo
echo "ratios: our whole job against each plot's fastest peer (CPU, user+sys) and leanest peer (peak)"
echo "goal: CPU at most half the fastest peer's; peak at most the leanest peer's"
awk -F'\t' '
  $2 == "plotspool job" {cpu[$1] = $4; peak[$1] = $5; order[++n] = $1}
  $2 !~ /^plotspool/ && $4 != "fail" {
    if (!($1 in best) || $4 + 0 < best[$1] + 0) {best[$1] = $4; who[$1] = $2}
    if (!($1 in lean) || $5 + 0 < lean[$1] + 0) {lean[$1] = $5; leanwho[$1] = $2}
  }
  END {
    for (i = 1; i <= n; i++) {
      p = order[i]
      if (cpu[p] == "fail") {printf "%-26s FAIL  our job failed\n", p; bad = 1; continue}
      if (!(p in best)) {printf "%-26s n/a   no peer succeeded; ours %.2f s CPU, %d MB\n", p, cpu[p], peak[p]; continue}
      ok_cpu = cpu[p] <= best[p] / 2
      ok_peak = peak[p] <= lean[p]
      if (!ok_cpu || !ok_peak) bad = 1
      printf "%-26s CPU %-4s ours %.2f s vs %s %.2f s (ratio %.2f)   peak %-4s ours %d MB vs %s %d MB (ratio %.2f)\n",
        p, ok_cpu ? "PASS" : "FAIL", cpu[p], who[p], best[p], cpu[p] / (best[p] > 0 ? best[p] : 1),
        ok_peak ? "PASS" : "FAIL", peak[p], leanwho[p], lean[p], peak[p] / (lean[p] > 0 ? lean[p] : 1)
    }
    exit bad
  }' "$results"
