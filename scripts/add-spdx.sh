#!/bin/sh
# Puts "SPDX-License-Identifier: MIT" (see LICENSE) on the first comment line
# of every source file tracked by git that lacks it, in the comment syntax of
# its kind, after a "#!" line if there is one.  Running it again changes
# nothing.  Data (dumps, corpora) and documents are left alone.
#   scripts/add-spdx.sh
set -eu
cd "$(dirname "$0")/.."
tag="SPDX-License-Identifier: MIT"

# Inserts the line $2 into file $1, after its first line if that is "#!".
insert() {
    LINE=$2 awk 'NR == 1 && /^#!/ { print; print ENVIRON["LINE"]; next }
                 NR == 1 { print ENVIRON["LINE"] } { print }' "$1" >"$1.spdx"
    cat "$1.spdx" >"$1"    # keeps the file's mode
    rm -f "$1.spdx"
}

git ls-files | while read -r f; do
    case "$f" in
        *.cpp) line="// $tag" ;;
        *.c | *.h | *.map) line="/* $tag */" ;;
        *.sh | *.py | *.cmake | *.cmake.in | *.pc.in | */CMakeLists.txt | CMakeLists.txt \
            | Makefile | .ci/run) line="# $tag" ;;
        man/*.[1-9]) line=".\\\" $tag" ;;
        *) continue ;;
    esac
    head -n 3 "$f" | grep -q "$tag" && continue
    insert "$f" "$line"
    echo "$f"
done
