#!/usr/bin/env python3
"""Writes the hand-made seeds of the zip fuzz corpus (cases no archiver produces on its
own): unsafe names, a short "UT" block, a data descriptor, and overlapping items. Run from
fuzz/zip/."""
import io
import struct
import zipfile
import zlib

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


def overlapping_archive():
    """One sound item, then three directory records naming one local header and its deflate
    stream (1 MiB of zeros), and a stored item whose data run into the header behind it."""
    def deflate(data):
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        return c.compress(data) + c.flush()

    def local(name, method, crc, data, size):
        return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x5022, crc,
                           len(data), size, len(name), 0) + name + data

    def central(name, method, crc, compressed, size, offset):
        return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E, 20, 0, method, 0, 0x5022,
                           crc, compressed, size, len(name), 0, 0, 0, 0, 0o100644 << 16,
                           offset) + name

    body, directory = b"", b""
    plain = b"a sound item\n"
    directory += central(b"ok.txt", 0, zlib.crc32(plain), len(plain), len(plain), len(body))
    body += local(b"ok.txt", 0, zlib.crc32(plain), plain, len(plain))
    zeros = bytes(1 << 20)
    stream = deflate(zeros)
    offset = len(body)
    body += local(b"b1.txt", 8, zlib.crc32(zeros), stream, len(zeros))
    for name in (b"b1.txt", b"b2.txt", b"b3.txt"):
        directory += central(name, 8, zlib.crc32(zeros), len(stream), len(zeros), offset)
    # Stored data claiming 10 bytes more than they hold: they run into the last header.
    into = b"runs on"
    directory += central(b"in.txt", 0, zlib.crc32(into), len(into) + 10, len(into), len(body))
    body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x5022, zlib.crc32(into),
                        len(into) + 10, len(into), 6, 0) + b"in.txt" + into
    tail = b"tail"
    directory += central(b"tl.txt", 0, zlib.crc32(tail), len(tail), len(tail), len(body))
    body += local(b"tl.txt", 0, zlib.crc32(tail), tail, len(tail))
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 6, 6, len(directory), len(body), 0)
    return body + directory + end


with open("corpus/overlap.zip", "wb") as f:
    f.write(overlapping_archive())

# A release signature's comment (layout v2) for the parser to start from: product, sequence,
# a made-up key id and the smallest well-formed DER signature (r = s = 1).
with zipfile.ZipFile("corpus/release-signed.zip", "w") as z:
    z.writestr(zipfile.ZipInfo("app.dll", date_time=(2024, 3, 5, 7, 8, 10)), "release")
    z.comment = (b"update-signature v2 ecdsa-p256-sha256 product=Veltmora sequence=42 key="
                 + b"ab" * 32 + b" sig=MAYCAQECAQE=")
