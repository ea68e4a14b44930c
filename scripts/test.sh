#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   scripts/test.sh                  plain build in build-test/
#   scripts/test.sh --sanitize address   ASan+UBSan build in build-asan/
#   scripts/test.sh --sanitize thread    TSan build in build-tsan/, concurrency suites only
# NERIVO_WERROR=ON in the environment turns warnings into errors (CI does).
set -euo pipefail
cd "$(dirname "$0")/.."
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then sanitize="${2:?address or thread}"; fi
bash scripts/deps.sh
case "$sanitize" in
  "") dir=build-test; label=(); targets=() ;;
  address) dir=build-asan; label=(); targets=() ;;
  # Only the suites that share state between threads are worth TSan's cost.
  thread) dir=build-tsan; label=(-L concurrency); targets=(--target concurrency_tests) ;;
  *) echo "unknown sanitizer: $sanitize" >&2; exit 2 ;;
esac
jobs=$(nproc)
# Its own build folder and the bundled platform, so nothing another command
# cached (a platform path, a build type) changes what is tested.
cmake -S . -B "$dir" -DLORVANE_ROOT= -DNERIVO_SANITIZE="$sanitize" -DNERIVO_WERROR="${NERIVO_WERROR:-OFF}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$jobs" "${targets[@]}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${label[@]}"
