#!/usr/bin/env bash
# run.sh [WORK] [RUNS] [C]: the zip extraction benchmark. Builds a release pkgtool (no
# sanitizers), makes archive A (about 200 MB in 2000 files, half compressible text, half
# random bytes, Info-ZIP zip -6) and archive B (20000 files of 1 to 4 KB), then times
# `pkgtool extract` against `unzip -q -o` and `bsdtar -xf`, alternating tools in each round,
# each into a fresh folder on the same disk, and prints medians, ratios and peak memory.
# Last, C: `pkgtool check` on archives of 4096, 16384 and 65535 small items, as time per
# item (a third argument "C" runs only this part).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
work="${1:-$root/build/bench-zip}"
runs="${2:-5}"
shift $(($# < 2 ? $# : 2))
mkdir -p "$work"

cmake -S "$root" -B "$root/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLAUNCHER_SANITIZE=OFF -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build "$root/build/bench" --target pkgtool -j 2 >/dev/null

exec python3 "$root/bench/zip/bench.py" "$root/build/bench/bin/pkgtool" "$work" "$runs" "$@"
