#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs each for a
# bounded time. Any crash, leak, sanitizer report or time-out fails the run;
# the input that caused it is left in build/fuzz/artifacts/ and belongs in
# fuzz/regressions/<target>/ once fixed.
# usage: scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/deps.sh build test
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

mkdir -p build/fuzz/artifacts
status=0
# fuzz/targets.txt: a target's name and its seed folders a line.
while read -r -u 3 target seeds; do
  [[ -z $target || $target == \#* ]] && continue
  bin=build/fuzz/fuzz/${target}_fuzzer
  [[ -x $bin ]] || continue
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  log=build/fuzz/$target.log
  echo "== fuzz $target for ${seconds}s"
  if ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
     "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 -print_final_stats=1 \
       -artifact_prefix=build/fuzz/artifacts/$target- \
       "$corpus" "fuzz/regressions/$target" $seeds >"$log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|peak_rss_mb|new_units_added)' "$log" | sed 's/^/   /'
    echo "   corpus: $(find "$corpus" -type f | wc -l) inputs"
  else
    echo "   FAILED: see $log"; tail -n 40 "$log"; status=1
  fi
done 3<fuzz/targets.txt
exit $status
