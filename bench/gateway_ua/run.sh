#!/bin/sh
# Builds the gateway OPC UA benchmark, the server and cloudsim, then runs it once (about
# two minutes). Needs node and node-opcua (scripts/install-deps.sh). BUILD_DIR overrides
# the build folder (default: build/ of this checkout, Release). Extra arguments go to the
# benchmark (e.g. --load-seconds 10 --procs 3, or --watch node for node-opcua latency samples).
set -e
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$repo/build}
[ -f "$build/build.ninja" ] || cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
ninja -C "$build" -j2 gateway_ua_bench ZelOpcServer3 cloudsim ua_watch
exec "$build/bench/gateway_ua_bench" "$@"
