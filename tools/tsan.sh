#!/usr/bin/env bash
# ThreadSanitizer over the threaded tests, on a free-threaded 3.13 built
# --with-thread-sanitizer: the interpreter (tools/build_freethreaded.sh
# --tsan, reused when finished), then tests/reliability/sanitize.sh --thread,
# which makes its environment (.venv-tsan-3.13t) and builds the extension, the
# stand-in core and the tap with -fsanitize=thread and fails on any report
# not suppressed by tests/reliability/tsan.supp.
#
#   bash tools/tsan.sh [pytest args...]    default: the threaded tests
#
# Each phase prints its time.
set -euo pipefail
if [ "${1:-}" = "-h" ] || [ "${1:-}" = "--help" ]; then
    awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
    exit 0
fi
cd "$(dirname "$0")/.."
t0=$SECONDS
py=$(bash tools/build_freethreaded.sh --tsan)
echo "== tsan: interpreter ready in $((SECONDS - t0)) s: $py"
t1=$SECONDS
# The test tools as wheels only: some have no cp313t wheel, and their source
# builds need downloads.  The interpreter lock stays off (PYTHON_GIL unset).
status=0
env -u PYTHON_GIL PIP_ONLY_BINARY=:all: PYTHON="$py" bash tests/reliability/sanitize.sh --thread "$@" ||
    status=$?
echo "== tsan: build and tests in $((SECONDS - t1)) s; $((SECONDS - t0)) s in all"
exit "$status"
