#!/usr/bin/env bash
# The whole pytest suite against a build of the extension and the stand-in
# core with AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   bash tests/reliability/sanitize.sh [pytest args...]
#   bash tests/reliability/sanitize.sh --thread [pytest args...]
#
# --thread builds with ThreadSanitizer instead, for an interpreter built
# --with-thread-sanitizer (tools/build_freethreaded.sh --tsan; tools/tsan.sh
# runs the whole of it), and runs the threaded tests unless given others.
# Reports inside the interpreter or the C library are suppressed by
# tests/reliability/tsan.supp, each entry with its reason; any other fails.
#
# The sanitized build goes into its own virtual environment (.venv-asan-X.Y,
# made from python3 or $PYTHON) and build folder, so the normal install stays
# as it is.  Every object is its own malloc block (PYTHONMALLOC=malloc) so
# that ASan sees the bounds of bytes and bytearray buffers; the ASan runtime is
# preloaded since the interpreter itself is not instrumented.  Any sanitizer
# report fails the run: the sanitizers stop the process at the first one, and
# their report files are checked afterwards as well.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
PY=${PYTHON:-python3}
kind=asan
if [ "${1:-}" = "--thread" ]; then
    kind=tsan
    shift
fi
if [ "$kind" = tsan ]; then
    sanitize=thread runtime=libtsan
    # The interpreter must carry the runtime and report its own
    # synchronisation: an uninstrumented one hides every lock it takes.
    "$PY" -c 'import sys, sysconfig; sys.exit("--with-thread-sanitizer" not in (sysconfig.get_config_var("CONFIG_ARGS") or ""))' || {
        echo "sanitize.sh --thread: $PY is not built --with-thread-sanitizer (tools/build_freethreaded.sh --tsan)" >&2
        exit 1
    }
    [ $# -gt 0 ] || set -- tests/test_threads.py tests/test_core_thread.py tests/test_live.py
else
    sanitize=ON runtime=libasan
    set -- tests "$@"
fi
VENV=$ROOT/.venv-$kind-$("$PY" -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], sys.abiflags))')
LOGS=$ROOT/build/sanitizer-logs-$kind

[ -x "$VENV/bin/python" ] || "$PY" -m venv "$VENV"
"$VENV/bin/python" -m pip install -qq --disable-pip-version-check scikit-build-core cmake ninja
# The extension and the stand-in and the cassette tap (devkit/) with the same sanitizer settings,
# each in a build folder of its own project directory.
for dist in "$ROOT[test]" "$ROOT/devkit"; do
    "$VENV/bin/python" -m pip install -qq --disable-pip-version-check --no-build-isolation \
        -C cmake.define.CSDK_SANITIZE=$sanitize -C cmake.build-type=RelWithDebInfo -C "build-dir=build/$kind-{wheel_tag}" "$dist"
done
"$VENV/bin/python" -m pip install -qq --disable-pip-version-check --no-build-isolation "$ROOT/devkit/sdk"

SO=$(cd /tmp && "$VENV/bin/python" -c 'import importlib.util as u; print(u.find_spec("zq.csdk.c_sdk").origin)')
for lib in "$SO" "$(dirname "$SO")/_standin/libzq3-c.so" "$(dirname "$SO")/_tap/libzq3-c.so"; do
    if ! readelf -d "$lib" | grep -q "$runtime"; then
        echo "sanitize.sh: $lib is not built with $runtime" >&2
        exit 1
    fi
done

rm -rf "$LOGS"
mkdir -p "$LOGS"
status=0
if [ "$kind" = tsan ]; then
    (
        cd "$ROOT"
        # Every report is written (halt_on_error=0), so one run shows them all.
        export TSAN_OPTIONS="halt_on_error=0:second_deadlock_stack=1:suppressions=$ROOT/tests/reliability/tsan.supp:log_path=$LOGS/tsan"
        exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
    ) || status=$?
else
    ASAN_LIB=$(gcc -print-file-name=libasan.so)
    UBSAN_LIB=$(gcc -print-file-name=libubsan.so)
    (
        cd "$ROOT"
        # The free-threaded build has only its own allocator: there ASan sees
        # the extension's and the core's own memory, not each object's bounds.
        "$VENV/bin/python" -c 'import sysconfig, sys; sys.exit(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' &&
            export PYTHONMALLOC=malloc
        export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:log_path=$LOGS/asan"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$LOGS/ubsan"
        export LD_PRELOAD="$ASAN_LIB $UBSAN_LIB"
        exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
    ) || status=$?
fi

if compgen -G "$LOGS/*" >/dev/null; then
    echo "sanitize.sh: sanitizer report(s):" >&2
    cat "$LOGS"/* >&2
    exit 1
fi
if [ "$status" -eq 5 ]; then
    echo "sanitize.sh: pytest collected no tests" >&2
    exit 1
fi
exit "$status"
