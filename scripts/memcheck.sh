#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs kovrestore and kovdump under valgrind's memcheck over the sample
# dump: a clean restore, a restore that fails partway and leaves its
# database handle to the exit hook, and a dump of the restored database.
# Then restores that reach the sorter's runs, merges and value file: small
# records in random order with a 64 KiB sort buffer, values of 1 KiB and
# more, and values of 300 KB, whose overflow pages go to the file as they
# are stored.  Any memcheck error or definitely lost block fails the run.
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

# gen_dump RECORDS VALUE_BYTES: records of text values, keys in a scrambled
# order.
gen_dump() {
    awk -v n="$1" -v size="$2" 'BEGIN {
        v = ""
        while (length(v) < size) v = v "value-0123456789-"
        v = substr(v, 1, size)
        for (i = 0; i < n; i++) {
            k = sprintf("key%06d", (i * 7919) % 100003)
            printf "{\nkey(%d) = \"%s\"\nvalue(%d) = \"%s\"\n}\n", length(k), k, size, v
        }
    }'
}

expect 0 "kovdump, sample database" \
    sh -c "$vg '$build/kovdump' '$dir/sample.kov' > '$dir/sample.out'"
gen_dump 10000 100 > "$dir/small.dump"
expect 0 "kovrestore, runs of a 64 KiB buffer" \
    sh -c "KOV_SORT_MEMORY=64k $vg '$build/kovrestore' '$dir/small.kov' < '$dir/small.dump' 2>'$dir/err3'"
gen_dump 300 3000 > "$dir/large.dump"
expect 0 "kovrestore, values of 1 KiB and more" \
    sh -c "KOV_SORT_MEMORY=64k $vg '$build/kovrestore' '$dir/large.kov' < '$dir/large.dump' 2>'$dir/err4'"
gen_dump 12 300000 > "$dir/chains.dump"
expect 0 "kovrestore, values written ahead of their records" \
    sh -c "$vg '$build/kovrestore' '$dir/chains.kov' < '$dir/chains.dump' 2>'$dir/err5'"
cat "$dir/err3" "$dir/err4" "$dir/err5" | grep -v '^EOF$' >&2 || true
exit $status
