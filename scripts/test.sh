#!/usr/bin/env bash
# Installs what is missing, checks the formatting, then builds and runs the tests: a Debug
# build with AddressSanitizer + UndefinedBehaviorSanitizer running all tests, a
# ThreadSanitizer build running the tests of threaded code, a plain build running the
# launcher window's tests with the real browser engine, and a few seconds of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

scripts/deps.sh

echo "== clang-format check"
git ls-files -- '*.cpp' '*.h' | xargs -r clang-format --dry-run --Werror

run_suite() {  # build-dir sanitizer ctest-args...
    local dir=$1 sanitize=$2
    shift 2
    echo "== build $dir (sanitizers: $sanitize)"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUME_SANITIZE="$sanitize" \
        -DLUME_WERROR=ON >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "== test $dir"
    # ThreadSanitizer cannot map its shadow memory under the kernel's high address-space
    # randomisation; running without randomisation avoids that.
    (cd "$dir" && setarch "$(uname -m)" -R ctest --output-on-failure -j "$jobs" "$@")
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite build/asan address,undefined
# The crash loops of the pack operations run one thread (they fork and kill whole processes):
# nothing there for ThreadSanitizer to see, and many minutes of its slowness. The end-to-end
# kill loop runs the same update as the other end-to-end suites, which do run here, again and
# again in processes it kills: its subject is what is left on disk, not the threads.
run_suite build/tsan thread -L 'threaded|qt' -E '^(CrashSafety|KillLoop)\.'

# The browser engine's own code cannot run under the sanitizers (the window's tests leave it
# out there): the window's tests once more with the real browser, in a plain build of the
# window alone.
echo "== build build/plain (no sanitizers: the window with its browser)"
cmake -S "$root" -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUME_SANITIZE= \
    -DLUME_WERROR=ON >/dev/null
cmake --build build/plain -j "$jobs" --target test_qt
echo "== test build/plain"
(cd build/plain && ctest --output-on-failure -j "$jobs" -L qt)

# A few seconds of every fuzz target, in a clang build of its own (scripts/fuzz.sh runs
# them for longer on demand).
echo "== fuzz"
scripts/fuzz.sh 5
