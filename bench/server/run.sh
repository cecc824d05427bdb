#!/bin/sh
# Builds the server benchmark, the server and cloudsim, then runs it once (about a
# minute). BUILD_DIR overrides the build folder (default: build/ of this checkout,
# Release). Extra arguments go to the benchmark (e.g. --seconds 10).
set -e
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${BUILD_DIR:-$repo/build}
[ -f "$build/build.ninja" ] || cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
ninja -C "$build" -j2 server_bench ZelOpcServer3 cloudsim
exec "$build/bench/server_bench" "$@"
