#!/usr/bin/env bash
# Benchmarks of the c_sdk hot paths against the call floor and peer builds.
# Installs the project, builds the measuring kit, then times and counts every
# hot path in one run and prints the table (see bench/README.md).
#   bash bench/run.sh [PYTHON]  the interpreter to measure (default: python3);
#                               the project and the kit are built for it, in a
#                               virtual environment of its own under bench/.build/
#   PROCESSES=6 REPEATS=10 NUMBER=100000  fresh interpreters, rounds in each, operations per round
#   CG=0                      skip the callgrind pass
#   CG_ONLY=regex             count only the matching cases
#   CG_REUSE=results.json     count only the c_sdk cases; the kit's counts come from that earlier run
#   ONLY=regex                only the matching cases (e.g. ONLY='rr_|ad_')
#   KIT_TABLE=1               also print the kit's own table, measured by the kit
#   SHARED=dir                where the shared folder is (default: ../shared beside the repository)
#   CORE=standin              measure over the stand-in core (call log off) instead of the no-op core
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SHARED="${SHARED:-$ROOT/../shared}"
if [ ! -d "$SHARED/anchors" ]; then
    # A git worktree: the shared folder is beside the main checkout.
    COMMON="$(git -C "$ROOT" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)"
    [ -n "$COMMON" ] && [ -d "$(dirname "$COMMON")/../shared/anchors" ] && SHARED="$(dirname "$COMMON")/../shared"
fi
# The real interpreter: valgrind must not be handed a version-manager shim.
BASE="$("${1:-python3}" -c 'import sys; print(sys.executable)')"
TAG="$("$BASE" -c 'import sys; print("py%d.%d" % sys.version_info[:2])')"
OUT="${BENCH_BUILD:-$ROOT/bench/.build}/$TAG"
mkdir -p "$OUT"
# One environment per interpreter: the project is installed there, never into
# the interpreter itself.  Cython is installed beside it when the registry has
# it, so the kit builds its Cython column for this interpreter; without it the
# kit falls back to Debian's cython3 (Python <= 3.11 only).
if [ ! -x "$OUT/venv/bin/python3" ]; then
    "$BASE" -m venv "$OUT/venv"
    "$OUT/venv/bin/python3" -m pip install -q --disable-pip-version-check cython >/dev/null 2>&1 ||
        echo "no Cython from the registry: the kit uses Debian's cython3" >&2
fi
PY="$OUT/venv/bin/python3"
if ! command -v valgrind >/dev/null 2>&1 || ! command -v callgrind_annotate >/dev/null 2>&1; then
    echo "installing valgrind" >&2
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y valgrind >/dev/null
fi

# The core under c_sdk: by default a no-op core, which does what the kit's core
# does, bundled the way a vendor core is; CORE=standin keeps the stand-in (call
# log off) and reports its share of each row.
export CORE="${CORE:-noop}"
echo "installing the project (core: $CORE)" >&2
if [ "$CORE" = "noop" ]; then
    mkdir -p "$OUT/noop"
    "$PY" "$ROOT/bench/noop_core.py" "$ROOT/native/csdk/core_api.h" > "$OUT/noop/core.c"
    "${CC:-cc}" -O2 -fPIC -shared -Wl,-soname,libzq3-c.so -I "$ROOT/native/csdk" \
        -o "$OUT/noop/libzq3-c.so" "$OUT/noop/core.c"
    "$PY" -m pip install -q --disable-pip-version-check \
        -C "cmake.define.CSDK_CORE_LIBRARY=$OUT/noop/libzq3-c.so" "$ROOT" "$ROOT/devkit/sdk"
else
    "$PY" -m pip install -q --disable-pip-version-check "$ROOT" "$ROOT/devkit" "$ROOT/devkit/sdk"
fi

echo "building the measuring kit in $OUT/anchors" >&2
if [ "${KIT_TABLE:-0}" = "1" ]; then
    BUILD="$OUT/anchors" PYTHON="$PY" "$SHARED/anchors/run.sh" > "$OUT/kit_table.md"
else
    # Build and behaviour check only: the figures come from the run below.
    BUILD="$OUT/anchors" PYTHON="$PY" REPEATS=1 NUMBER=1000 CG=0 \
        "$SHARED/anchors/run.sh" > /dev/null
fi

cd "$OUT"
"$PY" "$ROOT/bench/hotpaths.py" run --anchors "$OUT/anchors" --out "$OUT/results.json" | tee "$OUT/table.md"
if [ "${KIT_TABLE:-0}" = "1" ]; then
    echo
    echo "The kit's own table (measured by the kit, before the run above):"
    cat "$OUT/kit_table.md"
fi
