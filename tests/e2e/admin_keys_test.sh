#!/usr/bin/env bash
# " IsAdmin" reaches the client only while Control and Alt are both held down: the keys are
# held with xdotool on a private Xvfb display, in a private Wine prefix, for the real launcher.
# Usage: admin_keys_test.sh BIN_DIR   (re-runs itself under xvfb-run)
set -euo pipefail
bin="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/../.." && pwd)"
if [[ -z ${ADMIN_KEYS_UNDER_XVFB:-} ]]; then
  export ADMIN_KEYS_UNDER_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

work="$(mktemp -d /tmp/launcher-keys.XXXXXX)"
export WINEPREFIX="$work/prefix"
cleanup() {
  touch "$work/keyholder-stop" 2>/dev/null || true
  xdotool keyup ctrl alt 2>/dev/null || true
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$root/scripts/wine-prefix" "$WINEPREFIX"
install="$work/install"
mkdir -p "$install"
cp "$bin/launcher.exe" "$bin/Veltmora.exe" "$install/"
run() { "$root/scripts/wine-run" "$@"; }

wait_for() {  # wait_for FILE CONTENT
  for _ in $(seq 200); do
    [[ -f $1 && "$(cat "$1")" == "$2" ]] && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' in $1 (has: '$(cat "$1" 2>/dev/null)')" >&2
  return 1
}

run "$bin/keyholder.exe" "Z:${work//\//\\}\\keys.txt" &
window=$(xdotool search --sync --name '^launcher-keyholder$' | head -1)
xdotool windowfocus --sync "$window"
wait_for "$work/keys.txt" "ctrl=0 alt=0"

failures=0
launch() {  # launch EXPECTED: one launch with the keys as they are now
  rm -f "$install/veltmora-params.txt"
  touch "$install/standin-stop"
  run "$install/launcher.exe" a b
  for _ in $(seq 200); do [[ -f $install/veltmora-params.txt ]] && break; sleep 0.05; done
  local got
  got="$(cat "$install/veltmora-params.txt" 2>/dev/null || echo '<no client>')"
  if [[ $got == "$1" ]]; then
    echo "ok: keys '$(cat "$work/keys.txt")' -> '$got'"
  else
    echo "FAIL: keys '$(cat "$work/keys.txt")' -> '$got', expected '$1'"
    failures=$((failures + 1))
  fi
}

xdotool keydown ctrl alt
wait_for "$work/keys.txt" "ctrl=1 alt=1"
launch "a b IsAdmin"

xdotool keyup alt
wait_for "$work/keys.txt" "ctrl=1 alt=0"
launch "a b"

xdotool keyup ctrl
xdotool keydown alt
wait_for "$work/keys.txt" "ctrl=0 alt=1"
launch "a b"

xdotool keyup alt
wait_for "$work/keys.txt" "ctrl=0 alt=0"
launch "a b"

echo "$((4 - failures)) passed, $failures failed"
((failures == 0))
