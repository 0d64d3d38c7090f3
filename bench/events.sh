#!/usr/bin/env bash
# Events from the core library's own thread, on several interpreters side by
# side: latency with and without a busy Python thread, throughput by path, and
# (CG=1) instructions per event.  See bench/README.md, "Events from the core's
# own thread".
#   bash bench/events.sh [PYTHON...]   default: 3.13, and the free-threaded
#                                      3.13t when /var/lib/zq-ci/python3.13t has it
#   RATE=1000 DURATION=10              latency: events per second, seconds per run
#   EVENTS=20000 ROUNDS=25             throughput: events per run, runs per path
#   CG=1                               also count instructions per event (callgrind)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "$#" -eq 0 ]; then
    set -- /root/.pyenv/versions/3.13.0/bin/python3
    FT=/var/lib/zq-ci/python3.13t/bin/python3.13t
    [ -x "$FT" ] && set -- "$@" "$FT"
fi
if [ "${CG:-0}" = "1" ] && ! command -v callgrind_annotate >/dev/null 2>&1; then
    echo "installing valgrind" >&2
    apt-get update >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y valgrind >/dev/null
fi

RESULTS=()
for BASE in "$@"; do
    BASE="$("$BASE" -c 'import sys; print(sys.executable)')"
    TAG="$("$BASE" -c 'import sys, sysconfig; print("py%d.%d%s" % (sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "",)))')"
    OUT="${BENCH_BUILD:-$ROOT/bench/.build}/$TAG-events"
    mkdir -p "$OUT"
    [ -x "$OUT/venv/bin/python3" ] || "$BASE" -m venv "$OUT/venv"
    PY="$OUT/venv/bin/python3"
    echo "installing the project for $TAG (stand-in core, unstripped for callgrind)" >&2
    "$PY" -m pip install -q --disable-pip-version-check -C install.strip=false "$ROOT" "$ROOT/devkit" "$ROOT/devkit/sdk"
    S="$ROOT/bench/core_thread_events.py"
    echo "measuring on $TAG" >&2
    "$PY" "$S" latency --rate "${RATE:-1000}" --seconds "${DURATION:-10}" > "$OUT/latency.json"
    "$PY" "$S" throughput --events "${EVENTS:-20000}" --rounds "${ROUNDS:-25}" > "$OUT/throughput.json"
    if [ "${CG:-0}" = "1" ]; then
        "$PY" "$S" instructions > "$OUT/instructions.json"
    else
        echo '{}' > "$OUT/instructions.json"
    fi
    RESULTS+=("$OUT")
done
"$PY" "$ROOT/bench/core_thread_events.py" table "${RESULTS[@]}"
