#!/usr/bin/env python3
"""Writes the hand-made seeds of the zip fuzz corpus (cases no archiver produces on its
own): unsafe names, a short "UT" block, and a data descriptor. Run from fuzz/zip/."""
import io
import struct
import zipfile

with zipfile.ZipFile("corpus/unsafe-names.zip", "w") as z:
    for name in ["../evil", "a/../../x", "CON.txt", "C:\\d\\x", "a/s:tream", "ok/" + "n" * 40]:
        z.writestr(name, "x")

with zipfile.ZipFile("corpus/ut-short.zip", "w") as z:
    info = zipfile.ZipInfo("t.txt", date_time=(2020, 1, 2, 3, 4, 6))
    # Flags promise three times, the data holds one.
    info.extra = b"UT" + struct.pack("<HBi", 5, 7, 1600000000)
    z.writestr(info, "timed")


class Unseekable(io.RawIOBase):
    """zipfile writes a data descriptor (flag bit 3) when it cannot seek back."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


sink = Unseekable()
with zipfile.ZipFile(sink, "w", zipfile.ZIP_DEFLATED) as z:
    with z.open("dd.txt", "w") as f:
        f.write(b"descriptor " * 20)
with open("corpus/descriptor.zip", "wb") as f:
    f.write(bytes(sink.data))
