#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing
# (libhowardhinnant-date-dev and tzdata give the zone rules; dpkg-dev, file and
# lintian build and check the Debian package; clang-14 and libclang-rt-14-dev,
# which holds libFuzzer's runtime, build the fuzz targets; clang-format-14 and
# clang-tidy-14 check the style and the code).
set -euo pipefail
packages=(g++ cmake make pkg-config libboost-dev libboost-system-dev libssl-dev openssl ca-certificates
          rapidjson-dev zlib1g-dev libhowardhinnant-date-dev tzdata libgtest-dev libgmock-dev libbenchmark-dev
          binutils python3
          dpkg-dev file lintian clang-14 libclang-rt-14-dev clang-format-14 clang-tidy-14)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
