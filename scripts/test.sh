#!/usr/bin/env bash
# The whole test run (README's test command): installs, builds, then runs every test
# inside a private network namespace with only loopback, so no test can reach off the
# machine (DNS included). Then a short libFuzzer run of every fuzz target.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
start=$(date +%s)
bash scripts/install-deps.sh
# The Windows cross tools and Wine (about 170 MB to download, 1.1 GB installed) install in
# the background while the Linux build and tests run; the Windows tests run inside the
# private network namespace, where nothing can be downloaded.
win_log=$(mktemp)
( t0=$(date +%s) rc=0; bash scripts/install-deps.sh --windows >"$win_log" 2>&1 || rc=$?
  echo "windows-install: $(( $(date +%s) - t0 )) s, exit $rc" >>"$win_log"; exit $rc ) &
win_install=$!
wait_windows_install() {
  local t0 rc=0
  t0=$(date +%s)
  wait "$win_install" || rc=$?
  cat "$win_log"
  echo "windows-install: waited $(( $(date +%s) - t0 )) s for it"
  rm -f "$win_log"
  return $rc
}

bash scripts/build.sh build
# The OPC DA code against the Windows headers (syntax and types).
bash scripts/check-windows-headers.sh
# Fuzz targets with libFuzzer need clang; only the fuzzers and what they link are built.
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DZEL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzzers --parallel "$(nproc)"

isolated() {
  unshare -n bash -c 'ip link set lo up && exec "$@"' isolated "$@"
}
isolated ctest --test-dir build --output-on-failure --no-tests=error -j2
# dpkg is free again (the package test installs with it), and the Windows tools are in.
wait_windows_install
# The Debian package: lintian, install, the installed programs, purge.
bash scripts/package-test.sh build
# The data link and the running server once more under the sanitizers: AddressSanitizer
# with UndefinedBehaviorSanitizer for the server process through cloud faults and for the
# OPC UA library, the COM runtime, the OPC DA objects with the server core and the
# Modbus engine; ThreadSanitizer for the data link's threads and the Modbus listener's
# hand-over to the main thread.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 TSAN_OPTIONS=halt_on_error=1
for san in "address,undefined:build-asan:server_e2e_test link_test ZelOpcServer3 cloudsim uaclib_test com_test modbus_test opcda_test server_core_test:server_e2e_test|link_test|uaclib_test|com_test|modbus_test|opcda_test|server_core_test" \
           "thread:build-tsan:link_test cloudsim modbus_test:link_test|modbus_test"; do
  IFS=: read -r flags dir targets tests <<<"$san"
  cmake -S . -B "$dir" -G Ninja -DZEL_SANITIZE="$flags" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  # shellcheck disable=SC2086
  cmake --build "$dir" --target $targets --parallel "$(nproc)"
  isolated ctest --test-dir "$dir" --output-on-failure -R "^($tests)\$" -j2
done
isolated ctest --test-dir build-fuzz --output-on-failure -L fuzz -j2 || { echo "fuzzing found a fault"; exit 1; }
# The Windows build and its checks under Wine, after the Linux ones.
isolated bash scripts/test-windows.sh
echo "test run took $(( $(date +%s) - start )) s"
