#!/usr/bin/env bash
# Compiles the portable COM code and the OPC DA code (com/, server/opcda, server/namespace,
# and the stand-in tests/windows_headers/opcda_use.cc) against the Windows headers of
# mingw-w64: syntax and types only, nothing is linked. com/com.h switches to the real
# COM headers there, so a name or signature of ours that differs from the platform's
# fails here. Also checks that the OPC DA folders include no POSIX header.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
cxx=x86_64-w64-mingw32-g++
command -v "$cxx" >/dev/null || { echo "check-windows-headers: $cxx missing (scripts/install-deps.sh installs it)"; exit 1; }

sources=(com/opc_da_ids.cc com/guid_text.cc com/ole_text.cc com/connection_point.cc
         tests/windows_headers/opcda_use.cc)
for dir in server/opcda server/namespace; do
  [ -d "$dir" ] && while IFS= read -r f; do sources+=("$f"); done < <(find "$dir" -name '*.cc' | sort)
done

posix='#include[[:space:]]*<(unistd|pthread|dlfcn|poll|fcntl|signal|sys/[a-z_]+|netinet/[a-z_]+|arpa/inet)\.h>'
if grep -rEn "$posix" server/opcda server/namespace 2>/dev/null; then
  echo "check-windows-headers: POSIX header in the OPC DA folders"
  exit 1
fi

status=0
for f in "${sources[@]}"; do
  "$cxx" -std=c++20 -fsyntax-only -Wall -Wextra -Werror=overloaded-virtual -I. \
      -DUNICODE -D_UNICODE "$f" || { echo "check-windows-headers: $f does not compile for Windows"; status=1; }
done
[ $status -eq 0 ] && echo "check-windows-headers: ${#sources[@]} files compile against the Windows headers"
exit $status
