#!/usr/bin/env bash
# The restart question as users meet it: the real MessageBoxW on an Xvfb display, found by its
# caption, answered with Return, Escape, the Cancel button and the window's close button, with
# real stand-in clients running; a link handed over goes only to the install folder's own
# client, never to a program of its name elsewhere that serves the pipe. Saves a screenshot
# per language in ARTIFACT_DIR.
# Usage: restart_question_test.sh BIN_DIR ARTIFACT_DIR
set -euo pipefail
. "$(dirname "$0")/wine_display.sh"
artifacts="$2"
mkdir -p "$artifacts"

zh_text=$'\xe6\xa3\x80\xe6\xb5\x8b\xe5\x88\xb0\xe7\xa8\x8b\xe5\xba\x8f\xe6\xad\xa3\xe5\x9c\xa8\xe8\xbf\x90\xe8\xa1\x8c\xef\xbc\x8c\xe6\x98\xaf\xe5\x90\xa6\xe9\x87\x8d\xe6\x96\xb0\xe6\x89\x93\xe5\xbc\x80!'
zh_caption=$'\xe6\x8f\x90\xe7\xa4\xba'
en_text='Another program is already in progress, start new one?'
en_caption='Prompt'

install="$work/install"
mkdir -p "$install"
cp "$bin/launcher.exe" "$bin/Veltmora.exe" "$install/"
touch "$install/standin-stop"  # clients the launcher starts record their start and end at once

# start_old NAME FOLDER: a running client (or near-miss program) serving no pipe unless NAME
# is the client's and it is the first.
start_old() {
  local folder="$work/$2"
  mkdir -p "$folder"
  cp "$bin/Veltmora.exe" "$folder/$1"
  [[ ${3:-serve} == serve ]] || touch "$folder/standin-nopipe"
  (cd "$folder" && run "$folder/$1" >/dev/null 2>&1 &)
  wait_for "$folder/veltmora-starts.txt"
  if [[ ${3:-serve} == serve ]]; then wait_for "$folder/veltmora-ready.txt"; fi
}

stop_all() {
  for f in "$work"/old*/ "$work"/squat*/; do touch "$f/standin-stop"; done
  sleep 0.3
}
cleanup_hooks+=(stop_all)

# --- A program of the client's name from another folder serves the pipe: it gets nothing -----
# The hand-off runs from old1, an install folder whose own client is not running.
mkdir -p "$work/old1"
cp "$bin/launcher.exe" "$work/old1/"
from="$work/old1"
set_language en-US
start_old Veltmora.exe squat
launch_async '"quorvane://login?ticket=SECRET-123"'
window=$(find_window "^${en_caption}\$")
xdotool windowfocus --sync "$window" key Escape
check "squatter: exit code as without a pipe" "1" "$(launcher_exit)"
wait_for "$work/squat/veltmora-pipe-1.bin"
check "squatter: connected to, sent nothing" "0" "$(stat -c %s "$work/squat/veltmora-pipe-1.bin")"
check "squatter: logged" "yes" \
  "$(grep -aq '\[ZUD\].* url not handed over: the pipe is served by Z:.*squat.Veltmora\.exe, not Z:.*old1.Veltmora\.exe' \
    "$work/launch-output" && echo yes || echo no)"
touch "$work/squat/standin-stop"
wait_gone Veltmora.exe

# --- Chinese: Escape keeps the client and hands the URL over ---------------------------------
# old1's own client now runs: the URL goes to it.
set_language zh-CN
start_old Veltmora.exe old1
launch_async '"quorvane://live/42"'
window=$(find_window "^${zh_caption}\$")
desc=$(dialog "$zh_caption")
check "Chinese text" "text=$zh_text" "$(grep '^text=' <<<"$desc")"
check "OK and Cancel buttons" "1 2" "$(sed -n 's/^button=\([0-9]*\) .*/\1/p' <<<"$desc" | sort | tr '\n' ' ' | sed 's/ $//')"
sleep 0.5
import -window root "$artifacts/restart-question-zh-CN.png"
xdotool windowfocus --sync "$window" key Escape
check "Escape: exit code" "0" "$(launcher_exit)"
wait_for "$work/old1/veltmora-pipe-1.bin"
# live/42, the closing quotation mark and one zero byte: nine bytes.
check "Escape: URL handed to the running client" "6c6976652f34322200" \
  "$(od -An -tx1 -v "$work/old1/veltmora-pipe-1.bin" | tr -d ' \n')"
check "Escape: client kept" "1" "$(count Veltmora.exe)"
check "Escape: no new client" "1" "$(wc -l <"$work/old1/veltmora-starts.txt")"

# --- English: the Cancel button does the same ------------------------------------------------
set_language en-US
launch_async 'x quorvane://a quorvane://b'
find_window "^${en_caption}\$" >/dev/null
desc=$(dialog "$en_caption")
check "English text" "text=$en_text" "$(grep '^text=' <<<"$desc")"
sleep 0.5
import -window root "$artifacts/restart-question-en-US.png"
read -r x y <<<"$(button "$desc" 2)"
xdotool mousemove "$x" "$y" click 1
check "Cancel: exit code" "0" "$(launcher_exit)"
wait_for "$work/old1/veltmora-pipe-2.bin"
# The blank escaped: a link adds no argument over the pipe either.
check "Cancel: URL part handed over" "a%20quorvane://b" "$(tr -d '\0' <"$work/old1/veltmora-pipe-2.bin")"
check "Cancel: client kept" "1" "$(count Veltmora.exe)"

# --- The close button without a URL: silent exit, nothing else -------------------------------
launch_async 'plain text'
find_window "^${en_caption}\$" >/dev/null
desc=$(dialog "$en_caption")
read -r x y <<<"$(sed -n 's/^close=//p' <<<"$desc")"
xdotool mousemove "$x" "$y" click 1
check "close button: exit code" "0" "$(launcher_exit)"
check "close button: client kept" "1" "$(count Veltmora.exe)"
check "close button: nothing handed over" "no" "$([[ -f $work/old1/veltmora-pipe-3.bin ]] && echo yes || echo no)"
check "close button: no new client" "1" "$(wc -l <"$work/old1/veltmora-starts.txt")"

# --- Out of memory in the hand-off course: only the step that met it fails -------------------
# The launcher's flow under an allocator that fails one chosen allocation (failing_allocator.cpp),
# the question answered Escape: whichever allocation fails, the launcher ends with 0, or 1 when
# the URL could not be handed over, and never dies of it. A failure in the running-client check
# lets the full launch go on instead, without a question.
cp "$bin/failing_alloc_launcher.exe" "$work/old1/failing.exe"
export LAUNCHER_ALLOCATION_COUNT
LAUNCHER_ALLOCATION_COUNT="$(winpath "$work/allocations.txt")"
answer_if_asked() {
  local window
  for _ in $(seq 100); do
    [[ -f $work/exit-code ]] && return 0
    window=$(xdotool search --onlyvisible --name "^${en_caption}\$" 2>/dev/null | head -1 || true)
    if [[ -n $window ]] && xdotool windowfocus --sync "$window" key Escape 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
}
export LAUNCHER_FAIL_ALLOCATION=none
launch_async "\"quorvane://$(printf 'm%.0s' $(seq 40))\"" failing.exe
answer_if_asked
check "out of memory: exit code without a failure" "0" "$(launcher_exit)"
wait_for "$work/old1/veltmora-pipe-3.bin"
allocations=$(cat "$work/allocations.txt")
check "out of memory: the hand-off allocates" "yes" "$(((allocations > 2)) && echo yes || echo no)"
crashed=""
for n in $(seq "$allocations"); do
  LAUNCHER_FAIL_ALLOCATION=$n
  launch_async "\"quorvane://$(printf 'm%.0s' $(seq 40))\"" failing.exe
  answer_if_asked
  code=$(launcher_exit)
  [[ $code == 0 || $code == 1 ]] || crashed+=" $n:$code"
done
unset LAUNCHER_FAIL_ALLOCATION LAUNCHER_ALLOCATION_COUNT
check "out of memory: every failing allocation ends with 0 or 1" "" "$crashed"
rm -f "$install/veltmora-params.txt" "$install/veltmora-exited.txt"
unset from

# --- Return answers OK: every client ends, near-misses stay, the new client starts ------------
start_old Veltmora.exe old2 nopipe
start_old Veltmora.exe old3 nopipe
start_old veltmora.exe old4 nopipe
start_old MyVeltmora.exe old5 nopipe
set_language zh-CN
launch_async '"quorvane://live/42"'
window=$(find_window "^${zh_caption}\$")
xdotool windowfocus --sync "$window" key Return
check "OK: exit code" "0" "$(launcher_exit)"
wait_for "$install/veltmora-params.txt"
check "OK: new client gets the URL part" 'live/42"' "$(cat "$install/veltmora-params.txt")"
wait_for "$install/veltmora-exited.txt"
wait_gone Veltmora.exe
check "OK: all three old clients terminated" "0" "$(count Veltmora.exe)"
check "OK: terminated, not stopped" "no" "$([[ -f $work/old1/veltmora-exited.txt ]] && echo yes || echo no)"
check "OK: veltmora.exe left alone" "1" "$(count veltmora.exe)"
check "OK: MyVeltmora.exe left alone" "1" "$(count MyVeltmora.exe)"

# --- forcerun: no question, clients terminated ------------------------------------------------
rm -f "$install/veltmora-params.txt" "$install/veltmora-exited.txt"
start_old Veltmora.exe old6 nopipe
launch_async 'forcerun:go'
check "forcerun: exit code without any answer" "0" "$(launcher_exit)"
wait_for "$install/veltmora-params.txt"
check "forcerun: new client started" "go" "$(cat "$install/veltmora-params.txt")"
wait_for "$install/veltmora-exited.txt"
wait_gone Veltmora.exe
check "forcerun: old client terminated" "0" "$(count Veltmora.exe)"

finish
