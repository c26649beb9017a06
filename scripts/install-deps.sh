#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks need.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-14-dev
  flex bison
  libboost-dev libssl-dev libsystemd-dev libcurl4-openssl-dev libarchive-dev libstb-dev libexpat1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev rapidjson-dev
  g++-mingw-w64-x86-64-posix mingw-w64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev googletest wine wine64
  libayatana-appindicator3-dev libnotify-dev dbus-daemon
  curl openssl wrk nginx-light chromium libarchive-tools
  libnss3-tools ca-certificates dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
else
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The Windows build's libraries that Debian ships no mingw build of (cached by version).
[ "${VL_WINDOWS_STAGE:-1}" = 1 ] && "$(dirname "$0")/mingw-deps.sh"
true
