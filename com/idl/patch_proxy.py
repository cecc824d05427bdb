#!/usr/bin/env python3
"""Mends the proxy code of widl -Oif for [out] and [in, out] string pointers (LPWSTR*).

widl (7.0, 8.0) gives such a parameter the type offset of the string itself (FC_OP,
FC_C_WSTRING) instead of the reference pointer in front of it (FC_RP with
pointer_deref, Offset= 2), so the stub marshals the wrong shape. Each such parameter gets
the offset of its FC_RP. The build fails unless every [out] string pointer of the IDL
(counted from the IDL text) was mended, so a widl that changes its output is noticed.
Usage: patch_proxy.py IDL PROXY.c
"""
import re
import sys

idl_path, proxy_path = sys.argv[1], sys.argv[2]
idl = re.sub(r"//[^\n]*", "", open(idl_path).read())
# Parameters declared [out ...string...] LPWSTR* name (not the LPWSTR** arrays).
expected = len(re.findall(r"\[(?:in,\s*)?out,\s*string\]\s*LPWSTR\s*\*\s*\w+", idl))

text = open(proxy_path).read()
# "/* N (LPWSTR *) */ 0x11, 0x14, ... NdrFcShort(0x2), /* Offset= 2 (M) */": M -> N.
ref_of = {}
for m in re.finditer(r"/\* (\d+) \(LPWSTR \*\) \*/\s*0x11, 0x14,[^\n]*\n\s*NdrFcShort\(0x2\),\s*/\* Offset= 2 \((\d+)\) \*/", text):
    ref_of[int(m.group(2))] = int(m.group(1))

patched = 0
def mend(m):
    global patched
    flags, offset = m.group(2), int(m.group(4))
    if "out" not in flags or offset not in ref_of:
        return m.group(0)
    patched += 1
    right = ref_of[offset]
    return "%sNdrFcShort(0x%x),\t/* type offset = %d */" % (m.group(1), right, right)

text = re.sub(r"(/\* \d+ \(parameter \w+\) \*/\s*NdrFcShort\(0x[0-9a-f]+\),\s*/\* flags: ([^*]*)\*/\s*"
              r"NdrFcShort\(0x[0-9a-f]+\),\s*/\* stack offset = \d+ \*/\s*)"
              r"NdrFcShort\((0x[0-9a-f]+)\),\s*/\* type offset = (\d+) \*/", mend, text)
if patched != expected:
    sys.exit("patch_proxy: mended %d [out] string pointer(s) of %d in %s" % (patched, expected, idl_path))
open(proxy_path, "w").write(text)
print("patch_proxy: mended %d [out] string pointer(s)" % patched)
