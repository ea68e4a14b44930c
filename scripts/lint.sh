#!/usr/bin/env bash
# Checks the style and the code: every C++ file of the tree against
# .clang-format, and the project's own sources against .clang-tidy (using the
# compile commands of the plain test build, configured here if missing).
#   scripts/lint.sh            check; any difference or finding fails
#   scripts/lint.sh --fix      rewrite the files in the project's style
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.hpp')
if [ "${1:-}" = "--fix" ]; then
  clang-format-14 -i "${sources[@]}"
  exit 0
fi
echo "== format: ${#sources[@]} files"
clang-format-14 --dry-run -Werror "${sources[@]}"
[ -f build-test/compile_commands.json ] ||
  cmake -S . -B build-test -DLORVANE_ROOT= -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mapfile -t own < <(git ls-files 'src/*.cpp' 'httpclient/*.cpp' 'platform/*.cpp' 'tools/*.cpp' 'fakeservice/*.cpp')
echo "== clang-tidy: ${#own[@]} files"
run-clang-tidy-14 -p build-test -quiet -j "$(nproc)" "${own[@]}" > build-test/clang-tidy.log 2>&1 || {
  sed 's/\x1b\[[0-9;]*m//g' build-test/clang-tidy.log | grep -E '(error|warning): ' | sort -u >&2
  exit 1
}
