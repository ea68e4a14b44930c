#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test, with the
# presets of CMakePresets.json.
#   scripts/test.sh                      plain build in build-test/
#   scripts/test.sh --sanitize address   ASan+UBSan build in build-asan/
#   scripts/test.sh --sanitize thread    TSan build in build-tsan/, concurrency suites only
# Arguments after these go to ctest, e.g. scripts/test.sh -R Progress or
# scripts/test.sh --sanitize address -L tools.
# NERIVO_WERROR=ON in the environment turns warnings into errors (CI does).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=test
if [ "${1:-}" = "--sanitize" ]; then
  case "${2:-}" in
    address|thread) preset="$2" ;;
    *) echo "unknown sanitizer: ${2:-} (address or thread)" >&2; exit 2 ;;
  esac
  shift 2
fi
bash scripts/deps.sh
jobs=$(nproc)
# Its own build folder and the bundled platform, so nothing another command
# cached (a platform path, a build type) changes what is tested.
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$jobs"
ctest --preset "$preset" -j "$jobs" "$@"
