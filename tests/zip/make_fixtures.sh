#!/usr/bin/env bash
# make_fixtures.sh OUT: makes archives of one source tree with Info-ZIP zip, 7-Zip (7zz),
# bsdtar and Python's zipfile, extracts each with Info-ZIP unzip (TZ=UTC), and writes
# OUT/manifest.txt: archive, path, type, size, modification time (UTC seconds), CRC-32 of
# every file and folder unzip produced. The compatibility test installs the same archives
# and compares.
set -euo pipefail
out="$1"
export TZ=UTC LC_ALL=C.UTF-8
for tool in zip unzip 7zz bsdtar python3; do
  command -v "$tool" >/dev/null || { echo "make_fixtures: $tool missing (scripts/setup)" >&2; exit 1; }
done
rm -rf "$out"
mkdir -p "$out/src" "$out/ref"
src="$out/src"

python3 - "$src" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(4)
def put(rel, data, mtime):
    p = os.path.join(root, rel)
    os.makedirs(os.path.dirname(p), exist_ok=True)
    with open(p, "wb") as f:
        f.write(data)
    os.utime(p, (mtime, mtime))
put("readme.txt", b"update package\n" * 50, 1600000001)
put("empty.dat", b"", 1600000003)
put("bin/random.bin", bytes(rnd.getrandbits(8) for _ in range(70000)), 1500000000)
put("bin/deep/er/text.txt", ("".join(rnd.choice("abc \n") for _ in range(40000))).encode(), 1234567890)
put("donn\u00e9es/\u4e2d\u6587.txt", "caf\u00e9\n".encode(), 1700000000)
os.makedirs(os.path.join(root, "emptydir"), exist_ok=True)
os.utime(os.path.join(root, "emptydir"), (1600000000, 1600000000))
PY

(cd "$src" && zip -qr -6 "$out/infozip.zip" .)
(cd "$src" && zip -qr -0 "$out/infozip-stored.zip" .)
(cd "$src" && zip -qr -X "$out/infozip-noextra.zip" .)
(cd "$src" && zip -qr -9 -z "$out/infozip-comment.zip" . < <(head -c 2000 /dev/zero | tr '\0' c))
(cd "$src" && 7zz a -tzip -bd -bso0 "$out/7zip.zip" . >/dev/null)
(cd "$src" && bsdtar --format zip -cf "$out/bsdtar.zip" .)
python3 - "$src" "$out/python.zip" <<'PY'
import os, sys, zipfile
src, dst = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as z:
    for dirpath, dirs, files in sorted(os.walk(src)):
        dirs.sort()
        for name in sorted(files):
            p = os.path.join(dirpath, name)
            z.write(p, os.path.relpath(p, src))
        if not files and not dirs:
            z.write(dirpath, os.path.relpath(dirpath, src) + "/")
PY
# A stub in front, offsets left unadjusted: every offset is off by the stub's length.
{ head -c 3000 /dev/zero | tr '\0' s; cat "$out/infozip.zip"; } > "$out/stub.zip"

: > "$out/manifest.txt"
for a in infozip infozip-stored infozip-noextra infozip-comment 7zip bsdtar python stub; do
  # unzip warns (exit 1) about the stub but extracts all the same.
  unzip -q -o "$out/$a.zip" -d "$out/ref/$a.zip" || [[ $? -eq 1 ]]
  python3 - "$out/ref/$a.zip" "$a.zip" >> "$out/manifest.txt" <<'PY'
import os, sys, zlib
root, name = sys.argv[1], sys.argv[2]
print(f"{name}\t.\td\t0 0 0")
for dirpath, dirs, files in os.walk(root):
    for n in dirs + files:
        p = os.path.join(dirpath, n)
        rel = os.path.relpath(p, root)
        st = os.stat(p)
        if os.path.isdir(p):
            print(f"{name}\t{rel}\td\t0 0 0")
        else:
            data = open(p, "rb").read()
            print(f"{name}\t{rel}\tf\t{len(data)} {int(st.st_mtime)} {zlib.crc32(data):08x}")
PY
done
echo "fixtures in $out"
