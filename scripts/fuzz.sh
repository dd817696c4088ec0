#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs each fuzz target for a fixed time, starting from the committed seed
# corpus and the regression inputs, and prints the executions each made.
# New corpus entries go to a scratch directory under the build, so the
# committed corpus only changes by hand.  A failing input is saved under
# BUILD/artifacts/ named after its target (reader-*, restore-*, btree-*):
# copy it under that name to tests/fuzz/regressions/ so that the test suite
# replays it through the same check from then on.
#
#   scripts/fuzz.sh [BUILD [SECONDS]]
set -eu
build=${1:-build-fuzz}
seconds=${2:-60}
cd "$(dirname "$0")/.."
mkdir -p "$build/artifacts"
status=0
for target in reader restore btree; do
    work="$build/corpus-$target"
    mkdir -p "$work"
    log="$build/fuzz-$target.log"
    echo "fuzzing $target for ${seconds}s (log: $log)"
    # -close_fd_mask=2 hides the dump reader's own messages; the engine's
    # reports still reach the log.
    if ! "$build/${target}_fuzz" -max_total_time="$seconds" -timeout=20 \
            -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
            -close_fd_mask=2 -artifact_prefix="$build/artifacts/$target-" \
            "$work" tests/fuzz/corpus tests/fuzz/regressions >"$log" 2>&1; then
        echo "${target}_fuzz FAILED:" >&2
        tail -n 40 "$log" >&2
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "${target}_fuzz: ${runs:-?} executions in ${seconds}s"
done
exit $status
