#!/usr/bin/env bash
# The demo (README's main command): installs, builds, starts cloudsim with the sample
# plant, writes a matching data directory with OPC UA on port 4866, starts the gateway and
# shows the live values as an OPC UA client sees them, until Ctrl-C stops everything.
#   ZEL_DEMO_DIR      where the demo's data lives (default /tmp/zelopc-demo, made anew)
#   ZEL_DEMO_UA_PORT  the OPC UA port (default 4866)
#   ZEL_DEMO_SECONDS  stop by itself after this many seconds (default: run until Ctrl-C)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
bash scripts/build.sh build

demo=${ZEL_DEMO_DIR:-/tmp/zelopc-demo}
port=${ZEL_DEMO_UA_PORT:-4866}
rm -rf "$demo"
mkdir -p "$demo/ZelOPC3" "$demo/run" "$demo/home"
# Everything of the demo stays in its folder: data, registry, sockets, client certificates.
export ZELOPC_DATA_ROOT="$demo" XDG_RUNTIME_DIR="$demo/run" HOME="$demo/home" XDG_CONFIG_HOME="$demo/home/.config"
export ZELOPC_LOG_PORT=${ZELOPC_LOG_PORT:-47910}
cat > "$demo/ZelOPC3/config.ini" <<INI
[SYS]
LogWebErr=1
ErrorRetrySec=20
WriteMaxLen=32

[OPCUA]
Enable=1
Port=$port
DispAddFolder=0
LogLevel=0
User=
Pass=
INI

pids=()
cleanup() {
  trap - EXIT INT TERM
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "demo stopped (logs in $demo)"
}
trap cleanup EXIT INT TERM

build/bin/cloudsim --devices tools/cloudsim/demo-plant.json --write-config "$demo/ZelOPC3/ZelOpc.Dat" \
  >"$demo/cloudsim.txt" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "cloudsim ready" "$demo/cloudsim.txt" && break; sleep 0.1; done
grep -q "cloudsim ready" "$demo/cloudsim.txt" || { cat "$demo/cloudsim.txt"; exit 1; }
echo "$(grep "cloudsim ready" "$demo/cloudsim.txt")"

build/bin/ZelOpcServer3 >"$demo/server.txt" 2>&1 &
pids+=($!)
echo "gateway started with data directory $demo/ZelOPC3"
echo "OPC UA endpoint: opc.tcp://127.0.0.1:$port (SecurityPolicy None, anonymous) - connect a client of your own too"
sleep 1
kill -0 "${pids[1]}" 2>/dev/null || { echo "the gateway ended:"; cat "$demo/server.txt"; exit 1; }

watch=(node tools/demo/ua_watch.js "opc.tcp://127.0.0.1:$port")
export NODE_PATH="$here/tests/interop/node_modules"
if [ -n "${ZEL_DEMO_SECONDS:-}" ]; then
  timeout "$ZEL_DEMO_SECONDS" "${watch[@]}" || [ $? -eq 124 ]
else
  "${watch[@]}"
fi
