#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix, then builds the example
# program, a C program, against what was installed, with pkg-config and as a
# CMake project using find_package(kov), each against the shared and the
# static library, and runs all four.
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER [C_FLAGS [LINK_FLAGS]]
set -eu
build=$1 src=$2 cc=$3 cflags=${4:-} ldflags=${5:-}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kov-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name kov.pc)
libdir=$(dirname "$(dirname "$pc")")
for f in "$libdir/libkov.a" "$libdir/pkgconfig/kov-static.pc" "$prefix/share/man/man3/kov.3" \
         "$prefix/bin/kovcheck" "$prefix/share/man/man1/kovcheck.1"; do
    test -f "$f" || { echo "not installed: $f" >&2; exit 1; }
done

expected="cherry is red
cherry = red
lemon = yellow
lime = green"

# The program must come out the same from both builds.
check() {
    out=$("$@" "$1.kov")
    if [ "$out" != "$expected" ]; then
        printf '%s printed:\n%s\n' "$1" "$out" >&2
        exit 1
    fi
}

export PKG_CONFIG_PATH="$(dirname "$pc")"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -Wall -Wextra -Werror $cflags "$src/examples/kov_example.c" \
    $(pkg-config --cflags --libs kov) $ldflags -o "$tmp/with-pkg-config"
LD_LIBRARY_PATH=$libdir check "$tmp/with-pkg-config"
# kov-static links the archive although libkov.so lies beside it.
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -Wall -Wextra -Werror $cflags "$src/examples/kov_example.c" \
    $(pkg-config --cflags --libs kov-static) $ldflags -o "$tmp/with-pkg-config-static"
check "$tmp/with-pkg-config-static"

for static in OFF ON; do
    cmake -S "$src/examples" -B "$tmp/with-cmake-$static" -DCMAKE_PREFIX_PATH="$prefix" \
        -DKOV_STATIC=$static -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_C_FLAGS="$cflags -Wall -Wextra -Werror" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
    cmake --build "$tmp/with-cmake-$static" >/dev/null
    check "$tmp/with-cmake-$static/kov_example"
done
# Neither static build may need the shared library.
for p in "$tmp/with-pkg-config-static" "$tmp/with-cmake-ON/kov_example"; do
    if ldd "$p" | grep -q libkov; then
        echo "$p uses the shared library" >&2
        exit 1
    fi
done
echo "installed library builds and runs with pkg-config and find_package(kov)," \
    "shared and static"
