#!/usr/bin/env bash
# Builds the modules with AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole test
# suite against that build. The interpreter itself is not instrumented, so the sanitizer runtime
# is preloaded into the real interpreter binary (not a launcher script in front of it).
#   tools/sanitize.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

source tools/side-build.sh
build=build/asan
side_build "$build" -DCMAKE_BUILD_TYPE=Debug -DVANDOR_SANITIZE=ON

# Leak checking stays off: the interpreter keeps much of what it allocates until exit. Any
# undefined behaviour aborts (the build does not recover from it either).
# libstdc++ is preloaded too: the sanitizer resolves its C++ exception interceptor at start-up,
# and a C++ extension loaded later (matplotlib's) would otherwise abort on its first throw
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export PYTHONPATH=$PWD/$build/pkg
"$python" -c 'import vandor.segy as s, sys; assert "/build/asan/" in s.__file__, s.__file__'
exec "$python" -m pytest -q -p no:cacheprovider tests "$@"
