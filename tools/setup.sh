#!/usr/bin/env bash
# Installs what the build and the tests need (idempotent), then configures and builds.
# Usage: tools/setup.sh [--target T]... [build-dir] [extra cmake args...]
#   --target T: build only T (and what it needs) instead of everything; may be repeated.
set -euo pipefail
cd "$(dirname "$0")/.."
targets=()
while [ $# -gt 0 ] && [ "$1" = "--target" ]; do
  [ $# -ge 2 ] || { echo "setup.sh: --target needs a target name" >&2; exit 2; }
  targets+=("$2")
  shift 2
done
build=${1:-build}
shift || true

packages=(cmake g++ make pkg-config clang clang-format libclang-rt-14-dev
          thrift-compiler libthrift-dev libwebsocketpp-dev libboost-system-dev rapidjson-dev
          libgtest-dev libgmock-dev googletest libbenchmark-dev libfftw3-dev
          chromium python3 procps)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$build" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)" ${targets[@]:+--target "${targets[@]}"}
