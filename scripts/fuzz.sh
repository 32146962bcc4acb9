#!/usr/bin/env bash
# Builds the libFuzzer targets into build-fuzz/ and runs each on a scratch copy of its seed corpus
# (the checked-in seeds stay as they are) for SECONDS seconds (default 60); prints the executions
# each target made. A crash leaves its input in build-fuzz/findings/<name>/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build_dir=${BUILD_DIR:-build-fuzz}

CXX=clang++ CC=clang BUILD_DIR="$build_dir" scripts/build.sh \
  -DPLOTSPOOL_FUZZ=ON -DPLOTSPOOL_BENCH=OFF

# The TIFF loader may reserve up to 4 GiB that it never touches; ASan counts resident memory,
# so 6 GiB leaves room for that and still stops a real runaway. One input may take 30 s at most.
rss_limit_mb=6144
timeout_s=30

status=0
summary=()
for name in ini tiff zip; do
  work="$build_dir/fuzz-run/$name"
  findings="$build_dir/findings/$name"
  rm -rf "$work"
  mkdir -p "$work" "$findings"
  cp -R "fuzz/corpus/$name/." "$work/"
  log="$build_dir/fuzz-run/$name.log"
  echo "== ${name}_fuzzer: ${seconds} s"
  if ! "$build_dir/${name}_fuzzer" "$work" -max_total_time="$seconds" \
      -rss_limit_mb="$rss_limit_mb" -timeout="$timeout_s" -print_final_stats=1 \
      -artifact_prefix="$findings/" >"$log" 2>&1; then
    status=1
    echo "   FAILED, see $log and $findings" >&2
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  summary+=("${name}_fuzzer: ${runs:-?} executions in ${seconds} s")
done
printf '%s\n' "${summary[@]}"
exit "$status"
