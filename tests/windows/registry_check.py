# Compares the classes root of a Wine prefix with the registration table of
# ZelOpcServer3.exe, read through `wine reg query /s` (one call per key tree).
#   registry_check.py registered EXE_WINDOWS_PATH   every entry present with its value
#   registry_check.py removed                       the program's entries gone, the
#                                                   OPC DA 2.0 category itself kept
# Prints one line per difference; the exit code is 1 when there was one.
import os
import subprocess
import sys
import tempfile

SERVER = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B11}"
GROUP = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B12}"
TYPELIB = "{6B1D9A52-3C7E-4F0A-9E21-5A8C0D3F7B10}"
DA20 = "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"

# class id, ProgID, description, typed (Version and TypeLib entries)
CLASSES = [
    (SERVER, "ZelOpcServer3.ZELOPC", "Zel Net OPC Server 3", True),
    (GROUP, "ZelOpcServer3.OPCGroup", "", True),
    ("{00000100-0000-0000-C000-000000000046}", "ZelOpcServer3.TS3UnknownEnumerator", "Unknown Enumerator", False),
    ("{39C13A55-011E-11D0-9675-0020AFD8ADB3}", "ZelOpcServer3.TOPCItemAttEnumerator", "Item Attribute Enumerator", False),
    ("{00000101-0000-0000-C000-000000000046}", "ZelOpcServer3.TOPCStringsEnumerator", "String Enumerator", False),
]


def query(trees):
    """{key (upper case): {value name (upper case, '' = default): data}} of the key trees,
    from one Wine start (each start of a Windows program costs seconds): a batch file of
    one query a tree, run by Wine's cmd."""
    with tempfile.TemporaryDirectory() as folder:
        batch = os.path.join(folder, "query.bat")
        with open(batch, "w", newline="\r\n") as f:
            f.write("@echo off\n")
            for tree in trees:
                f.write('reg query "HKEY_CLASSES_ROOT\\%s" /s\n' % tree)
        run = subprocess.run(["wine", "cmd", "/c", "Z:" + batch.replace("/", "\\")],
                             capture_output=True, text=True, errors="replace", timeout=120)
    keys, key = {}, None
    for line in run.stdout.replace("\r", "").split("\n"):
        if line.startswith("HKEY_"):
            key = line.strip().upper().removeprefix("HKEY_CLASSES_ROOT\\")
            keys.setdefault(key, {})
        elif line.startswith("    ") and key is not None:
            parts = line.strip().split("    ")
            if len(parts) >= 2:
                name = "" if parts[0] == "(Default)" else parts[0].upper()
                keys[key][name] = parts[2].strip() if len(parts) > 2 else ""
    return keys


def expected(exe):
    """[(tree, key, value name, data)]: what registration writes."""
    rows = [
        ("ZELOPC", "ZELOPC", "", "ZELOPC"),
        ("ZELOPC", "ZELOPC\\CLSID", "", SERVER),
        ("ZELOPC", "ZELOPC\\OPC", "VENDOR", "ZELOPC"),
        ("TypeLib\\" + TYPELIB, "TypeLib\\" + TYPELIB + "\\3.0", "", "Zel Net OPC Server V3"),
        ("TypeLib\\" + TYPELIB, "TypeLib\\" + TYPELIB + "\\3.0\\409\\win64", "", exe),
    ]
    for clsid, progid, description, typed in CLASSES:
        key = "CLSID\\" + clsid
        rows += [
            (key, key, "", description),
            (key, key + "\\LocalServer32", "", exe),
            (key, key + "\\ProgID", "", progid),
            (progid, progid, "", description),
            (progid, progid + "\\Clsid", "", clsid),
        ]
        if typed:
            rows += [(key, key + "\\Version", "", "3.0"), (key, key + "\\TypeLib", "", TYPELIB)]
    return rows


def main():
    mode = sys.argv[1]
    failures = []
    trees = ["ZELOPC", "Component Categories\\" + DA20, "TypeLib\\" + TYPELIB]
    for clsid, progid, _, _ in CLASSES:
        trees += ["CLSID\\" + clsid, progid]
    keys = query(trees)

    def tree(name):
        """The keys of one tree: the key itself and those below it."""
        top = name.upper()
        return {k: v for k, v in keys.items() if k == top or k.startswith(top + "\\")}

    if mode == "registered":
        for t, key, name, data in expected(sys.argv[2]):
            got = tree(t).get(key.upper(), {}).get(name)
            if got is None or got.lower() != data.lower():
                failures.append("%s [%s]: %r, expected %r" % (key, name or "(Default)", got, data))
        # The category's text is a value named by the user's locale, whatever Wine takes it to be.
        texts = tree("Component Categories\\" + DA20).get(("Component Categories\\" + DA20).upper(), {})
        if "OPC Data Access Servers Version 2.0" not in texts.values():
            failures.append("OPC DA 2.0 category without its text: %r" % texts)
        categories = tree("CLSID\\" + SERVER).get(("CLSID\\" + SERVER + "\\Implemented Categories").upper(), None)
        listed = {k.rsplit("\\", 1)[-1] for k in tree("CLSID\\" + SERVER) if "IMPLEMENTED CATEGORIES\\" in k}
        if categories is None or listed != {DA20}:
            failures.append("server class categories: %s, expected only the OPC DA 2.0 one" % sorted(listed))
    else:
        for clsid, progid, _, _ in CLASSES:
            for t in ("CLSID\\" + clsid, progid):
                if tree(t):
                    failures.append("%s still registered" % t)
        if tree("ZELOPC"):
            failures.append("ZELOPC still registered")
        if not tree("Component Categories\\" + DA20):
            failures.append("the OPC DA 2.0 category went with the program")
    for f in failures:
        print("registry_check: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
