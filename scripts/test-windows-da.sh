# shellcheck shell=bash disable=SC2154  # build, linux_build, fails: set by scripts/test-windows.sh
# The OPC DA cases under Wine, sourced by scripts/test-windows.sh (its helpers fail, run,
# winpath, free_port and cleanups, its variables here, build, linux_build and WINEPREFIX):
# ZelDaClient.exe on its own (command line, the server list of the component category,
# errors), then across processes against ZelOpcServer3.exe, started by COM activation,
# with cloudsim playing a three-device cloud on the Linux side. One function per case.

da_exe="$build/bin/ZelDaClient.exe"
da_server_exe="$build/bin/ZelOpcServer3.exe"
da_docs="$WINEPREFIX/drive_c/users/Public/Documents/ZelOPC3"  # the server's data folder
da_tmp=$(mktemp -d)
da_out='' da_err='' da_rc=0 da_login=0 da_sim=''

da_remove_tmp() { rm -rf "$da_tmp"; }
cleanups+=(da_remove_tmp)

# Runs ZelDaClient.exe: stdout and stderr without carriage returns in da_out and
# da_err, the exit code in da_rc.
da_client() {  # seconds, arguments...
  local secs=$1
  shift
  da_rc=0
  timeout "$secs" wine "$da_exe" "$@" >"$da_tmp/out" 2>"$da_tmp/err" || da_rc=$?
  da_out=$(tr -d '\r' <"$da_tmp/out")
  da_err=$(tr -d '\r' <"$da_tmp/err")
}
# True when the last run ended with the exit code and its output holds the text.
da_gave() {  # exit code, text
  [ "$da_rc" = "$1" ] && grep -qF -- "$2" <<<"$da_out$da_err"
}
da_explain() { echo "    exit $da_rc; output: ${da_out//$'\n'/ | }; errors: ${da_err//$'\n'/ | }"; }

# Imports a .reg text into the prefix's registry.
da_reg_import() {  # file
  timeout 60 wine regedit /s "$(winpath "$1")" >/dev/null 2>&1
}

# The client's value, quality and time texts and its parsing of values to write.
da_case_texts() { run daclient_text_check 60 "$build/bin/zel_daclient_text_check.exe"; }

da_case_command_line() {
  local args want text
  while IFS='|' read -r args want text; do
    # shellcheck disable=SC2086  # the table's arguments are split on purpose
    da_client 30 $args
    da_gave "$want" "$text" || { fail "ZelDaClient $args: wanted exit $want and \"$text\""; da_explain; }
  done <<'EOF'
--help|0|Usage: ZelDaClient
|2|no command given
frobnicate|2|unknown command frobnicate
read|2|read: wrong number of arguments
write Dev1.On|2|write: wrong number of arguments
browse A B|2|browse: wrong number of arguments
watch Dev1.On --rate fast|2|--rate takes a number
read Dev1.On --wait 99999|2|--wait takes a number
status --bogus|2|unknown option --bogus
read Dev1.On --server|2|--server needs a value
EOF
}

# list shows the classes of the OPC DA 2.0 category only; a registered class whose
# program is missing and a name nobody registered end with exit code 1 and the cause.
da_case_list_and_activation_errors() {
  local da2='{5A1E0D6B-0000-4000-8000-00000000D0A2}' da1='{5A1E0D6B-0000-4000-8000-00000000D0A1}'
  cat >"$da_tmp/fake.reg" <<EOF
REGEDIT4

[HKEY_CLASSES_ROOT\\CLSID\\$da2]
@="Fake DA 2.0 server"
[HKEY_CLASSES_ROOT\\CLSID\\$da2\\ProgID]
@="Zel.FakeDa2"
[HKEY_CLASSES_ROOT\\CLSID\\$da2\\LocalServer32]
@="C:\\\\nowhere\\\\missing.exe"
[HKEY_CLASSES_ROOT\\CLSID\\$da2\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}]
[HKEY_CLASSES_ROOT\\Zel.FakeDa2\\CLSID]
@="$da2"
[HKEY_CLASSES_ROOT\\CLSID\\$da1]
@="Fake DA 1.0 server"
[HKEY_CLASSES_ROOT\\CLSID\\$da1\\ProgID]
@="Zel.FakeDa1"
[HKEY_CLASSES_ROOT\\CLSID\\$da1\\Implemented Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}]
EOF
  da_reg_import "$da_tmp/fake.reg"
  da_client 60 list
  if ! da_gave 0 "Zel.FakeDa2	Fake DA 2.0 server	$da2" || grep -q FakeDa1 <<<"$da_out"; then
    fail "list: wanted the DA 2.0 class only"
    da_explain
  fi
  da_client 60 --server Zel.FakeDa2 status
  da_gave 1 "cannot start or reach Zel.FakeDa2: 0x" || { fail "a class without its program: wanted exit 1"; da_explain; }
  da_client 60 --server Zel.Nobody read Dev1.On
  da_gave 1 "server Zel.Nobody is not registered: 0x800401F3" || { fail "an unknown ProgID: wanted exit 1"; da_explain; }
  cat >"$da_tmp/unfake.reg" <<EOF
REGEDIT4

[-HKEY_CLASSES_ROOT\\CLSID\\$da2]
[-HKEY_CLASSES_ROOT\\Zel.FakeDa2]
[-HKEY_CLASSES_ROOT\\CLSID\\$da1]
EOF
  da_reg_import "$da_tmp/unfake.reg"
}

# ---- against the server ----

# The three devices: a counter that changes slower than the device's refresh (so every
# change can be seen), a writable float in a sub-group and a writable switch.
da_plant() {
  local n devices=''
  for n in 1 2 3; do
    [ -n "$devices" ] && devices+=','
    devices+="{\"number\":\"100$n\",\"password\":\"pw$n\",\"name\":\"Dev$n\",\"refreshMs\":250,\"dataServer\":$(( (n - 1) % 2 )),\"vars\":["
    devices+='{"name":"Count","type":"I","access":"R","group":"G1","source":"counter","value":0,"step":1,"periodMs":1500},'
    devices+='{"name":"Set","type":"F","access":"W","group":"G1.S","source":"constant","value":1.5},'
    devices+='{"name":"On","type":"B","access":"W","group":"","source":"constant","value":0}]}'
  done
  echo "{\"dataServers\":2,\"sessionTimeoutMs\":600000,\"devices\":[$devices]}"
}
da_stop_sim() { if [ -n "$da_sim" ]; then kill "$da_sim" 2>/dev/null || true; fi; }
# cloudsim's control API: the answer's body.
da_control() {  # call
  python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=10).read().decode())' \
    "http://127.0.0.1:$da_login/control/$1"
}
# The process ids of our server's live processes: Wine shows the Windows command line,
# which starts with the program's path as COM registered it (others' servers and our
# ended ones, zombies until reaped, do not count).
da_server_pids() {
  local me
  me=$(winpath "$here/$da_server_exe")
  ps -eo pid=,stat=,args= | ME=$me awk 'index(tolower($0), tolower(ENVIRON["ME"])) && $2 !~ /^Z/ { print $1 }'
}
# Waits up to 30 s for the server to end by itself; names what is left when it does not.
da_server_ended() {
  local _ pid
  for _ in $(seq 150); do [ -z "$(da_server_pids)" ] && return 0; sleep 0.2; done
  for pid in $(da_server_pids); do echo "    left: $(ps -o pid=,stat=,args= -p "$pid")"; done
  return 1
}

# cloudsim with the plant, the server's configuration for it, and the server registered.
da_setup_server() {
  mkdir -p "$da_docs"
  da_plant >"$da_tmp/devices.json"
  # timeout: cloudsim ends by itself should the script be killed.
  timeout 900 "$linux_build/bin/cloudsim" --devices "$da_tmp/devices.json" --write-config "$da_docs/ZelOpc.Dat" \
    >"$da_tmp/cloudsim.out" 2>&1 &
  da_sim=$!
  cleanups+=(da_stop_sim)
  local _
  for _ in $(seq 200); do grep -q '^cloudsim ready' "$da_tmp/cloudsim.out" && break; sleep 0.1; done
  da_login=$(sed -n 's/^cloudsim ready login=\([0-9]*\) .*/\1/p' "$da_tmp/cloudsim.out")
  [ -n "$da_login" ] || { fail "cloudsim did not start: $(cat "$da_tmp/cloudsim.out")"; return 1; }
  printf '[SYS]\r\nLogWebErr=1\r\n[OPCUA]\r\nEnable=0\r\n' >"$da_docs/config.ini"
  run server_regserver 60 "$da_server_exe" -RegServer
  da_client 60 list
  da_gave 0 "ZelOpcServer3.ZELOPC	" || { fail "list: the registered server is missing"; da_explain; }
}

# A read of every variable starts the server by activation and shows the cloud's values
# with good quality; the server ends by itself once the client has gone.
da_case_read_every_variable() {
  local ids=() n
  for n in 1 2 3; do ids+=("Dev$n.G1.Count" "Dev$n.G1.S.Set" "Dev$n.On"); done
  da_server_ended || fail "read: a server was running before the activation"
  da_client 120 read "${ids[@]}" --wait 60
  local bad=0 id
  for n in 1 2 3; do
    grep -qxE "Dev$n\.G1\.Count	[0-9]+	good	[0-9T:.-]+Z" <<<"$da_out" || bad=1
    grep -qxE "Dev$n\.G1\.S\.Set	1\.5	good	[0-9T:.-]+Z" <<<"$da_out" || bad=1
    grep -qxE "Dev$n\.On	false	good	[0-9T:.-]+Z" <<<"$da_out" || bad=1
  done
  for id in "${ids[@]}"; do [ "$(grep -c "^$id	" <<<"$da_out")" = 1 ] || bad=1; done
  if [ "$da_rc" != 0 ] || [ $bad = 1 ]; then fail "read of every variable"; da_explain; fi
  da_server_ended || fail "the server did not end after its last client"
}

# browse shows the device folders and the "$$" items of the root and of a device.
da_case_browse() {
  da_client 120 browse
  local want
  for want in "branch	Dev1" "branch	Dev2" "branch	Dev3" "item	\$\$Count"; do
    grep -qxF "$want" <<<"$da_out" || { fail "browse: no \"$want\""; da_explain; }
  done
  da_client 120 browse Dev1
  for want in "branch	Dev1.G1" "item	Dev1.On" "item	Dev1.\$\$RegState"; do
    grep -qxF "$want" <<<"$da_out" || { fail "browse Dev1: no \"$want\""; da_explain; }
  done
  da_client 120 browse NoSuchDevice
  da_gave 3 "no branch NoSuchDevice" || { fail "browse of a missing branch: wanted exit 3"; da_explain; }
  da_client 120 status
  da_gave 0 "state	running (1)" || { fail "status: wanted running"; da_explain; }
}

# Two clients at once: one watches while the other reads and writes. The watch sees
# every value the cloud's counter takes (no gap, no repeat), the write reaches the cloud
# as a write ("W") of that variable, and the server ends after both have gone.
da_case_two_clients_watch_and_write() {
  timeout 120 wine "$da_exe" watch Dev1.G1.Count Dev3.On --rate 100 --seconds 15 >"$da_tmp/watch.out" 2>&1 &
  local watcher=$! _
  # The second client comes once the first one has its server (its first change).
  for _ in $(seq 300); do grep -q '^Dev' "$da_tmp/watch.out" && break; sleep 0.1; done
  da_client 120 read Dev1.On --wait 60
  da_gave 0 "Dev1.On	false	good" || { fail "read beside a watching client"; da_explain; }
  da_client 120 write Dev2.G1.S.Set 42.5
  da_gave 0 "Dev2.G1.S.Set	written" || { fail "write"; da_explain; }
  local writes=''
  for _ in $(seq 50); do
    writes=$(da_control writes)
    grep -qF '"device":"1002","name":"Set","value":"42.5"' <<<"$writes" && break
    sleep 0.2
  done
  grep -qF '"device":"1002","name":"Set","value":"42.5"' <<<"$writes" || fail "the write did not reach cloudsim: $writes"
  da_client 60 write Dev2.G1.S.Set many
  da_gave 3 "is no value of type" || { fail "write of a text to a float: wanted exit 3"; da_explain; }
  da_client 60 read Dev1.NoSuchVariable Dev1.On
  da_gave 3 "Dev1.NoSuchVariable	error 0x" || { fail "read of an unknown item: wanted exit 3"; da_explain; }

  local rc=0
  wait "$watcher" || rc=$?
  local counts
  counts=$(tr -d '\r' <"$da_tmp/watch.out" | sed -n 's/^Dev1\.G1\.Count	\([0-9]*\)	good	.*/\1/p')
  # Consecutive values: each change of the cloud once, none left out.
  if [ "$rc" != 0 ] || [ "$(grep -c . <<<"$counts")" -lt 3 ] ||
     ! awk 'NR > 1 && $1 != prev + 1 { exit 1 } { prev = $1 }' <<<"$counts" ||
     ! grep -q '^Dev3\.On	false	good	' <"$da_tmp/watch.out"; then
    fail "watch: wanted every change of the counter (exit $rc): $(tr '\n' '|' <"$da_tmp/watch.out")"
  fi
  da_server_ended || fail "the server did not end after its two clients"
}

# The same server with OPC UA enabled serves node-opcua on Linux while a client holds it.
da_case_opcua_interop() {
  if ! command -v node >/dev/null || [ ! -d tests/interop/node_modules/node-opcua ]; then
    echo "test-windows: OPC UA interop skipped: node-opcua is not installed"
    return 0
  fi
  local port
  port=$(free_port)
  printf '[SYS]\r\nLogWebErr=1\r\n[OPCUA]\r\nEnable=1\r\nPort=%s\r\nLogLevel=0\r\n' "$port" >"$da_docs/config.ini"
  timeout 120 wine "$da_exe" watch Dev1.On --seconds 40 >/dev/null 2>&1 &
  local holder=$! got='' until=$(( $(date +%s) + 40 ))
  while [ "$(date +%s)" -lt "$until" ]; do
    got=$(timeout 15 node tests/interop/gateway/ua_client.js "opc.tcp://127.0.0.1:$port" read Dev1.G1.S.Set 2>&1 || true)
    grep -qxF "Dev1.G1.S.Set	1.5	Good" <<<"$got" && break
    sleep 1
  done
  grep -qxF "Dev1.G1.S.Set	1.5	Good" <<<"$got" || fail "OPC UA of the Windows server: $got"
  wait "$holder" || true
  printf '[SYS]\r\nLogWebErr=1\r\n[OPCUA]\r\nEnable=0\r\n' >"$da_docs/config.ini"
}

# Three clients activate the class at the same moment while no server runs: each one gets
# the server's status (Wine starts one process per client; the extra ones wait and step
# back), and the server ends by itself afterwards.
da_case_clients_activate_at_once() {
  da_server_ended || { fail "a server was running before the activation"; return; }
  local i pids=()
  for i in 1 2 3; do
    timeout 60 wine "$da_exe" status >"$da_tmp/at_once$i" 2>&1 &
    pids+=($!)
  done
  for i in 1 2 3; do
    wait "${pids[$((i - 1))]}" || fail "client $i of three at once: $(tr -d '\r' <"$da_tmp/at_once$i" | tr '\n' ' ')"
    grep -q "^state	running" "$da_tmp/at_once$i" || fail "client $i of three at once gave no status"
  done
  da_server_ended || fail "the server did not end after three clients at once"
}

# Runs one case; says it passed when it reported no failure.
da_case() {  # function
  local before=$fails
  "$1"
  [ "$fails" != "$before" ] || echo "test-windows: ${1#da_case_} passed"
}

da_cases() {
  local t0
  t0=$(date +%s)
  da_case_texts
  da_case da_case_command_line
  da_case da_case_list_and_activation_errors
  if [ ! -f "$da_server_exe" ] || [ ! -x "$linux_build/bin/cloudsim" ]; then
    echo "test-windows: OPC DA server cases skipped: $da_server_exe or $linux_build/bin/cloudsim is not built"
    return 0
  fi
  da_setup_server || return 0
  da_case da_case_read_every_variable
  da_case da_case_browse
  da_case da_case_two_clients_watch_and_write
  da_case da_case_clients_activate_at_once
  da_case da_case_opcua_interop
  echo "test-windows: OPC DA cases $(( $(date +%s) - t0 )) s"
}
