#!/bin/sh
# Restores the bundled sample dump into a fresh database under the build
# directory and shows what landed in it.
set -eu
build=${1:-build}
db="$build/demo.kov"
rm -f "$db" "$db-journal"
echo "\$ $build/kovrestore $db < examples/sample.dump"
"$build/kovrestore" "$db" < examples/sample.dump
echo
echo "\$ sqlite3 $db 'SELECT count(*) FROM kov'"
sqlite3 "$db" 'SELECT count(*) FROM kov'
echo
echo "\$ sqlite3 -header -column $db 'SELECT quote(key), length(value), quote(value) FROM kov'"
sqlite3 -header -column "$db" 'SELECT quote(key) AS key, length(value) AS bytes, quote(value) AS value FROM kov'
