#!/usr/bin/env bash
# Benchmarks of the c_sdk hot paths against the call floor and peer builds.
# Installs the project, builds the measuring kit, then times and counts every
# hot path in one run and prints the table (see bench/README.md).
#   REPEATS=9 NUMBER=200000   rounds and operations per round (at least 7 x 200,000)
#   CG=0                      skip the callgrind pass
#   ONLY=regex                only the matching cases (e.g. ONLY='rr_|ad_')
#   KIT_TABLE=1               also print the kit's own table, measured by the kit
#   SHARED=dir                where the shared folder is (default: ../shared beside the repository)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SHARED="${SHARED:-$ROOT/../shared}"
OUT="${BENCH_BUILD:-$ROOT/bench/.build}"
# The real interpreter: valgrind must not be handed a version-manager shim.
PY="$(python3 -c 'import sys; print(sys.executable)')"

if ! command -v valgrind >/dev/null 2>&1 || ! command -v callgrind_annotate >/dev/null 2>&1; then
    echo "installing valgrind" >&2
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y valgrind >/dev/null
fi

echo "installing the project" >&2
"$PY" -m pip install -q --disable-pip-version-check "$ROOT"

mkdir -p "$OUT"
# The kit picks the interpreter's own Cython when it can import one, and
# Debian's cython3 otherwise; its Cython source is written for the latter, so
# it is run under a bare environment of the same interpreter.
[ -x "$OUT/kitpy/bin/python3" ] || "$PY" -m venv --without-pip "$OUT/kitpy"
echo "building the measuring kit in $OUT/anchors" >&2
if [ "${KIT_TABLE:-0}" = "1" ]; then
    BUILD="$OUT/anchors" PYTHON="$OUT/kitpy/bin/python3" "$SHARED/anchors/run.sh" > "$OUT/kit_table.md"
else
    # Build and behaviour check only: the figures come from the run below.
    BUILD="$OUT/anchors" PYTHON="$OUT/kitpy/bin/python3" REPEATS=1 NUMBER=1000 CG=0 \
        "$SHARED/anchors/run.sh" > /dev/null
fi

cd "$OUT"
"$PY" "$ROOT/bench/hotpaths.py" run --anchors "$OUT/anchors" --out "$OUT/results.json" | tee "$OUT/table.md"
if [ "${KIT_TABLE:-0}" = "1" ]; then
    echo
    echo "The kit's own table (measured by the kit, before the run above):"
    cat "$OUT/kit_table.md"
fi
