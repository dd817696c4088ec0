#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that no function of the kov library reads as too tangled: clang-tidy's
# readability-function-cognitive-complexity at a threshold of 25, over every
# unit in kov/ and the headers they include.
#   scripts/tidy.sh [BUILD_DIR]   (a build configured with compile commands)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
    echo "tidy: clang-tidy is not installed" >&2
    exit 1
fi
if [ ! -f "$build/compile_commands.json" ]; then
    echo "tidy: $build/compile_commands.json is missing (cmake -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)" >&2
    exit 1
fi
config='{Checks: "-*,readability-function-cognitive-complexity",
  WarningsAsErrors: "*",
  CheckOptions: [{key: readability-function-cognitive-complexity.Threshold, value: 25}]}'
status=0
for unit in kov/*.cpp; do
    "$tidy" -p "$build" --quiet --config="$config" --header-filter='/kov/[^/]*\.h$' "$unit" \
        2>/dev/null || status=1
done
[ $status -eq 0 ] && echo "tidy: no function in kov/ above cognitive complexity 25"
exit $status
