#!/usr/bin/env bash
# What a release engineer ships: `cmake --install` of this build into an empty folder gives
# exactly the listed files (never the stand-in client or a test program), and the programs
# installed are the ones built.
# Usage: release_layout_test.sh BUILD_DIR WORK_DIR EXPECTED_FILE...
set -euo pipefail
build="$1" work="$2"
shift 2
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/release" >/dev/null
status=0
actual="$(cd "$work/release" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)"
expected="$(printf '%s\n' "$@" | sed 's|^\./||' | LC_ALL=C sort)"
if [[ $actual == "$expected" ]]; then
  echo "ok: installed files: $(tr '\n' ' ' <<<"$actual")"
else
  echo "FAIL: installed files differ (- expected, + installed):"
  diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/'
  status=1
fi
for program in launcher.exe pkgtool.exe bin/pkgtool; do
  [[ -f $work/release/$program ]] || continue
  if cmp -s "$work/release/$program" "$build/bin/$(basename "$program")"; then
    echo "ok: $program is the one built"
  else
    echo "FAIL: $program differs from $build/bin/$(basename "$program")"
    status=1
  fi
done
exit $status
