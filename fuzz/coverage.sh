#!/usr/bin/env bash
# Line coverage of the library's sources under the fuzz targets. Builds every
# fuzz/fuzz_<target>.cpp with clang's source-based coverage (no sanitizers,
# so that the counts are of the library alone) in BUILD_DIR, runs each target
# over its seeds in fuzz/corpus/<target> and then fuzzes SECONDS more, one
# target at a time, and reports lines, functions and regions per file.
#   fuzz/coverage.sh [BUILD_DIR] [SECONDS_PER_TARGET]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/fuzz-cov}
seconds=${2:-25}
profdata=${LLVM_PROFDATA:-llvm-profdata-14}
cov=${LLVM_COV:-llvm-cov-14}
flags="-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping"

targets=()
for src in "$root"/fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  targets+=("${name#fuzz_}")
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate \
  -DKIV_LIB_NAME=kiv_cov -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_FUZZ=ON >/dev/null
# Only the targets: the shared library links without the profile runtime.
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

out="$build/coverage"
rm -rf "$out"
mkdir -p "$out"
objects=()
for target in "${targets[@]}"; do
  exe="$build/fuzz/fuzz_$target"
  mkdir -p "$out/corpus-$target"
  # A finding ends the run by abort, which writes no profile: say so.
  if LLVM_PROFILE_FILE="$out/$target.profraw" "$exe" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -close_fd_mask=1 -artifact_prefix="$out/" \
      "$out/corpus-$target" "$root/fuzz/corpus/$target" >"$out/$target.log" 2>&1; then
    echo "fuzz_$target: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$out/$target.log")"
  else
    echo "fuzz_$target: FOUND a fault, its coverage is missing; see $out/$target.log"
  fi
  objects+=(-object "$exe")
done
"$profdata" merge -sparse "$out"/*.profraw -o "$out/all.profdata"
"$cov" report -instr-profile="$out/all.profdata" "${objects[@]:1}" "$root"/lib/*.cpp
