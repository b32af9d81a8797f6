#!/usr/bin/env bash
# The README's command for seeing the log under Wine, as a reader types it (its output into a
# pipe): it returns by itself, shows both log lines on both channels, and leaves no file behind
# in the build's bin folder, where the launcher and the stand-in client lie.
# Usage: show_log_test.sh ROOT BIN_DIR
set -uo pipefail
root="$1" bin="$2"
passes=0
failures=0
check() {
  if [[ $2 == "$3" ]]; then passes=$((passes + 1)); echo "ok: $1"; else
    failures=$((failures + 1)); echo "FAIL: $1: expected '$2', got '$3'"; fi
}

before="$(cd "$bin" && find . | LC_ALL=C sort)"
out="$(timeout 300 "$root/scripts/show-log" 'forcerun:probe' | cat)"
check "returns by itself, with the launcher's exit code" "0" "$?"
echo "$out"
check "exit code shown" "1" "$(grep -c '^exit code: 0$' <<<"$out")"
check "class path line on both channels" "2" "$(grep -c 'class path: Veltmora.exe' <<<"$out")"
check "par line on standard error" "1" "$(grep -c '^    \[ZUD\]\[I\]\[.*\] par: probe$' <<<"$out")"
check "par line as debug output" "1" "$(grep -cF 'par: probe\n"' <<<"$out")"
check "nothing left in $bin" "" "$(diff <(echo "$before") <(cd "$bin" && find . | LC_ALL=C sort))"

echo "$passes passed, $failures failed"
((failures == 0))
