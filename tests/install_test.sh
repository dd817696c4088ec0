#!/bin/sh
# Installs the build into a temporary prefix, then builds the example
# program against what was installed, once with pkg-config and once as a
# CMake project using find_package(kov), and runs both.
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER [C_FLAGS [LINK_FLAGS]]
set -eu
build=$1 src=$2 cc=$3 cflags=${4:-} ldflags=${5:-}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kov-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name kov.pc)
libdir=$(dirname "$(dirname "$pc")")
for f in "$libdir/libkov.a" "$prefix/share/man/man3/kov.3"; do
    test -f "$f" || { echo "not installed: $f" >&2; exit 1; }
done

expected="cherry is red
cherry = red
lemon = yellow
lime = green"

# The program must come out the same from both builds.
check() {
    out=$("$@" "$tmp/$(basename "$1").kov")
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

cmake -S "$src/examples" -B "$tmp/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags -Wall -Wextra -Werror" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$tmp/with-cmake" >/dev/null
check "$tmp/with-cmake/kov_example"
echo "installed library builds and runs with pkg-config and find_package(kov)"
