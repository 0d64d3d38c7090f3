#!/usr/bin/env bash
# The cassette fuzz target (fuzz/cassette_fuzz.cpp): the stand-in's cassette
# reader and its replay engine under libFuzzer, AddressSanitizer and UBSan,
# for a bounded time.
#
#   bash tests/reliability/fuzz.sh [SECONDS]      (default 60)
#
# Seeds: the hostile cassettes (tests/hostile_cassettes.py, written afresh)
# and every earlier finding (fuzz/findings/*.zqc), all of which are run first;
# then new inputs for the rest of the time.  The target is built with
# FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION, which lets records with a wrong
# checksum through, so that mutations reach the fields behind it.  A crash,
# a sanitizer report, a leak or a hang fails the run and leaves the input in
# build/fuzz/; once mended, copy it into fuzz/findings/ (NAME.zqc), where the
# test suite's reader-agreement test and every later run read it.  Run as
# root, it installs clang and libFuzzer from Debian's packages if missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
TIME=${1:-60}
OUT=$ROOT/build/fuzz
PY=${PYTHON:-python3}

fuzzer_lib() { clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null; }
if ! command -v clang++ >/dev/null || [ ! -f "$(fuzzer_lib)" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "fuzz.sh: needs clang++ with libFuzzer (Debian: clang libclang-rt-dev)" >&2
        exit 1
    fi
    apt-get update -qq
    v=$(apt-cache depends clang | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang "libclang-rt-$v-dev" >/dev/null
fi

mkdir -p "$OUT/work"
rm -rf "$OUT/seeds"
"$PY" tests/hostile_cassettes.py "$OUT/seeds" >/dev/null
# Every source of the stand-in library (as CMakeLists.txt builds it) and of the cassette format.
shopt -s nullglob
src=(native/core_standin/*.cpp native/cassette/*.cpp native/pattern/*.cpp fuzz/cassette_fuzz.cpp)
inc=(-Inative/csdk -Inative/cassette -Inative/core_standin -Inative/pattern)
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION "${inc[@]}" \
    "${src[@]}" -o "$OUT/cassette_fuzz" -lpthread

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# The first folder receives what the run finds worth keeping; the others are read only.
exec "$OUT/cassette_fuzz" -max_total_time="$TIME" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$OUT/" "$OUT/work" "$OUT/seeds" fuzz/findings
