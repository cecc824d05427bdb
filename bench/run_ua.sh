#!/usr/bin/env bash
# Builds uademo and runs the OPC UA benchmark: uaclib against node-opcua's server, the same
# node-opcua load on both, reads/s and notifications/s of each and their ratio.
#   bench/run_ua.sh [build dir] [ua_bench.js options, e.g. --seconds 20 --procs 2]
# Installs node-opcua first when it is missing (needs the npm registry). The run itself
# stays on 127.0.0.1; as root it runs in a private network namespace with only loopback.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=build
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then dir=$1; shift; fi
cd "$here"
if [ ! -d tests/interop/node_modules/node-opcua ]; then
  (cd tests/interop && npm ci --no-audit --no-fund --loglevel=error)
fi
cmake -S . -B "$dir" -G Ninja >/dev/null
ninja -C "$dir" -j2 uademo
cmd=(node bench/ua/ua_bench.js --uademo "$dir/bin/uademo" "$@")
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
  exec unshare -n bash -c 'ip link set lo up && exec "$@"' bench "${cmd[@]}"
fi
exec "${cmd[@]}"
