#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the optimised
# build, then the same suite under AddressSanitizer with
# UndefinedBehaviorSanitizer and LeakSanitizer, then under ThreadSanitizer.
# 5 to 13 minutes on two cores, with what else runs on them. Each build's full output goes to
# build/logs/; the end is a summary per build (tests passed and failed,
# compiler warnings in what this run compiled, time), also written to
# build/logs/summary.tsv.
# Exits 1 if any build or test failed.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
scripts/deps.sh build test || exit 1

logs=build/logs
mkdir -p "$logs"
minutes() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
rows=()
status=0
started=$SECONDS
for preset in dev asan tsan; do
  begin=$SECONDS
  build_log=$logs/$preset-build.log test_log=$logs/$preset-test.log
  echo "== $preset: building (log: $build_log)"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" -j"$jobs"; } >"$build_log" 2>&1; then
    tail -n 40 "$build_log"
    rows+=("$preset	-	-	build	$(grep -c 'warning:' "$build_log")	$((SECONDS - begin))")
    status=1
    continue
  fi
  warnings=$(grep -c 'warning:' "$build_log")
  grep -o '[^ ]*: warning: .*\[-W[a-z-]*\]' "$build_log" | sort | uniq -c | head -n 10
  echo "== $preset: testing (log: $test_log)"
  ctest --preset "$preset" -j"$jobs" >"$test_log" 2>&1 || status=1
  line=$(grep -E '^[0-9]+% tests passed' "$test_log")
  if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
    passed=$((total - failed))
  else
    total=- passed=- failed=ctest status=1
    tail -n 20 "$test_log"
  fi
  sed -n '/The following tests FAILED/,$p' "$test_log"
  rows+=("$preset	$total	$passed	$failed	$warnings	$((SECONDS - begin))")
done

{
  echo
  echo "== summary ($(minutes $((SECONDS - started))) in all; logs in $logs/)"
  printf '%-6s %7s %7s %7s %9s %8s\n' build tests passed failed warnings time
  printf '%s\n' "${rows[@]}" | while IFS=$'\t' read -r preset total passed failed warnings seconds; do
    printf '%-6s %7s %7s %7s %9s %8s\n' "$preset" "$total" "$passed" "$failed" "$warnings" "$(minutes "$seconds")"
  done
} | tee "$logs/summary.txt"
printf '%s\n' "${rows[@]}" >"$logs/summary.tsv"
exit $status
