#!/usr/bin/env bash
# Reference-count and memory check (leakcheck.py) on a debug interpreter and on
# the normal one.
#
#   bash tests/reliability/leakcheck.sh [leakcheck.py args...]
#
# The debug interpreter is Debian's python3.11-dbg (apt-get install
# python3.11-dbg python3.11-dev python3.11-venv; .ci/run does); the extension
# is built against it in .venv-dbg, so sys.gettotalrefcount() counts every
# reference the module takes or drops.  The normal interpreter uses the
# package as tests/run.sh installed it.  Both runs use one malloc block per
# object and switch glibc's per-thread and fast-bin caches off, so that the
# bytes malloc reports in use change only when something is kept.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
DBG=${PYTHON_DBG:-python3.11-dbg}
VENV=$ROOT/.venv-dbg

if ! command -v "$DBG" >/dev/null; then
    echo "leakcheck.sh: no debug interpreter '$DBG' (apt-get install python3.11-dbg python3.11-dev python3.11-venv)" >&2
    exit 1
fi
[ -x "$VENV/bin/python" ] || "$DBG" -m venv "$VENV"
export PYTHONWARNINGS=ignore  # the debug interpreter's pip reports its own unclosed files
"$VENV/bin/python" -m pip install -qq --disable-pip-version-check scikit-build-core cmake ninja
"$VENV/bin/python" -m pip install -qq --disable-pip-version-check --no-build-isolation \
    "$ROOT" "$ROOT/devkit" "$ROOT/devkit/sdk"
"$VENV/bin/python" -c 'import sys; sys.gettotalrefcount' || {
    echo "leakcheck.sh: $VENV/bin/python is not a debug interpreter" >&2
    exit 1
}

unset PYTHONWARNINGS
export PYTHONMALLOC=malloc
export GLIBC_TUNABLES=glibc.malloc.tcache_count=0:glibc.malloc.mxfast=0
status=0
"$VENV/bin/python" tests/reliability/leakcheck.py "$@" || status=1
"${PYTHON:-python3}" tests/reliability/leakcheck.py "$@" || status=1
exit "$status"
