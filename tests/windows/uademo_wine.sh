#!/bin/sh
# uademo.exe under Wine as the server program of tests/interop/ua_interop.js, which adds
# uademo's options: scripts/test-windows.sh sets ZEL_UADEMO_EXE and the Wine prefix.
exec wine "${ZEL_UADEMO_EXE:?ZEL_UADEMO_EXE is not set}" "$@"
