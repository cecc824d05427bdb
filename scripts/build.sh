#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh [dir] [extra cmake args...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}; shift || true
cmake -S "$here" -B "$here/$dir" -G Ninja "$@" >/dev/null
cmake --build "$here/$dir" --parallel "$(nproc)"
