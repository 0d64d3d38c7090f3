#!/usr/bin/env bash
# Builds and installs the package, its development kit (the stand-in core and
# the stand-in SDK modules, devkit/) and its test tools, then runs the suite,
# all with the interpreter python3 (or PYTHON=/path/to/python, e.g. a virtual
# environment's; .ci/run does so for each supported version).
#
#   bash tests/run.sh [pytest args...]        the suite against the normal build
#   bash tests/run.sh --all [pytest args...]  also the same suite against an
#       AddressSanitizer/UBSan build (tests/reliability/sanitize.sh) and the
#       reference-count and memory check on a debug interpreter and the normal
#       one (tests/reliability/leakcheck.sh, needs python3.11-dbg), and the
#       line and branch coverage of native/csdk by the suite, which fails
#       below 98% of lines (tests/reliability/coverage.sh)
#
# A run that collects no test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
all=0
if [ "${1:-}" = "--all" ]; then
    all=1
    shift
fi

step() {
    local name=$1 t0=$SECONDS status=0
    shift
    echo "== $name"
    "$@" || status=$?
    if [ "$status" -eq 5 ]; then
        echo "== $name: no tests were collected" >&2
        status=1
    fi
    echo "== $name: $([ "$status" -eq 0 ] && echo passed || echo "FAILED ($status)") in $((SECONDS - t0)) s"
    return "$status"
}

PY=${PYTHON:-python3}
"$PY" -m pip install -qq --disable-pip-version-check ".[test]" ./devkit ./devkit/sdk
step "test suite" "$PY" -m pytest -q tests "$@"
if [ "$all" -eq 1 ]; then
    step "test suite under ASan+UBSan" bash tests/reliability/sanitize.sh "$@"
    step "reference-count and memory check" bash tests/reliability/leakcheck.sh
    step "coverage of native/csdk" bash tests/reliability/coverage.sh
fi
