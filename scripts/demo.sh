#!/bin/sh
# SPDX-License-Identifier: MIT
# The demo of `make demo`: builds kovrestore, kovdump and kovcheck (nothing
# else, and quietly: the build's output is shown only when it fails),
# restores the bundled sample dump into a fresh database under the build
# directory, shows what landed in it, then dumps it back with kovdump and
# shows that dump -> restore -> dump gives the same bytes again.  Every
# command is shown as it runs, exactly as it runs.
#   scripts/demo.sh [BUILD_DIR [JOBS]]    (WERROR and CMAKE_ARGS: as for make)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
jobs=${2:-2}
log=$build/demo-build.log

# Shows the command line, then runs that very line.
run() {
    printf '$ %s\n' "$1"
    eval "$1"
}

# A build step with its output in the log, which is shown if the step fails.
build_step() {
    if ! run "$1 >>$log 2>&1"; then
        cat "$log"
        echo "demo: the build failed (output above, and in $log)" >&2
        exit 1
    fi
}

scripts/deps.sh demo
run "mkdir -p $build && : >$log"
# A first configure leaves the tests to GoogleTest's presence; `make test`
# asks for them (and installs GoogleTest) itself.
if [ ! -f "$build/CMakeCache.txt" ]; then
    build_step "cmake -S . -B $build -DKOV_WERROR=${WERROR:-OFF}${CMAKE_ARGS:+ $CMAKE_ARGS}"
fi
build_step "cmake --build $build -j $jobs --target kovrestore kovdump kovcheck"

db=$build/demo.kov
copy=$build/demo-copy.kov
run "rm -f $db $db-journal $copy $copy-journal"
echo
run "$build/kovrestore $db < examples/sample.dump"
echo
run "sqlite3 $db 'SELECT count(*) FROM kov'"
echo
run "sqlite3 -header -column $db 'SELECT quote(key) AS key, length(value) AS bytes, quote(value) AS value FROM kov'"
echo
run "$build/kovdump $db > $build/demo.dump"
run "cat $build/demo.dump"
echo
run "$build/kovdump $db | $build/kovrestore $copy"
run "$build/kovdump $copy | cmp - $build/demo.dump && echo identical"
