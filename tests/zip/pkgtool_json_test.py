#!/usr/bin/env python3
"""pkgtool's --json output as a script consumes it: parsed by Python's json module.

Usage: pkgtool_json_test.py WORKDIR PKGTOOL [EMULATOR]
Makes a package with Python's zipfile (a folder, a Chinese name, a backslash, a drive-letter
name that the rules rewrite, a damaged item), runs `pkgtool list --json` and `check --json`
(through EMULATOR, scripts/wine-run, for pkgtool.exe) and checks what the parsed object says
of the signature and of each item.
"""
import json
import os
import shutil
import subprocess
import sys
import zipfile

work, pkgtool = sys.argv[1], sys.argv[2]
emulator = sys.argv[3:]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
archive = os.path.join(work, "package.zip")

with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr(zipfile.ZipInfo("data/", (2024, 3, 5, 7, 8, 10)), b"")
    z.writestr(zipfile.ZipInfo("data/\u4e2d\u6587.txt", (2024, 3, 5, 7, 8, 10)), b"text\n")
    z.writestr(zipfile.ZipInfo("data\\back.txt", (2024, 3, 5, 7, 8, 10)), b"x")
    z.writestr(zipfile.ZipInfo("C:/drive.txt", (2024, 3, 5, 7, 8, 10)), b"abc")
    z.writestr(zipfile.ZipInfo("crc.txt", (2024, 3, 5, 7, 8, 10)), b"crc data")
# Damage the last item's data so that only reading it (check) finds the fault.
data = bytearray(open(archive, "rb").read())
at = data.index(b"crc.txt") + len(b"crc.txt")  # its local header's name, data behind it
data[at] ^= 0xFF
open(archive, "wb").write(data)

# pkgtool.exe under Wine sees the archive on drive Z:.
arg = "Z:" + archive.replace("/", "\\") if emulator else archive

failures = 0


def check(what, expected, actual):
    global failures
    if expected == actual:
        print(f"ok: {what}")
    else:
        failures += 1
        print(f"FAIL: {what}: expected {expected!r}, got {actual!r}")


def run(command):
    p = subprocess.run(emulator + [pkgtool, command, "--json", arg], capture_output=True)
    report = json.loads(p.stdout.decode("utf-8"))
    return p.returncode, report["items"], report["signature"], p.stderr.decode("utf-8", "replace")


code, items, signature, err = run("list")
check("list: the signature's state", "unsigned", signature["state"])
check("list: no key without a signature", None, signature["key"])
check("list: exit code (a rewritten name is no problem)", 0, code)
check("list: one object per item", [0, 1, 2, 3, 4], [i["index"] for i in items])
check("list: names as the launcher installs them",
      ["data/", "data/\u4e2d\u6587.txt", "data\\back.txt", "drive.txt", "crc.txt"],
      [i["name"] for i in items])
check("list: stored names", "C:/drive.txt", items[3]["stored_name"])
check("list: folder attributes as words", True, "folder" in items[0]["attributes"])
check("list: sizes", [0, 5, 1, 3, 8], [i["size"] for i in items])
check("list: compressed sizes are numbers", True,
      all(isinstance(i["compressed_size"], int) for i in items))
check("list: modification time, UTC", True,
      all(len(i["mtime"]) == 20 and i["mtime"].endswith("Z") for i in items))
check("list: the rewrite is a warning", 1, len(items[3]["warnings"]))
check("list: no problems before the data is read", [[]] * 5, [i["problems"] for i in items])

code, items, signature, err = run("check")
check("check: exit code", 1, code)
check("check: the damaged item's problem", 1, len(items[4]["problems"]))
check("check: the others have none", [[]] * 4, [i["problems"] for i in items[:4]])
check("check: problems also on standard error", True, "crc.txt" in err)

print(f"{failures} checks failed" if failures else "all checks passed")
sys.exit(1 if failures else 0)
