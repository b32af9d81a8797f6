#!/usr/bin/env python3
"""Packs packed.zip from two release folders with `pkgtool pack`, for the test that installs
a package pack wrote through launcher.exe.

Usage: pack_update_package.py PACKAGES PKGTOOL [EMULATOR]
EMULATOR (scripts/wine-run) runs pkgtool.exe.
"""
import os
import shutil
import stat
import subprocess
import sys

out, pkgtool = sys.argv[1], sys.argv[2]
emulator = sys.argv[3:]


def arg(path):
    # pkgtool.exe under Wine sees the build tree on drive Z:.
    return "Z:" + path.replace("/", "\\") if emulator else path


def tree(root, files):
    shutil.rmtree(root, ignore_errors=True)
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data.encode())


old = os.path.join(out, "pack-old")
new = os.path.join(out, "pack-new")
tree(old, {"app.dll": "old app\n", "data/a.txt": "old a\n", "keep.txt": "same\n"})
tree(new, {"app.dll": "packed app.dll\n" * 50, "data/a.txt": "packed a\n", "keep.txt": "same\n",
           "\u65b0/\u8bf4\u660e.txt": "packed wide\n", "readonly.cfg": "ro\n"})
os.makedirs(os.path.join(new, "logs"))
# Wine shows a file without write permission as read-only.
os.chmod(os.path.join(new, "readonly.cfg"), stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)

package = os.path.join(out, "packed.zip")
done = subprocess.run(emulator + [pkgtool, "pack", "--from", arg(old), "--to", arg(new), "-o",
                                  arg(package)], capture_output=True, text=True)
if done.returncode != 0:
    sys.exit(f"pkgtool pack: exit code {done.returncode}: {done.stderr}")
