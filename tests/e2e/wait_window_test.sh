#!/usr/bin/env bash
# The waiting window as users meet it, on an Xvfb display with the real launcher: an install
# that takes a while shows it (a screenshot per language, mid-way) and it is gone when the
# client starts; a small install and a launch without one make no window at all; a second
# launch during a long install shows the waiting line and its link reaches the client the
# first one started; a restart question left open holds no other launch; a folder that holds
# neither version shows the message and starts no client. Screenshots go to ARTIFACT_DIR.
# Usage: wait_window_test.sh BIN_DIR ARTIFACT_DIR
set -euo pipefail
. "$(dirname "$0")/wine_display.sh"
artifacts="$2"
mkdir -p "$artifacts"

install="$work/install"
mkdir -p "$install"
cp "$bin/launcher.exe" "$bin/Veltmora.exe" "$install/"
# The product's icon, which the window shows (a plain red square, made by ImageMagick).
convert -size 48x48 xc:'#c03030' "$install/Veltmora.ico"

# package FILE MEGABYTES FILES: a package of FILES files of random bytes, MEGABYTES in all,
# stored, so that writing them is the install's work.
package() {
  python3 - "$@" <<'PY'
import os, sys, zipfile
path, megabytes, files = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
size = int(megabytes * 1024 * 1024 / files)
with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
    for i in range(files):
        z.writestr("data/part%04d.bin" % i, os.urandom(size))
PY
}

# A package that takes several seconds to install here also on a quiet machine (thousands of
# files, each created, flushed and renamed): long enough for a second launch to start and wait
# past the window's delay meanwhile.
package "$work/large.zip" 100 3000

# Wine starts its desktop with the first window of a session, which takes seconds: keep one up,
# as Windows' is, so that the window shows when it would there.
run winver.exe >/dev/null 2>&1 &
for _ in $(seq 200); do pgrep -f 'explorer.exe /desktop' >/dev/null && break; sleep 0.05; done

# launcher_windows: how many windows of the launcher's exist now, shown or not.
launcher_windows() { xdotool search --class '^launcher\.exe$' 2>/dev/null | wc -l; }

# most_windows: the most launcher windows seen at once until the launch of $as has ended.
most_windows() {
  local most=0 n
  until [[ -f $work/exit-code${as:+-$as} ]]; do
    n=$(launcher_windows)
    ((n > most)) && most=$n
    sleep 0.05
  done
  echo "$most"
}

visible_named() { xdotool search --onlyvisible --name "$1" 2>/dev/null | wc -l; }

# A fresh client record for the next launch; the client the launch starts stops at once.
next_launch() {
  rm -f "$install"/veltmora-*.txt "$install"/veltmora-pipe-*
  touch "$install/standin-stop"
}

# --- No update, a small update: no window at all ----------------------------------------------
set_language en-US
for case in none small; do
  next_launch
  [[ $case == none ]] || package "$install/update.zip" 0.01 3
  launch_async "forcerun:$case"
  check "$case: no launcher window" "0" "$(most_windows)"
  check "$case: exit code" "0" "$(launcher_exit)"
  wait_for "$install/veltmora-params.txt"
  check "$case: client started" "$case" "$(cat "$install/veltmora-params.txt")"
done
check "small: installed" "yes" "$([[ -f $install/data/part0002.bin && ! -f $install/update.zip ]] && echo yes || echo no)"

# --- A long install, in Chinese: the window shows, mid-way, and is gone before the client ----
set_language zh-CN
next_launch
cp "$work/large.zip" "$install/update.zip"
launch_async "forcerun:zh"
window=$(find_window '^Veltmora$')
# Looked up at once: the window goes when the install ends.
check "long install: the launcher's own window" "yes" \
  "$(xdotool search --class '^launcher\.exe$' | grep -qx "$window" && echo yes || echo no)"
sleep 0.3
import -window root "$artifacts/wait-window-installing-zh-CN.png"
check "long install: exit code" "0" "$(launcher_exit)"
wait_for "$install/veltmora-parent-windows.txt"
check "long install: no launcher window when the client started" "0" \
  "$(cat "$install/veltmora-parent-windows.txt")"
check "long install: installed" "yes" \
  "$([[ -f $install/data/part2999.bin && ! -f $install/update.zip ]] && echo yes || echo no)"

# --- In English, with a second launch and a link meanwhile -------------------------------------
# The client serves the pipe this time, for the second launch's link.
set_language en-US
next_launch
rm -f "$install/standin-stop" "$install"/data/*
cp "$work/large.zip" "$install/update.zip"
as=first launch_async "first"
# The journal is made under the launch lock: the first launch holds it, and installs.
wait_for "$install/update.journal"
as=second launch_async '"quorvane://join/7"'
find_window '^Veltmora$' >/dev/null
sleep 0.5
import -window root "$artifacts/wait-window-installing-en-US.png"
# Both windows: the install's and the second launch's waiting one.
for _ in $(seq 600); do
  (($(visible_named '^Veltmora$') >= 2)) || [[ -f $work/exit-code-first ]] && break
  sleep 0.1
done
check "second launch: shows the waiting window" "2" "$(visible_named '^Veltmora$')"
import -window root "$artifacts/wait-window-waiting-en-US.png"
check "first launch: exit code" "0" "$(as=first launcher_exit)"
wait_for "$install/veltmora-ready.txt"
# The client runs now: the second launch asks, as any launch that finds one running.
window=$(find_window '^Prompt$')
check "second launch: its waiting window is gone at the question" "0" "$(visible_named '^Veltmora$')"
xdotool windowfocus --sync "$window" key Escape
check "second launch: exit code" "0" "$(as=second launcher_exit)"
wait_for "$install/veltmora-pipe-1.bin"
check "second launch: its link reached the client the first started" "6a6f696e2f372200" \
  "$(od -An -tx1 -v "$install/veltmora-pipe-1.bin" | tr -d ' \n')"
check "one client" "1" "$(count Veltmora.exe)"

# --- A restart question left open holds no other launch ---------------------------------------
as=asking launch_async "asking"
window=$(find_window '^Prompt$')
start=$(date +%s)
as=forced launch_async "forcerun:forced"
check "question open: a forced launch goes on" "0" "$(as=forced launcher_exit)"
check "question open: ... at once, not after the lock's wait" "yes" \
  "$( (($(date +%s) - start < 60)) && echo yes || echo no)"
wait_for "$install/veltmora-params.txt" "forced"
check "question open: still open" "1" "$(visible_named '^Prompt$')"
xdotool windowfocus --sync "$window" key Escape
check "question answered: exit code" "0" "$(as=asking launcher_exit)"
touch "$install/standin-stop"
wait_gone Veltmora.exe

# --- A folder that holds neither version: the message, one OK button, no client --------------
# A journal the launch cannot read (a folder stands at its name): the interrupted install
# can be neither finished nor undone.
mkdir "$install/update.journal"
for lang in zh-CN en-US; do
  set_language "$lang"
  next_launch
  launch_async "forcerun:$lang"
  window=$(find_window '^Veltmora$')
  desc=$(dialog Veltmora)
  expected_label=OK
  [[ $lang == en-US ]] || expected_label=$'\xe7\xa1\xae\xe5\xae\x9a'
  check "neither version ($lang): one button, OK" "1 $expected_label" \
    "$(sed -n 's/^button=\([0-9]*\) [0-9-]* [0-9-]* \(.*\)/\1 \2/p' <<<"$desc" | tr '\n' ' ' | sed 's/ $//')"
  sleep 0.3
  import -window root "$artifacts/install-blocked-$lang.png"
  if [[ $lang == zh-CN ]]; then
    xdotool windowfocus --sync "$window" key Return
  else
    read -r x y <<<"$(button "$desc" 1)"
    xdotool mousemove "$x" "$y" click 1
  fi
  check "neither version ($lang): exit code" "0" "$(launcher_exit)"
  check "neither version ($lang): no client started" "no" \
    "$([[ -f $install/veltmora-starts.txt ]] && echo yes || echo no)"
  check "neither version ($lang): logged" "yes" \
    "$(grep -aq 'client not started: the install folder holds neither version whole' \
      "$work/launch-output" && echo yes || echo no)"
done

finish
