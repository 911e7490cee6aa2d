#!/usr/bin/env bash
# Runs each fuzzer for a set time from its committed corpus, copied into a scratch folder so that
# the committed seeds stay as they are, and reports the executions of each run.
#
#   fuzz/run.sh BUILD_DIR SECONDS SCRATCH_DIR [TARGET...]
#
# Inputs that crash, leak, time out or break an invariant are left in SCRATCH_DIR/<target>/ with
# the run's log; the script then fails. New corpus entries stay in SCRATCH_DIR/<target>/corpus.
set -uo pipefail

build=$1 seconds=$2 scratch=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(controller_name lan_replies driver_replies profile_text vxi_address emulator_requests)
fi

passed=0 failed=0
for target in "${targets[@]}"; do
  binary=$build/fuzz/fuzz_$target
  work=$scratch/$target
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp "$here/corpus/$target"/seed_* "$work/corpus/"
  # -timeout: one input may not take longer; -rss_limit_mb: the emulator allocates its memories
  # (up to 16 MiB each) twice per input.
  "$binary" "$work/corpus" -max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$work/" >"$work/log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log")
  coverage=$(grep -o 'cov: [0-9]*' "$work/log" | tail -1)
  entries=$(ls "$work/corpus" | wc -l)
  if [ $status -eq 0 ]; then
    passed=$((passed + 1))
    printf '%-18s %10s executions in %ss (%s/s), %s, corpus %s inputs\n' \
      "$target" "${runs:-?}" "$seconds" "${rate:-?}" "${coverage:-cov: ?}" "$entries"
  else
    failed=$((failed + 1))
    printf '%-18s FAILED after %s executions; log and input in %s\n' "$target" "${runs:-?}" "$work"
    grep -E '^(==[0-9]+==ERROR|invariant broken|SUMMARY|artifact_prefix|Test unit written)' \
      "$work/log" | head -8
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
