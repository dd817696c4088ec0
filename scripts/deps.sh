#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build needs when they are missing.  As
# root it runs apt-get itself; otherwise it prints the command to run.
# EXTRA_PACKAGES names more packages for the reliability stages.
#   scripts/deps.sh [demo]    demo: only what `make demo` needs
set -eu
packages="cmake make g++ libsqlite3-dev sqlite3"
if [ "${1:-}" != demo ]; then
    packages="$packages libgtest-dev groff-base pkg-config"
fi
packages="$packages ${EXTRA_PACKAGES:-}"
missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    echo "Installing missing packages:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q </dev/null
    apt-get install -y -q --no-install-recommends $missing </dev/null
else
    echo "Missing packages:$missing" >&2
    echo "Run as root:  apt-get install -y$missing" >&2
    exit 1
fi
