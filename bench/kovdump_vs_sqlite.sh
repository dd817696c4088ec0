#!/bin/sh
# Times kovdump against the sqlite3 shell's .dump of the same kov file and
# reports kovdump's peak memory.  The database has RECORDS records (default
# 1,000,000) with keys of 13 bytes and values of 20 to 99 bytes, a quarter
# of them bytes that need an escape.  Fails when kovdump takes more than
# half the time of .dump.
#
#   bench/kovdump_vs_sqlite.sh [BUILD_DIR]
set -eu
build=${1:-build}
records=${RECORDS:-1000000}
work=$(mktemp -d "${TMPDIR:-/tmp}/kovbench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Seconds taken by the command, best of three runs, output discarded.
best_of_three() {
    best=""
    for run in 1 2 3; do
        start=$(date +%s.%N)
        "$@" > /dev/null
        end=$(date +%s.%N)
        best=$(echo "$start $end $best" | awk '{t = $2 - $1; if ($3 == "" || t < $3) print t; else print $3}')
    done
    echo "$best"
}

awk -v n="$records" 'BEGIN {
    srand(1)
    for (i = 0; i < n; i++) {
        len = 20 + i % 80
        v = ""
        for (j = 0; j < len; j++) {
            if (j % 4 == 0)
                v = v sprintf("\\%02X", int(rand() * 256))
            else
                v = v sprintf("%c", 97 + int(rand() * 26))
        }
        printf "{\nkey(13) = \"key%010d\"\nvalue(%d) = \"%s\"\n}\n", (i * 7919) % n, len, v
    }
}' > "$work/input.dump"
"$build/kovrestore" "$work/bench.kov" < "$work/input.dump" 2> /dev/null
echo "database: $records records, $(wc -c < "$work/bench.kov") bytes"

# Warm the page cache so that both tools read from memory.
cat "$work/bench.kov" > /dev/null
kovdump_s=$(best_of_three "$build/kovdump" "$work/bench.kov")
sqlite_s=$(best_of_three sqlite3 "$work/bench.kov" .dump)
echo "kovdump:       ${kovdump_s} s"
echo "sqlite3 .dump: ${sqlite_s} s"
if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "kovdump peak RSS: %M KiB" "$build/kovdump" "$work/bench.kov" > /dev/null
fi
echo "$kovdump_s $sqlite_s" | awk '{
    ratio = $1 / $2
    printf "ratio: %.2f (target at most 0.50)\n", ratio
    exit ratio > 0.5
}'
