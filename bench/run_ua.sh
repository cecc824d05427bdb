#!/usr/bin/env bash
# Builds uademo and the load generators and runs the OPC UA benchmark against uaclib
# (uademo) and node-opcua's server in one run:
#   1. ua_load (C++, on uaclib's codec; bench/ua/ua_load.cc): reads (sessions x nodes per
#      request), sequential single-node reads and a subscription with every value
#      changing, with the server pinned to one core and the generator to the other;
#      throughput, server CPU per operation, the server main thread's busy share and the
#      generator's own CPU. uademo --sleep 1 (a fixed pause instead of waiting for
#      requests) runs as the comparison baseline in the same run.
#   2. node-opcua's client load on both servers, as before (bench/ua/ua_bench.js).
#   bench/run_ua.sh [build dir] [ua_bench.js options, e.g. --seconds 20 --procs 2]
# UA_LOAD_ARGS adds options of ua_load (default: --vars 100000 --sessions 16 --nodes 1000
# --interval 100 --seconds 10); UA_SKIP_NODE_LOAD=1 leaves out part 2.
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
ninja -C "$dir" -j2 uademo ua_load
load_args=${UA_LOAD_ARGS:---vars 100000 --sessions 16 --nodes 1000 --interval 100 --seconds 10}
pin_server=() pin_load=()
if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then
  pin_server=(taskset -c 0) pin_load=(taskset -c 1)
fi
script=$(cat <<SCRIPT
set -e
for server in "$dir/bin/uademo" "$dir/bin/uademo --sleep 1" "$(command -v node) tests/interop/lib/node_server.js"; do
  ${pin_load[*]} "$dir/bench/ua_load" $load_args -- ${pin_server[*]} \$server || echo "ua_load against \$server failed"
  echo
done
if [ "\${UA_SKIP_NODE_LOAD:-0}" != 1 ]; then
  node bench/ua/ua_bench.js --uademo "$dir/bin/uademo" $*
fi
SCRIPT
)
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
  exec unshare -n bash -c 'ip link set lo up && exec bash -c "$1"' bench "$script"
fi
exec bash -c "$script"
