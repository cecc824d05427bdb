#!/usr/bin/env bash
# The data path of the Windows build under Wine, against the Linux build: the XML archive's
# own check (zel_archive_check.exe); zelcfg.exe shows the archives the Linux programs wrote
# (BIN, BINZ, XML) as the Linux zelcfg does, writes XML that the Linux zelcfg reads back
# equal (and byte for byte as it writes it), refuses damaged XML files with its error where
# the Linux zelcfg does, and names a missing xmllite.dll; the data link of the Windows
# build logs in to cloudsim on the Linux side and reads values; ZelLogView.exe shows the
# datagrams that reach its port.
# Called by scripts/test-windows.sh with WINEPREFIX set up; every cloudsim ends by itself.
# Usage: tests/windows/data_path.sh WINDOWS-BUILD LINUX-BUILD   (exit status 1 on a failure)
set -uo pipefail
win=$1
lin=$2
here=$(pwd)
work=$win/data-path
rm -rf "$work"
mkdir -p "$work"
status=0
fail() { echo "test-windows: $*"; status=1; }
winpath() { echo "Z:${1//\//\\}"; }
wine_zelcfg() { timeout 120 wine "$win/bin/zelcfg.exe" "$@"; }
# `zelcfg show` without its File line (the paths differ) and without the line ends the
# Windows console adds.
show_text() { grep -v '^File: ' | tr -d '\r'; }

for p in zelcfg cloudsim; do
  [ -x "$lin/bin/$p" ] || { fail "the Linux $p is not built ($lin/bin/$p)"; exit 1; }
done

# Starts cloudsim on devices file $1, writing its project archive to $2; sets sim_pid and
# sim_login. It ends by itself after 150 s.
start_sim() {
  local out=$work/cloudsim.$RANDOM.out
  timeout 150 "$lin/bin/cloudsim" --devices "$1" --write-config "$2" >"$out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do grep -q '^cloudsim ready' "$out" && break; sleep 0.1; done
  sim_login=$(sed -n 's/^cloudsim ready login=\([0-9]*\) .*/\1/p' "$out")
  [ -n "$sim_login" ] || { cat "$out"; return 1; }
}

# The XML archive on XmlLite by itself, with the corpus of its fuzz target.
timeout 120 wine "$win/bin/zel_archive_check.exe" "$(winpath "$here/tests/fuzz/archive_xml/corpus")" ||
  fail "archive_check FAILED"

# Texts that XML must escape or that are not ASCII, in every field that reaches the file
# (no tabs or line ends: Wine's XmlLite turns their references into spaces).
cat >"$work/texts.json" <<'JSON'
{"dataServers": 1, "devices": [
 {"number": "77\"01", "password": "p<&>\u00e4\u4e2d", "name": "Kessel \"Nord\" & <S\u00fcd>", "refreshMs": 500,
  "dataServer": 0, "vars": [
   {"name": "T\u00e4gl. <Wert> & 'x'", "type": "F", "access": "R", "group": "G\u00e4.\u6e29\u5ea6\ud83d\ude00",
    "source": "constant", "value": 1},
   {"name": "Zwei  Leerzeichen", "type": "I", "access": "W", "group": "", "source": "constant", "value": 2}]},
 {"number": "7702", "password": "", "name": "", "refreshMs": 500, "dataServer": 0, "vars": []}]}
JSON
if start_sim "$work/texts.json" "$work/texts.dat"; then
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  for f in bin binz xml; do
    "$lin/bin/zelcfg" convert "$work/texts.dat" "$work/texts.$f" --format $f >/dev/null || fail "Linux convert to $f"
    "$lin/bin/zelcfg" show "$work/texts.$f" --passwords | show_text >"$work/linux.$f.txt"
    wine_zelcfg show "$(winpath "$here/$work/texts.$f")" --passwords | show_text >"$work/windows.$f.txt"
    cmp -s "$work/linux.$f.txt" "$work/windows.$f.txt" ||
      { fail "zelcfg.exe shows the Linux $f archive otherwise:"; diff "$work/linux.$f.txt" "$work/windows.$f.txt"; }
  done
  # XML written on Windows, read on Linux.
  wine_zelcfg convert "$(winpath "$here/$work/texts.bin")" "$(winpath "$here/$work/windows.xml")" --format xml \
    >/dev/null || fail "zelcfg.exe convert to xml"
  "$lin/bin/zelcfg" show "$work/windows.xml" --passwords | show_text >"$work/back.txt"
  cmp -s "$work/linux.xml.txt" "$work/back.txt" ||
    { fail "the XML zelcfg.exe wrote reads back otherwise:"; diff "$work/linux.xml.txt" "$work/back.txt"; }
  cmp -s "$work/texts.xml" "$work/windows.xml" || fail "the XML zelcfg.exe wrote differs from the Linux one's bytes"
else
  fail "cloudsim did not start"
fi

# Damaged XML: both builds refuse it with the same error (exit code 1), none crashes or
# hangs. (XmlLite is stricter than the Linux parser with a second document element, an
# unknown reference and a document type, which only the Windows build refuses.)
python3 - "$work" <<'PY'
import sys
work = sys.argv[1]
good = open(work + "/texts.xml", "rb").read().decode("utf-16")
cases = {
    "truncated": good[: len(good) // 2],
    "unclosed": good.replace("</XML_OBJ_STORE>", ""),
    "crossed": good.replace("</PRJ0>", "</PRJ1>", 1),
    "bad_attribute": good.replace(' Count="', ' Count=', 1),
    "nothing": "",
}
for name, text in cases.items():
    open("%s/damaged_%s.xml" % (work, name), "wb").write(b"\xff\xfe" + text.encode("utf-16-le") if text else b"")
open(work + "/damaged_garbage.xml", "wb").write(bytes(range(256)) * 4)
PY
for f in "$work"/damaged_*.xml; do
  "$lin/bin/zelcfg" show "$f" >/dev/null 2>&1
  want=$?
  err=$(wine_zelcfg show "$(winpath "$here/$f")" 2>&1 >/dev/null | tr -d '\r')
  got=$?
  case_name=$(basename "$f" .xml)
  [ "$got" = "$want" ] || fail "$case_name: zelcfg.exe ends with $got, the Linux zelcfg with $want"
  if [ "$want" = 1 ] && ! grep -q 'is not a readable project archive' <<<"$err"; then
    fail "$case_name: zelcfg.exe says: $err"
  fi
done

# Without xmllite.dll (disabled in Wine) reading XML is refused with the reason; binary
# archives still read and XML is still written (the text is the engine's own).
if [ -f "$work/texts.bin" ]; then
  no_xml() { WINEDLLOVERRIDES="$WINEDLLOVERRIDES;xmllite=d" wine_zelcfg "$@"; }
  err=$(no_xml show "$(winpath "$here/$work/texts.xml")" 2>&1 >/dev/null | tr -d '\r')
  [ $? = 1 ] && grep -q 'xmllite.dll is not available' <<<"$err" || fail "show without xmllite.dll: $err"
  no_xml convert "$(winpath "$here/$work/texts.bin")" "$(winpath "$here/$work/no_xmllite.xml")" --format xml \
    >/dev/null && cmp -s "$work/texts.xml" "$work/no_xmllite.xml" || fail "convert to XML without xmllite.dll"
fi

# The data link: logs in to cloudsim and reads, with the archive cloudsim wrote on Linux.
cat >"$work/plant.json" <<'JSON'
{"dataServers": 2, "devices": [
 {"number": "1001", "password": "pw1", "name": "Dev1", "refreshMs": 300, "dataServer": 0, "vars": [
  {"name": "Count", "type": "I", "access": "R", "group": "G1", "source": "counter", "value": 0, "step": 1, "periodMs": 200},
  {"name": "Set", "type": "F", "access": "W", "group": "G1.S", "source": "constant", "value": 1.5}]},
 {"number": "1002", "password": "pw2", "name": "Dev2", "refreshMs": 300, "dataServer": 1, "vars": [
  {"name": "Set", "type": "F", "access": "W", "group": "", "source": "constant", "value": 1.5}]}]}
JSON
if start_sim "$work/plant.json" "$work/plant.dat"; then
  mkdir -p "$work/root"
  ZELOPC_DATA_ROOT=$(winpath "$here/$work/root") timeout 150 wine "$win/bin/zel_link_check.exe" \
    "$(winpath "$here/$work/plant.dat")" || fail "link_check FAILED"
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
else
  fail "cloudsim did not start"
fi
# ZelLogView.exe listens on the log port it is given and shows what arrives (here a
# datagram too short to be a log entry); it runs until stopped.
log_port=$(python3 -c 'import socket; s = socket.socket(type=socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
ZELOPC_LOG_PORT=$log_port timeout 60 wine "$win/bin/ZelLogView.exe" >"$work/logview.out" 2>&1 &
view=$!
for _ in $(seq 100); do
  python3 -c 'import socket, sys; socket.socket(type=socket.SOCK_DGRAM).sendto(b"abc", ("127.0.0.1", int(sys.argv[1])))' "$log_port"
  grep -q 'malformed datagram of 3 bytes' "$work/logview.out" && break
  sleep 0.2
done
grep -q 'malformed datagram of 3 bytes' "$work/logview.out" || { fail "ZelLogView.exe shows no datagram:"; cat "$work/logview.out"; }
kill "$view" 2>/dev/null
wait "$view" 2>/dev/null

[ $status = 0 ] && echo "test-windows: data path passed"
exit $status
