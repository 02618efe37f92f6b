#!/usr/bin/env bash
# Coverage-guided fuzzing of the trace reader and SEGY.from_file with libFuzzer, under
# AddressSanitizer and UndefinedBehaviorSanitizer. Needs clang 14 and its runtime (Debian:
# clang-14 libclang-rt-14-dev); installs them with apt-get when missing and allowed to.
#   tools/fuzz.sh [seconds, default 60] [extra libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true

if ! command -v clang++-14 >/dev/null || [ ! -e /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a ]; then
    if [ "$(id -u)" = 0 ]; then
        apt-get update -qq && apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
    else
        echo "fuzz: clang-14 and libclang-rt-14-dev are needed" >&2
        exit 1
    fi
fi

source tools/side-build.sh
build=build/fuzz
side_build "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVANDOR_FUZZ=ON

# The seed corpus stays as committed; what the run finds goes to a scratch folder beside it.
work=$build/corpus
mkdir -p "$work" "$build/crashes"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONMALLOC=malloc  # every object on the sanitizer's heap, so overruns are seen
export PYTHONPATH=$PWD/$build/pkg:$PWD/fuzz
"$build/fuzz_read" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$build/crashes/" "$@" "$work" fuzz/corpus
