#!/usr/bin/env bash
# The Windows build's checks under Wine: builds build-win (scripts/build-windows.sh), makes
# a fresh Wine prefix inside it and runs the check programs there, each run bounded by
# timeout. The prefix's own wineserver is stopped at the end, whatever happened.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
build=${ZEL_WIN_BUILD_DIR:-build-win}
start=$(date +%s)
scripts/build-windows.sh
built=$(date +%s)

export WINEPREFIX="$here/$build/wine-prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
rm -rf "$WINEPREFIX"
stop_wine() { WINEPREFIX="$WINEPREFIX" timeout 30 wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT
timeout 180 wine wineboot -i >/dev/null 2>&1
# No display here: Wine's null graphics driver still gives windows and their messages.
# It is read when the prefix's desktop starts: the server is stopped so the next start takes it.
timeout 60 wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
stop_wine

status=0
winpath() { echo "Z:${1//\//\\}"; }
run() {  # name, seconds, program and arguments
  local name=$1 secs=$2
  shift 2
  if timeout "$secs" wine "$@"; then echo "test-windows: $name passed"; else echo "test-windows: $name FAILED"; status=1; fi
}
run_linux() {  # name, seconds, a Linux-side program that starts its Windows peer itself
  local name=$1 secs=$2
  shift 2
  if timeout "$secs" "$@"; then echo "test-windows: $name passed"; else echo "test-windows: $name FAILED"; status=1; fi
}
run platform_check 120 "$build/bin/zel_platform_check.exe"

# The proxy/stub DLL registers itself: every interface points to its class.
run regsvr32 60 regsvr32 /s "$(winpath "$here/$build/bin/ZelOpcPS.dll")"
for iid in 39C13A4D 39C13A4E 39C13A4F 39C13A50 39C13A51 39C13A52 39C13A54 39C13A55 39C13A70 39C13A71 39C13A72; do
  timeout 30 wine reg query "HKCR\\Interface\\{$iid-011E-11D0-9675-0020AFD8ADB3}\\ProxyStubClsid32" >/dev/null 2>&1 ||
    { echo "test-windows: interface $iid not registered"; status=1; }
done
for iid in F31DFDE1 F31DFDE2; do
  timeout 30 wine reg query "HKCR\\Interface\\{$iid-07B6-11D2-B2D8-0060083BA1FB}\\ProxyStubClsid32" >/dev/null 2>&1 ||
    { echo "test-windows: interface $iid not registered"; status=1; }
done

# The HTTP client against a server on the Linux side (it ends by itself after 120 s).
peer_out=$(mktemp)
python3 tests/windows/http_peer.py >"$peer_out" &
peer=$!
for _ in $(seq 100); do [ -s "$peer_out" ] && break; sleep 0.1; done
port=$(head -1 "$peer_out")
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
run http_check 120 "$build/bin/zel_http_check.exe" "http://127.0.0.1:$port" "$closed"
kill "$peer" 2>/dev/null || true
rm -f "$peer_out"

# The Modbus listener on Winsock, read and attacked from the Linux side.
run_linux modbus_check 120 python3 tests/windows/modbus_peer.py timeout 100 wine "$build/bin/zel_modbus_check.exe" 90

# uademo.exe (uaclib on Winsock, SecurityPolicy None) serves node-opcua's client on the
# Linux side: the interop runner's cases with the Windows program as the server.
if command -v node >/dev/null && [ -d tests/interop/node_modules/node-opcua ]; then
  export ZEL_UADEMO_EXE="$here/$build/bin/uademo.exe"
  for c in connect browse read_attributes write subscribe user; do
    run_linux "uademo_$c" 200 node tests/interop/ua_interop.js "$c" tests/windows/uademo_wine.sh
  done
else
  echo "test-windows: uademo interop skipped (node or node-opcua missing)"
fi
echo "test-windows: build $((built - start)) s, Wine tests $(( $(date +%s) - built )) s"
exit $status
