#!/usr/bin/env bash
# The Debian package on this machine (run as root, after the build): builds it with
# cpack, checks it with lintian, installs it, checks the service unit, runs the installed
# programs (as the zelopc user where the service would), then purges it and checks that
# nothing is left. The network part runs inside a private namespace with only loopback.
#   scripts/package-test.sh [build dir]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
start=$(date +%s)
fail() { echo "package test: $*" >&2; exit 1; }

rm -f "$build"/zelopc_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/zelopc_*.deb)
echo "package: $deb"
# Errors fail the run; warnings are shown.
lintian --fail-on error --suppress-tags maintainer-script-calls-systemctl "$deb" 2>/dev/null

dpkg -i "$deb" >/dev/null
trap 'rm -rf /run/zelopc; dpkg --purge zelopc >/dev/null 2>&1 || true' EXIT
version=$(/usr/bin/ZelOpcServer3 --version)
[ "$version" = "ZelOpcServer3 $(dpkg-deb -f "$deb" Version)" ] || fail "version: $version"
for p in ZelLogView zelcfg cloudsim; do /usr/bin/$p --version >/dev/null || fail "$p --version"; done
# Looked for in the package: a minimal system may be set to leave manual pages out.
contents=$(dpkg-deb -c "$deb")
for p in ZelOpcServer3 ZelLogView zelcfg cloudsim; do
  grep -q "/usr/share/man/man1/$p.1.gz" <<<"$contents" || fail "no manual page of $p"
done
getent passwd zelopc >/dev/null || fail "no zelopc user"
# --man=no: the manual pages were checked above, and man-db need not be installed.
systemd-analyze verify --man=no /usr/lib/systemd/system/zelopc.service || fail "systemd-analyze verify"

# Registration as the service's user in the service's state directory.
run=$(mktemp -d)
chown zelopc:zelopc "$run"
runuser -u zelopc -- env -i PATH=/usr/bin:/bin ZELOPC_DATA_ROOT=/var/lib/zelopc XDG_RUNTIME_DIR="$run" \
  /usr/bin/ZelOpcServer3 -REGSERVER
grep -q 'LocalServer32' /var/lib/zelopc/ZelOPC3.registry || fail "-REGSERVER wrote no registration"
grep -q '/usr/lib/zelopc/ZelOpcServer3' /var/lib/zelopc/ZelOPC3.registry || fail "registered path"
[ "$(stat -c %U /var/lib/zelopc/ZelOPC3/config.ini)" = zelopc ] || fail "config.ini not seeded for zelopc"

# The installed cloudsim and the gateway run as the unit runs it (its user, environment
# and command; the runtime directory made as systemd makes it; stderr a journal stream):
# read lines reach the installed ZelLogView and the journal, the window socket is where
# the README says, and SIGTERM closes the server as a close request does.
unit=/usr/lib/systemd/system/zelopc.service
user=$(sed -n 's/^User=//p' "$unit")
command=$(sed -n 's/^ExecStart=//p' "$unit")
mapfile -t environment < <(sed -n 's/^Environment=//p' "$unit")
if [ "$user" != zelopc ] || [ -z "$command" ] || [ ${#environment[@]} -eq 0 ]; then fail "unit: $user $command"; fi
install -d -o zelopc -g zelopc -m 0750 /run/zelopc
cat > /var/lib/zelopc/ZelOPC3/config.ini <<'INI'
[SYS]
LogWebR=1
LogWebErr=1
INI
export -f fail
export run user command
export environment_text="${environment[*]}"
unshare -n bash -c '
  set -euo pipefail
  ip link set lo up
  pids=()
  trap "kill -TERM \${pids[*]} 2>/dev/null || true; wait" EXIT
  export ZELOPC_LOG_PORT=47910  # a private namespace: no other user of the port
  /usr/bin/ZelLogView >"$run/log.txt" 2>&1 & pids+=($!)
  /usr/bin/cloudsim --devices /usr/share/zelopc/sample-devices.json \
    --write-config /var/lib/zelopc/ZelOPC3/ZelOpc.Dat >"$run/cloudsim.txt" 2>&1 & pids+=($!)
  for _ in $(seq 100); do grep -q "cloudsim ready" "$run/cloudsim.txt" && break; sleep 0.1; done
  grep -q "cloudsim ready" "$run/cloudsim.txt" || { cat "$run/cloudsim.txt"; fail "cloudsim did not start"; }
  chown zelopc:zelopc /var/lib/zelopc/ZelOPC3/ZelOpc.Dat
  : >"$run/server.txt"
  stream=$(stat -c "%d:%i" "$run/server.txt")
  # shellcheck disable=SC2086 # the unit'"'"'s words, split as systemd splits these simple ones
  setpriv --reuid "$user" --regid "$user" --init-groups \
    env -i PATH=/usr/bin:/bin $environment_text JOURNAL_STREAM="$stream" ZELOPC_LOG_PORT=$ZELOPC_LOG_PORT \
    $command >>"$run/server.txt" 2>&1 &
  server=$!
  for _ in $(seq 150); do grep -q "\[ReadOK\]" "$run/log.txt" && break; sleep 0.1; done
  grep -q "\[ReadOK\]" "$run/log.txt" || { cat "$run/log.txt" "$run/server.txt"; fail "no reads reached ZelLogView"; }
  grep -q "^<6>.*\[ReadOK\]" "$run/server.txt" || { cat "$run/server.txt"; fail "no journal lines"; }
  [ -S "/run/zelopc/TfrmOpcServer3Main.\$ZEL_OPC_SERVER3\$.sock" ] || fail "no window socket in /run/zelopc"
  echo "reads: $(grep -c "\[ReadOK\]" "$run/log.txt") [ReadOK] lines"
  kill -TERM "$server"
  code=0
  wait "$server" || code=$?
  [ "$code" = 0 ] || { cat "$run/server.txt"; fail "the server ended with $code on SIGTERM"; }
  [ -f /var/lib/zelopc/ZelOPC3/OpcRegCache.Dat ] || fail "SIGTERM did not save the login cache"
'
rm -rf /run/zelopc
rm -rf "$run"

# Removing takes the programs and the unit and keeps the data; purging takes the data too.
gone() {
  for f in "$@"; do
    if [ -e "$f" ] || [ -L "$f" ]; then fail "$f left behind"; fi
  done
}
dpkg -r zelopc >/dev/null
gone /usr/bin/ZelOpcServer3 /usr/bin/ZelLogView /usr/bin/zelcfg /usr/bin/cloudsim /usr/lib/zelopc \
  /usr/lib/systemd/system/zelopc.service /usr/share/zelopc
[ -f /var/lib/zelopc/ZelOPC3/ZelOpc.Dat ] || fail "removing took the data"
dpkg --purge zelopc >/dev/null
trap - EXIT
gone /var/lib/zelopc
echo "package test took $(( $(date +%s) - start )) s"
