#!/usr/bin/env bash
# Builds the free-threaded CPython 3.13 ("3.13t", configured --disable-gil)
# from Debian trixie's python3.13 source package, on this machine, and prints
# the interpreter's path on stdout.  Debian ships no free-threaded build; its
# source package is the one CPython 3.13 source the mirror has.
#
#   bash tools/build_freethreaded.sh            -> /var/lib/zq-ci/python3.13t/bin/python3.13t
#   bash tools/build_freethreaded.sh --tsan     the same, also --with-thread-sanitizer,
#                                               in /var/lib/zq-ci/python3.13t-tsan
#
#   FT_PREFIX=dir      where to install (default above)
#   FT_SOURCE=file     the upstream tarball (python3.13_*.orig.tar.xz) to build
#                      from, instead of fetching it
#
# A finished build at the prefix is reused: the script then only checks that
# it is free-threaded and prints its path.  Without one it
#   1. fetches the source package's upstream tarball inside the Debian tree
#      (tools/debian_tree.sh run, the repository mounted at /src), into
#      .freethreaded-source/ of the repository;
#   2. installs the build libraries on this machine with apt-get (root);
#   3. configures the upstream sources --disable-gil (no
#      --enable-optimizations: profile-guided builds take several times
#      longer, and nothing measured here compares absolute speed with a
#      distribution build), builds with every core, installs.
# Built on this machine rather than in the tree, it runs beside the other
# interpreters, so one benchmark run compares it with 3.13 directly.
# About 6-10 minutes on two cores.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tsan=0
case "${1:-}" in
"") ;;
--tsan) tsan=1 ;;
-h | --help)
    awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
    exit 0
    ;;
*)
    echo "build_freethreaded.sh: unknown argument '$1' (--tsan or --help)" >&2
    exit 2
    ;;
esac
if [ "$tsan" -eq 1 ]; then
    PREFIX=${FT_PREFIX:-/var/lib/zq-ci/python3.13t-tsan}
else
    PREFIX=${FT_PREFIX:-/var/lib/zq-ci/python3.13t}
fi
PY="$PREFIX/bin/python3.13t"

is_free_threaded() {
    "$1" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' 2>/dev/null
}

# A build is reused only if its install finished: an interrupted `make install`
# leaves an interpreter that starts but has no extension modules (lib-dynload),
# no headers and no pip, and cannot make a working environment.
is_complete() {
    "$1" -c 'import os, sys, sysconfig, _ssl, _ctypes, ensurepip, venv
sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' 2>/dev/null
}

if [ -x "$PY" ] && is_free_threaded "$PY" && is_complete "$PY"; then
    echo "$PY"
    exit 0
fi

WORK="$ROOT/build/freethreaded"
# The source is fetched into a folder of its own: inside the Debian tree the
# repository's build/ is the tree's own (tools/debian_tree.sh).
SOURCES="$ROOT/.freethreaded-source"
mkdir -p "$WORK" "$SOURCES"
src=${FT_SOURCE:-}
if [ -z "$src" ]; then
    src=$(ls "$SOURCES"/python3.13_3.13.*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
fi
if [ -z "$src" ]; then
    echo "fetching python3.13's source from trixie in the Debian tree" >&2
    bash "$ROOT/tools/debian_tree.sh" ensure >&2
    bash "$ROOT/tools/debian_tree.sh" run sh -ec '
        apt-get -o DPkg::Lock::Timeout=900 update -qq
        apt-get -o DPkg::Lock::Timeout=900 install -y -qq dpkg-dev >/dev/null
        cd /src/.freethreaded-source
        apt-get source --download-only python3.13/trixie' >&2
    src=$(ls "$SOURCES"/python3.13_3.13.*.orig.tar.xz | sort -V | tail -n 1)
fi
echo "building $(basename "$src") --disable-gil$([ "$tsan" -eq 1 ] && echo ' --with-thread-sanitizer') into $PREFIX" >&2

if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
        build-essential pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev \
        libreadline-dev uuid-dev libgdbm-dev libncurses-dev libexpat1-dev >/dev/null
fi

tree="$WORK/tree$([ "$tsan" -eq 1 ] && echo -tsan)"
rm -rf "$tree"
mkdir -p "$tree"
tar -xf "$src" -C "$tree" --strip-components=1
flags=(--disable-gil --prefix="$PREFIX" --with-ensurepip=install)
[ "$tsan" -eq 1 ] && flags+=(--with-thread-sanitizer)
(
    cd "$tree"
    ./configure "${flags[@]}" >"$WORK/configure.log" 2>&1
    make -j"$(nproc)" >"$WORK/make.log" 2>&1
    make install >"$WORK/install.log" 2>&1
) || {
    echo "building 3.13t failed; the logs are in $WORK" >&2
    exit 1
}
rm -rf "$tree"
is_free_threaded "$PY" && is_complete "$PY" || {
    echo "$PY is not a complete free-threaded build" >&2
    exit 1
}
echo "$PY"
