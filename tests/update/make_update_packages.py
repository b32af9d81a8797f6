#!/usr/bin/env python3
"""Writes the update packages the update tests install, with Python's zipfile (a real zip
writer), into the folder given as the first argument; the second is launcher.exe, which the
large package replaces. Each package is described where made."""
import os
import random
import shutil
import sys
import zipfile

out = sys.argv[1]
launcher = sys.argv[2]
os.makedirs(out, exist_ok=True)

# 2021-06-15 10:20:30 local time; the tests compare against the same calendar time.
STAMP = (2021, 6, 15, 10, 20, 30)


def entry(name, attributes=0x20, folder=False):
    info = zipfile.ZipInfo(name, STAMP)
    info.create_system = 0  # a DOS-type host: the low byte of the external attributes counts
    info.external_attr = attributes | (0x10 if folder else 0)
    info.compress_type = zipfile.ZIP_STORED if folder else zipfile.ZIP_DEFLATED
    return info


def package(name, items):
    with zipfile.ZipFile(os.path.join(out, name), "w") as z:
        for info, data in items:
            z.writestr(info, data)


# A typical update: replaces files, creates folders, has a folder item, a read-only file,
# a name outside every ANSI code page, and names with a drive letter and a leading separator.
package("typical.zip", [
    (entry("app.dll"), b"new app.dll\n" * 100),
    (entry("data/", folder=True), b""),
    (entry("data/a.txt"), b"new a\n"),
    (entry("deep/er/b.txt"), b"new b\n"),
    (entry("readonly.cfg", attributes=0x21), b"locked\n"),
    (entry("\u4e2d\uac00.txt"), b"wide name\n"),
    (entry("C:/drive.txt"), b"drive\n"),
    (entry("/rooted.txt"), b"rooted\n"),
])

# The same item twice in a row over one file, the second with a corrupted CRC: the first
# replaces the old file, the second must leave the first one's file in place.
package("second.zip", [(entry("app.dll"), b"second app.dll\n")])

with zipfile.ZipFile(os.path.join(out, "crc.zip"), "w") as z:
    z.writestr(entry("app.dll"), b"this data will not match its CRC-32\n" * 10)
    z.writestr(entry("good.txt"), b"good\n")
with open(os.path.join(out, "crc.zip"), "r+b") as f:
    data = bytearray(f.read())
    # Corrupt one byte of the stored CRC-32 in the first local header and its central record.
    crc_local = 14
    data[crc_local] ^= 0xFF
    central = data.find(b"PK\x01\x02")
    data[central + 16] ^= 0xFF
    f.seek(0)
    f.write(data)

# Items that would land outside the install folder: refused, nothing written there.
package("unsafe.zip", [
    (entry("../outside.txt"), b"escaped\n"),
    (entry("data/../../outside2.txt"), b"escaped\n"),
    (entry("inside.txt"), b"inside\n"),
])

package("empty.zip", [])

with open(os.path.join(out, "typical.zip"), "rb") as f:
    whole = f.read()
with open(os.path.join(out, "truncated.zip"), "wb") as f:
    f.write(whole[: len(whole) // 2])

with open(os.path.join(out, "notzip.zip"), "wb") as f:
    f.write(b"This is not a zip archive.\n" * 20)

# Replaces a program that is running while the update is installed.
package("inuse.zip", [(entry("helper.exe"), b"new helper\n")])


def corrupt_last_crc(path):
    """Flips one byte of the last item's CRC-32 in its local header and its central record."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        local = data.rfind(b"PK\x03\x04", 0, data.find(b"PK\x01\x02"))
        data[local + 14] ^= 0xFF
        central = data.rfind(b"PK\x01\x02")
        data[central + 16] ^= 0xFF
        f.seek(0)
        f.write(data)


# The packages of the bad-package table, over an install folder of app.dll, readonly.cfg
# (read-only), held.dat (held open without delete sharing) and tools/helper.exe (running).
with zipfile.ZipFile(os.path.join(out, "corrupt-last.zip"), "w") as z:
    z.writestr(entry("app.dll"), b"new app.dll\n")
    z.writestr(entry("readonly.cfg", attributes=0x21), b"new locked\n")
    z.writestr(entry("tools/helper.exe"), b"new helper\n")
    z.writestr(entry("data/new.txt"), b"new\n")
    z.writestr(entry("last.bin"), b"the last item, corrupt\n" * 50)
corrupt_last_crc(os.path.join(out, "corrupt-last.zip"))

# The third target is held open: it cannot be set aside once the first two are.
package("held.zip", [
    (entry("app.dll"), b"new app.dll\n"),
    (entry("readonly.cfg", attributes=0x21), b"new locked\n"),
    (entry("held.dat"), b"new held\n"),
    (entry("data/new.txt"), b"new\n"),
])

# A file held for a moment: the first item's new file in place tells the test that the
# commit has begun, and the second target is held a little longer.
package("moment.zip", [
    (entry("first.txt"), b"new first, longer than the old one\n"),
    (entry("app.dll"), b"new app.dll\n" * 100),
])

# A file the running client holds open until it ends.
package("client-data.zip", [(entry("client.dat"), b"new client data\n")])

# 64 MiB of zeros compress to a few kilobytes: the package fits a small disk, its files not,
# and it says so in its sizes.
with zipfile.ZipFile(os.path.join(out, "noroom.zip"), "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr(entry("app.dll"), b"new app.dll\n")
    z.writestr(entry("data/new.txt"), b"new\n")
    z.writestr(entry("big.bin"), bytes(64 << 20))

# 5000 bytes in all, but each file takes a block of its own: the small disk fills up while
# the package is staged.
with zipfile.ZipFile(os.path.join(out, "diskfull.zip"), "w", zipfile.ZIP_STORED) as z:
    z.writestr(entry("app.dll"), b"new app.dll\n")
    for i in range(5000):
        z.writestr(entry("many/f%04d" % i), b"x")

# The large update of the stop table: about 240 MB over an old version of 100 files of 1 MiB.
# It replaces launcher.exe (with bytes behind the program, which still runs), every old file,
# and adds 60 more in a new folder. Stored, so the package is quick to make.
rng = random.Random(9)
old = os.path.join(out, "big-old")
shutil.rmtree(old, ignore_errors=True)
os.makedirs(old)
for i in range(100):
    with open(os.path.join(old, "f%03d.bin" % i), "wb") as f:
        f.write(rng.randbytes(1 << 20))
with open(launcher, "rb") as f:
    new_launcher = f.read() + b"new launcher overlay"
with zipfile.ZipFile(os.path.join(out, "big.zip"), "w", zipfile.ZIP_STORED) as z:
    z.writestr(entry("launcher.exe"), new_launcher)
    for i in range(100):
        z.writestr(entry("f%03d.bin" % i), rng.randbytes(3 << 19))
    for i in range(60):
        z.writestr(entry("more/m%03d.bin" % i), rng.randbytes(3 << 19))
