#!/usr/bin/env bash
# " IsAdmin" reaches the client only while Control and Alt are both held down: the keys are
# held with xdotool for a focused Wine window, and the real launcher reads them.
# Usage: admin_keys_test.sh BIN_DIR
set -euo pipefail
. "$(dirname "$0")/wine_display.sh"

install="$work/install"
mkdir -p "$install"
cp "$bin/launcher.exe" "$bin/Veltmora.exe" "$install/"
cleanup_hooks+=('touch "$work/keyholder-stop"' 'xdotool keyup ctrl alt')

run "$bin/keyholder.exe" "$(winpath "$work/keys.txt")" &
window=$(timeout 120 xdotool search --sync --name '^launcher-keyholder$' | head -1)
xdotool windowfocus --sync "$window"
wait_for "$work/keys.txt" "ctrl=0 alt=0"

launch() {  # launch KEYS EXPECTED: one launch with the keys as they are now
  wait_for "$work/keys.txt" "$1"
  rm -f "$install/veltmora-params.txt" "$install/veltmora-exited.txt"
  touch "$install/standin-stop"  # the client records its start and ends at once
  run "$install/launcher.exe" a b
  wait_for "$install/veltmora-params.txt" || true
  wait_for "$install/veltmora-exited.txt" || true
  check "keys $1" "$2" "$(cat "$install/veltmora-params.txt" 2>/dev/null || echo '<no client>')"
}

xdotool keydown ctrl alt
launch "ctrl=1 alt=1" "a b IsAdmin"
xdotool keyup alt
launch "ctrl=1 alt=0" "a b"
xdotool keyup ctrl
xdotool keydown alt
launch "ctrl=0 alt=1" "a b"
xdotool keyup alt
launch "ctrl=0 alt=0" "a b"
finish
