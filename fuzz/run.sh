#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, starting from its seeds in
# fuzz/corpus/<target> (kept as they are: what the run finds goes to the build
# directory). A finding stops that target with its input saved and the
# sanitizer's report shown; the script then fails.
#   fuzz/run.sh [BUILD_DIR] [SECONDS_PER_TARGET]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/fuzz}" && pwd)
seconds=${2:-19}
status=0
for target in modbus cfg login sequence; do
  out="$build/fuzz/run/$target"
  rm -rf "$out"
  mkdir -p "$out/corpus" "$out/findings"
  if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -close_fd_mask=1 -artifact_prefix="$out/findings/" \
      "$out/corpus" "$root/fuzz/corpus/$target" >"$out/log" 2>&1; then
    echo "fuzz_$target: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$out/log"), nothing found"
  else
    echo "fuzz_$target: FOUND a fault; input in $out/findings/"
    grep -v -E '^#[0-9]+' "$out/log" | tail -40
    status=1
  fi
done
exit $status
