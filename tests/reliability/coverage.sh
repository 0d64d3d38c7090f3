#!/usr/bin/env bash
# Line and branch coverage of native/csdk by the whole pytest suite.
#
#   bash tests/reliability/coverage.sh [pytest args...]
#   COVERAGE_FLOOR=98   the line coverage (percent) below which the run fails
#
# The extension is built with gcc --coverage into its own virtual environment
# (.venv-cov, made from python3) and build folder, so the normal install stays
# as it is.  The counts of earlier runs are cleared first; test subprocesses
# add theirs to the same files.  gcovr prints one table of lines and one of
# branches per file; branches that only an exception thrown in C++ could take,
# and those the compiler proved unreachable, are left out.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
PY=${PYTHON:-python3}
VENV=$ROOT/.venv-cov
BUILD=$ROOT/build/coverage
FLOOR=${COVERAGE_FLOOR:-98}

[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
"$VENV/bin/python" -m pip install -qq --disable-pip-version-check scikit-build-core cmake ninja gcovr
"$VENV/bin/python" -m pip install -qq --disable-pip-version-check --no-build-isolation \
    -C cmake.define.CSDK_COVERAGE=ON -C cmake.build-type=Debug -C "build-dir=$BUILD" "$ROOT[test]"
"$VENV/bin/python" -m pip install -qq --disable-pip-version-check --no-build-isolation "$ROOT/devkit" "$ROOT/devkit/sdk"

find "$BUILD" -name '*.gcda' -delete
status=0
(cd "$ROOT" && exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider tests "$@") || status=$?
if [ "$status" -ne 0 ]; then
    echo "coverage.sh: the suite failed ($status)" >&2
    exit "$status"
fi

GCOV=(--root "$ROOT" --filter "$ROOT/native/csdk/" --exclude-throw-branches --exclude-unreachable-branches
      --gcov-executable "gcov-$(gcc -dumpversion | cut -d. -f1)")
command -v "gcov-$(gcc -dumpversion | cut -d. -f1)" >/dev/null || GCOV=("${GCOV[@]:0:6}" --gcov-executable gcov)
# Only the extension's objects: a build folder used before may hold others.
OBJ=$BUILD/CMakeFiles/c_sdk.dir
[ -d "$OBJ" ] || OBJ=$BUILD
"$VENV/bin/python" -m gcovr "${GCOV[@]}" --json "$BUILD/coverage.json" "$OBJ"
echo "== native/csdk: branches"
"$VENV/bin/python" -m gcovr --root "$ROOT" --add-tracefile "$BUILD/coverage.json" --txt-metric branch
echo "== native/csdk: lines (floor ${FLOOR}%)"
"$VENV/bin/python" -m gcovr --root "$ROOT" --add-tracefile "$BUILD/coverage.json" --fail-under-line "$FLOOR"
