#!/bin/sh
# Restores the bundled sample dump into a fresh database under the build
# directory, shows what landed in it, then dumps it back with kovdump and
# shows that dump -> restore -> dump gives the same bytes again.
set -eu
build=${1:-build}
db="$build/demo.kov"
copy="$build/demo-copy.kov"
rm -f "$db" "$db-journal" "$copy" "$copy-journal"
echo "\$ $build/kovrestore $db < examples/sample.dump"
"$build/kovrestore" "$db" < examples/sample.dump
echo
echo "\$ sqlite3 $db 'SELECT count(*) FROM kov'"
sqlite3 "$db" 'SELECT count(*) FROM kov'
echo
echo "\$ sqlite3 -header -column $db 'SELECT quote(key), length(value), quote(value) FROM kov'"
sqlite3 -header -column "$db" 'SELECT quote(key) AS key, length(value) AS bytes, quote(value) AS value FROM kov'
echo
echo "\$ $build/kovdump $db > $build/demo.dump"
"$build/kovdump" "$db" > "$build/demo.dump"
echo "\$ cat $build/demo.dump"
cat "$build/demo.dump"
echo
echo "\$ $build/kovdump $db | $build/kovrestore $copy"
"$build/kovdump" "$db" | "$build/kovrestore" "$copy"
echo "\$ $build/kovdump $copy | cmp - $build/demo.dump && echo identical"
"$build/kovdump" "$copy" | cmp - "$build/demo.dump"
echo identical
