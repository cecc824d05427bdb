#!/usr/bin/env bash
# The Windows build's checks under Wine: builds build-win (scripts/build-windows.sh), makes
# a fresh Wine prefix inside it and runs the cases, one function each: the platform layer
# and the HTTP client here, the OPC DA client and server across processes in
# scripts/test-windows-da.sh. Every Wine run is bounded by timeout; the prefix's own
# wineserver is stopped at the end, whatever happened. Prints the time of each part.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
build=${ZEL_WIN_BUILD_DIR:-build-win}
linux_build=${ZEL_LINUX_BUILD_DIR:-build}
start=$(date +%s)
scripts/build-windows.sh
built=$(date +%s)

export WINEPREFIX="$here/$build/wine-prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
rm -rf "$WINEPREFIX"
stop_wine() { WINEPREFIX="$WINEPREFIX" timeout 30 wineserver -k 2>/dev/null || true; }
cleanups=(stop_wine)
# shellcheck disable=SC2317  # called by the trap
on_exit() { local c; for c in "${cleanups[@]}"; do "$c"; done; }
trap on_exit EXIT
timeout 180 wine wineboot -i >/dev/null 2>&1
# No display here: Wine's null graphics driver still gives windows and their messages.
# It is read when the prefix's desktop starts: the server is stopped so the next start takes it.
timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
stop_wine

status=0
winpath() { echo "Z:${1//\//\\}"; }
fails=0
fail() { echo "test-windows: $*"; status=1; fails=$((fails + 1)); }
run() {  # name, seconds, program and arguments
  local name=$1 secs=$2
  shift 2
  if timeout "$secs" wine "$@"; then echo "test-windows: $name passed"; else fail "$name FAILED"; fi
}
# A free TCP port of 127.0.0.1 (for a peer that takes its port on the command line).
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

run_linux() {  # name, seconds, a Linux-side program that starts its Windows peer itself
  local name=$1 secs=$2
  shift 2
  if timeout "$secs" "$@"; then echo "test-windows: $name passed"; else fail "$name FAILED"; fi
}

case_platform() { run platform_check 120 "$build/bin/zel_platform_check.exe"; }

# The proxy/stub DLL registers itself: every interface points to its class.
case_proxy_registration() {
  run regsvr32 60 regsvr32 /s "$(winpath "$here/$build/bin/ZelOpcPS.dll")"
  local iid
  for iid in 39C13A4D 39C13A4E 39C13A4F 39C13A50 39C13A51 39C13A52 39C13A54 39C13A55 39C13A70 39C13A71 39C13A72; do
    timeout 30 wine reg query "HKCR\\Interface\\{$iid-011E-11D0-9675-0020AFD8ADB3}\\ProxyStubClsid32" >/dev/null 2>&1 ||
      fail "interface $iid not registered"
  done
  for iid in F31DFDE1 F31DFDE2; do
    timeout 30 wine reg query "HKCR\\Interface\\{$iid-07B6-11D2-B2D8-0060083BA1FB}\\ProxyStubClsid32" >/dev/null 2>&1 ||
      fail "interface $iid not registered"
  done
}

# The HTTP client against a server on the Linux side (it ends by itself after 120 s).
case_http() {
  local peer_out peer port closed
  peer_out=$(mktemp)
  python3 tests/windows/http_peer.py >"$peer_out" &
  peer=$!
  for _ in $(seq 100); do [ -s "$peer_out" ] && break; sleep 0.1; done
  port=$(head -1 "$peer_out")
  closed=$(free_port)
  run http_check 120 "$build/bin/zel_http_check.exe" "http://127.0.0.1:$port" "$closed"
  kill "$peer" 2>/dev/null || true
  rm -f "$peer_out"
}

# The archive formats, zelcfg.exe and the data link against the Linux build's programs.
case_data_path() { tests/windows/data_path.sh "$build" "$linux_build" || status=1; }

# The server's registration in the system registry, its removal and the registration
# again (compared with the registration table by registry_check.py); then a client in
# the prefix activates it (COM starts it with "-Embedding"), and it ends by itself after
# the last release. A server left behind by a failure is stopped with the prefix's
# wineserver, so that later activations of the class start clean.
case_server_com() {
  local exe=$build/bin/ZelOpcServer3.exe
  if [ ! -f "$exe" ]; then
    echo "test-windows: server COM cases skipped: $exe is not part of this build"
    return 0
  fi
  local win
  win=$(winpath "$here/$exe")
  run server_regserver 120 "$exe" -RegServer
  python3 tests/windows/registry_check.py registered "$win" || fail "registry after -RegServer"
  run server_unregserver 120 "$exe" -UnRegServer
  python3 tests/windows/registry_check.py removed || fail "registry after -UnRegServer"
  run server_regserver_again 120 "$exe" -RegServer
  if timeout 180 wine "$build/bin/zel_com_server_check.exe"; then
    echo "test-windows: com_server_check passed"
  else
    fail "com_server_check FAILED"
    stop_wine
  fi
}

# The Modbus listener on Winsock, read and attacked from the Linux side.
case_modbus() {
  run_linux modbus_check 120 python3 tests/windows/modbus_peer.py timeout 100 wine "$build/bin/zel_modbus_check.exe" 90
}

# uademo.exe (uaclib on Winsock, SecurityPolicy None) serves node-opcua's client on the
# Linux side: the interop runner's cases with the Windows program as the server.
case_uademo() {
  if command -v node >/dev/null && [ -d tests/interop/node_modules/node-opcua ]; then
    export ZEL_UADEMO_EXE="$here/$build/bin/uademo.exe"
    local c
    for c in connect browse read_attributes write subscribe user; do
      run_linux "uademo_$c" 200 node tests/interop/ua_interop.js "$c" tests/windows/uademo_wine.sh
    done
  else
    echo "test-windows: uademo interop skipped (node or node-opcua missing)"
  fi
}

case_platform
case_proxy_registration
case_http
case_data_path
case_server_com
case_modbus
case_uademo
# shellcheck source=scripts/test-windows-da.sh
. scripts/test-windows-da.sh
da_cases
echo "test-windows: build $((built - start)) s, Wine tests $(( $(date +%s) - built )) s"
exit $status
