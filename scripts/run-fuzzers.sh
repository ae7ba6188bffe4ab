#!/usr/bin/env bash
# Builds the fuzz preset and runs each libFuzzer target for a bounded time (default 60 s)
# from its committed seed corpus. Any crash, leak, sanitizer report or broken invariant fails;
# the input that found it is left in build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake --workflow --preset fuzz
mkdir -p build/fuzz/findings
for target in fuzz_policy_code fuzz_run_command; do
  echo "== $target, $seconds s =="
  # New inputs go to a scratch folder; the committed corpus is only read.
  scratch=$(mktemp -d)
  build/fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/findings/$target-" "$scratch" "fuzz/corpus/$target"
  rm -rf "$scratch"
done
echo "fuzzing: no findings"
