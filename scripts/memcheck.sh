#!/bin/sh
# Runs kovrestore and kovdump under valgrind's memcheck over the sample
# dump: a clean restore, a restore that fails partway and leaves its
# database handle to the exit hook, and a dump of the restored database.
# Any memcheck error or definitely lost block fails the run.
#
#   scripts/memcheck.sh [BUILD]
set -eu
build=${1:-build}
cd "$(dirname "$0")/.."
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# Exit status 99 is memcheck's; the programs' own statuses are 0 and 1.
vg="valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite"
status=0

expect() { # expect WANTED_STATUS DESCRIPTION COMMAND...
    want=$1 what=$2
    shift 2
    set +e
    "$@"
    got=$?
    set -e
    if [ "$got" -ne "$want" ]; then
        echo "memcheck: $what: status $got, expected $want" >&2
        status=1
    else
        echo "memcheck: $what: clean"
    fi
}

expect 0 "kovrestore, sample dump" \
    sh -c "$vg '$build/kovrestore' '$dir/sample.kov' < examples/sample.dump 2>'$dir/err1'"
# The sample cut inside its last record: the run fails after storing the
# records before it.
head -c -20 examples/sample.dump > "$dir/cut.dump"
expect 1 "kovrestore, dump cut short" \
    sh -c "$vg '$build/kovrestore' '$dir/cut.kov' < '$dir/cut.dump' 2>'$dir/err2'"
cat "$dir/err1" "$dir/err2" | grep -v '^EOF$\|^Unexpected EOF in data$' >&2 || true

expect 0 "kovdump, sample database" \
    sh -c "$vg '$build/kovdump' '$dir/sample.kov' > '$dir/sample.out'"
exit $status
