#!/usr/bin/env bash
# Installs what the build, the demo and the tests need on Debian 12 (run as root).
# Idempotent: when every package is present it only checks and returns.
# With --windows: only the cross tools of the Windows build and Wine for its tests
# (scripts/build-windows.sh; about 170 MB to download, 1.1 GB installed).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

install_missing() {  # package...
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

if [ "${1:-}" = --windows ]; then
  install_missing g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev libz-mingw-w64-dev wine wine64
  exit 0
fi

pkgs=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config make
      zlib1g-dev libcurl4-openssl-dev libpugixml-dev libssl-dev openssl libcpp-httplib-dev
      nlohmann-json3-dev
      libgtest-dev libgmock-dev libbenchmark-dev libmodbus-dev python3-pymodbus
      g++-mingw-w64-x86-64
      qt6-base-dev libxcb1-dev xvfb xauth fonts-wqy-microhei
      iproute2 util-linux procps
      dpkg-dev file help2man lintian systemd adduser)
# Node.js may come from another package source that bundles npm: take Debian's only
# when the commands are missing.
command -v node >/dev/null 2>&1 || pkgs+=(nodejs)
command -v npm >/dev/null 2>&1 || pkgs+=(npm)
install_missing "${pkgs[@]}"

# node-opcua for the interop tests and the demo's client, pinned by package-lock.json.
if [ -f "$here/tests/interop/package-lock.json" ]; then
  if [ ! -d "$here/tests/interop/node_modules" ] ||
     [ "$here/tests/interop/package-lock.json" -nt "$here/tests/interop/node_modules/.package-lock.json" ]; then
    (cd "$here/tests/interop" && npm ci --no-audit --no-fund --loglevel=error)
  fi
fi
