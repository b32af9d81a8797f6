#!/usr/bin/env python3
"""Signs copies of typical.zip (made by make_update_packages.py) with `pkgtool sign`, for the
signed-package tests, and changes single bytes of the signed copy afterwards; and makes the
releases of the release-order test: release-N.zip, signed as release N, and unnumbered.zip,
signed in the first layout (no number) with the openssl program, as pipelines did before.

Usage: sign_update_packages.py PACKAGES PKGTOOL KEYS [EMULATOR]
KEYS is the folder of make_test_keys.sh; EMULATOR (scripts/wine-run) runs pkgtool.exe.
"""
import base64
import os
import shutil
import subprocess
import sys
import zipfile

out, pkgtool, keys = sys.argv[1], sys.argv[2], sys.argv[3]
emulator = sys.argv[4:]


def arg(path):
    # pkgtool.exe under Wine sees the build tree on drive Z:.
    return "Z:" + path.replace("/", "\\") if emulator else path


def pkgtool_run(*args):
    return subprocess.run(emulator + [pkgtool] + [*args], capture_output=True).returncode


def sign(path, key, sequence):
    code = pkgtool_run("sign", "--key", arg(os.path.join(keys, key)), "--sequence", str(sequence),
                       arg(path))
    if code != 0:
        sys.exit(f"pkgtool sign {os.path.basename(path)}: exit code {code}")


def signed_copy(name, key):
    path = os.path.join(out, name)
    shutil.copyfile(os.path.join(out, "typical.zip"), path)
    sign(path, key, 1)
    return path


def release(name, text):
    """A package whose app.dll says `text`."""
    path = os.path.join(out, name)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("app.dll", text)
    return path


for n in (1, 2, 3):
    sign(release(f"release-{n}.zip", f"release {n}\n"), "product.pem", n)
# The first layout over an archive without a comment: the signature is over the file itself.
unnumbered = release("unnumbered.zip", "unnumbered\n")
der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", os.path.join(keys, "product.pem"),
                      unnumbered], capture_output=True, check=True).stdout
with open(os.path.join(keys, "product.keyid")) as f:
    keyid = f.read().strip()
comment = f"update-signature v1 ecdsa-p256-sha256 key={keyid} sig={base64.b64encode(der).decode()}"
with open(unnumbered, "r+b") as f:
    f.seek(-2, os.SEEK_END)
    f.write(len(comment).to_bytes(2, "little") + comment.encode())


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
