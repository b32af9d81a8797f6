#!/usr/bin/env bash
# run.sh [WORK] [ROUNDS] [PARTS]: the zip extraction benchmark (README.md beside this file).
# Builds a release pkgtool (no sanitizers) and the floor program, makes archive A (about
# 200 MB in 2000 files, half compressible text, half random bytes, Info-ZIP zip -6) and B
# (20000 files of 1 to 4 KB) once in WORK, and times `pkgtool extract` against unzip, bsdtar,
# 7zz and Python's zipfile, and the floors, on a file system made for the benchmark (as root;
# a folder otherwise). U installs A over a copy of its previous version (same names, other
# bytes), against unzip and bsdtar overwriting it. Then C: `pkgtool check` per item on archives
# of 4096 to 65535 items, one of them with an unreadable directory record. ROUNDS is at least 7
# (the default); PARTS picks any of A, U, B, C and P (default AUBCP). P: `pkgtool pack` of A's
# previous version and A against `zip -r -X` of the same files.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="${1:-$root/build/bench-zip}"
runs="${2:-7}"
parts="${3:-AUBCP}"
mkdir -p "$work"

cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLAUNCHER_SANITIZE=OFF -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build "$root/build/bench" --target pkgtool zip_floor -j 2 >/dev/null

exec python3 "$root/bench/zip/bench.py" "$root/build/bench/bin/pkgtool" \
  "$root/build/bench/bin/zip_floor" "$work" "$runs" "$parts"
