#!/usr/bin/env bash
# The demo (README's main command): installs, builds, and runs the gateway in a demo data
# directory with its log shown live, until Ctrl-C stops everything.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
bash scripts/build.sh build

demo=${ZEL_DEMO_DIR:-/tmp/zelopc-demo}
mkdir -p "$demo/run"
export ZELOPC_DATA_ROOT="$demo" XDG_RUNTIME_DIR="$demo/run" ZELOPC_LOG_PORT=${ZELOPC_LOG_PORT:-47910}
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "demo stopped"
}
trap cleanup EXIT INT TERM

build/bin/ZelLogView & pids+=($!)
sleep 0.3
echo "starting ZelOpcServer3 -K with data directory $demo/ZelOPC3 (log lines below; Ctrl-C ends)"
build/bin/ZelOpcServer3 -K & pids+=($!)
wait "${pids[1]}"
