#!/usr/bin/env bash
# Builds the Debian package and holds it to Debian's rules: lintian finds no
# error and no warning but the overridden ones, the version is the plugin's,
# the dependencies come from dpkg-shlibdeps, and cmake --install strips.
# Exits 77 (skipped) when a Debian tool is missing.
#   check_package.sh BUILD_DIR PLUGIN_VERSION
set -euo pipefail
build=$1 version=$2
for tool in lintian dpkg-deb dpkg-shlibdeps readelf; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed (scripts/deps.sh installs it)"
    exit 77
  fi
done
out=$build/package-check
rm -rf "$out"
mkdir -p "$out"
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log"; fail "cpack"; }
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, found: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

# Overridden tags are shown (O:) with their reason, so a reader sees what was
# accepted and why; shown, they would count as failures to --fail-on.
lintian --fail-on none --show-overrides "$deb" | tee "$out/lintian.log" || fail "lintian did not run"
if grep -Eq '^(E|W): ' "$out/lintian.log"; then fail "lintian reports errors or warnings"; fi
grep -q '^O: .*-in-usr-local' "$out/lintian.log" || fail "the /usr/local override was not applied"

# 3.1.0+1.g3dedfeb in the package is 3.1.0-1-g3dedfeb in the descriptor.
deb_version=$(dpkg-deb -f "$deb" Version)
back=$(sed -E 's/^([0-9]+\.[0-9]+\.[0-9]+)\+([0-9]+)\.g([0-9a-f]+)$/\1-\2-g\3/' <<<"$deb_version")
[ "$back" = "$version" ] || fail "package version $deb_version does not stand for $version"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names=$(sed -E 's/ \([^)]*\)//g; s/, */\n/g' <<<"$depends")
for lib in libc6 libstdc++6 libgcc-s1 libssl3 libdate-tz3 tzdata; do
  grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib"
done

# The README's install: only the platform's folder is written, and stripped.
DESTDIR="$out/destdir" cmake --install "$build" --prefix /usr/local/lorvane >"$out/install.log"
stray=$(cd "$out/destdir" && find . -mindepth 1 -maxdepth 3 ! -path './usr' ! -path './usr/local' \
          ! -path './usr/local/lorvane*')
[ -z "$stray" ] || fail "cmake --install wrote outside the prefix: $stray"
plugin=$out/destdir/usr/local/lorvane/plugins/south/NerivoWater/libNerivoWater.so.1
[ -f "$plugin" ] || fail "cmake --install did not install $plugin"
if readelf -S "$plugin" | grep -Eq '\.(symtab|debug_info)'; then fail "the installed plugin is not stripped"; fi
echo "installed plugin: $(stat -c %s "$plugin") bytes, stripped"
