#!/usr/bin/env bash
# The whole test suite: the normal build, a Release build (built only, to keep it free of the
# warnings that only -O3 brings out), then AddressSanitizer + UndefinedBehaviorSanitizer, then
# ThreadSanitizer on the core (the Qt-free code and the Qt core, without the windows). Every build here treats warnings as errors.
set -euo pipefail
build="$1"
jobs="$(nproc)"
status=0

echo "== tests: $build"
(cd "$build" && ctest --output-on-failure -j "$jobs") || status=1

# What a packager gets from `cmake -DCMAKE_BUILD_TYPE=Release`: every target must compile
# without a warning. Built, not run: the tests run on the normal build, which differs only in
# optimisation.
echo "== build: Release, warnings as errors"
cmake -S . -B "$build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVA_WERROR=ON >/dev/null
cmake --build "$build-release" -j "$jobs" || status=1

if [ "${NORVA_SKIP_SANITIZERS:-0}" != "1" ]; then
    # The end-to-end suites run here too: they fail on any sanitizer report in the output of
    # the real program, a leak found at its exit included.
    echo "== tests: AddressSanitizer + UndefinedBehaviorSanitizer"
    cmake -S . -B "$build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DNORVA_SANITIZE=address,undefined -DNORVA_WERROR=ON >/dev/null
    cmake --build "$build-asan" -j "$jobs"
    (cd "$build-asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --output-on-failure -j "$jobs") || status=1

    # The Qt core without the windows: the command port with its listener and connection
    # threads, the hand-over queue, the monitors with their receive threads, and every Qt-free
    # test. Qt's own libraries are not instrumented; the core's tests need no suppression.
    echo "== tests: ThreadSanitizer (the core, no windows)"
    started=$SECONDS
    cmake -S . -B "$build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DNORVA_SANITIZE=thread -DNORVA_WITH_QT=ON -DNORVA_WITH_WIDGETS=OFF \
        -DNORVA_WERROR=ON >/dev/null
    cmake --build "$build-tsan" -j "$jobs"
    (cd "$build-tsan" && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$jobs") || status=1
    echo "== ThreadSanitizer: $((SECONDS - started)) s"

    echo "== fuzzing the command-port decoders"
    fuzz/run-fuzzers.sh "${NORVA_FUZZ_SECONDS:-15}" || status=1
fi

if [ $status -ne 0 ]; then
    echo "TESTS FAILED" >&2
fi
exit $status
