#!/usr/bin/env python3
"""Signs copies of typical.zip (made by make_update_packages.py) with `pkgtool sign`, for the
signed-package tests, and changes single bytes of the signed copy afterwards.

Usage: sign_update_packages.py PACKAGES PKGTOOL KEYS [EMULATOR]
KEYS is the folder of make_test_keys.sh; EMULATOR (scripts/wine-run) runs pkgtool.exe.
"""
import os
import shutil
import subprocess
import sys

out, pkgtool, keys = sys.argv[1], sys.argv[2], sys.argv[3]
emulator = sys.argv[4:]


def arg(path):
    # pkgtool.exe under Wine sees the build tree on drive Z:.
    return "Z:" + path.replace("/", "\\") if emulator else path


def pkgtool_run(*args):
    return subprocess.run(emulator + [pkgtool] + [*args], capture_output=True).returncode


def signed_copy(name, key):
    path = os.path.join(out, name)
    shutil.copyfile(os.path.join(out, "typical.zip"), path)
    code = pkgtool_run("sign", "--key", arg(os.path.join(keys, key)), arg(path))
    if code != 0:
        sys.exit(f"pkgtool sign {name}: exit code {code}")
    return path


signed = signed_copy("signed.zip", "product.pem")
signed_copy("other-key.zip", "other.pem")
if pkgtool_run("verify", "--key", arg(os.path.join(keys, "product.pub.pem")), arg(signed)) != 0:
    sys.exit("pkgtool verify does not accept signed.zip")

with open(signed, "rb") as f:
    data = f.read()
central = data.index(b"PK\x01\x02")
end = data.rindex(b"PK\x05\x06")


def altered(name, offset):
    """The signed package with the byte at `offset` changed."""
    copy = bytearray(data)
    copy[offset] ^= 0x01
    with open(os.path.join(out, name), "wb") as f:
        f.write(copy)


altered("altered-local.zip", 10)  # the first local header's DOS time: never read
altered("altered-data.zip", 30 + len("app.dll") + 5)  # the first item's data
altered("altered-directory.zip", central + 36)  # the first record's internal attributes
altered("altered-end.zip", end + 10)  # the end record's entry count
altered("altered-signature.zip", len(data) - 10)  # inside the signature's base64
