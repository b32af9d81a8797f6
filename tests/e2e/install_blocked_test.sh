#!/usr/bin/env bash
# A launch whose folder an interrupted install left neither the old version nor the new one:
# the undo cannot end while another program holds one of its files open without delete
# sharing. The launcher shows its message (its window on an Xvfb display, found by its
# caption, in Chinese and in English, a screenshot of each in ARTIFACT_DIR), starts no client
# and leaves the journal; once the file is let go, the next launch ends the undo and starts the
# client on the old version.
# Usage: install_blocked_test.sh BIN_DIR ARTIFACT_DIR
set -euo pipefail
. "$(dirname "$0")/wine_display.sh"
artifacts="$2"
mkdir -p "$artifacts"

caption='Veltmora'

install="$work/install"
mkdir -p "$install"
cp "$bin/launcher.exe" "$bin/Veltmora.exe" "$install/"

set_language() { run reg add 'HKCU\SOFTWARE\Veltmora\Language' /ve /d "$1" /f >/dev/null 2>&1; }
count() { run "$bin/wintool.exe" count "$1" | tr -d '\r'; }
dialog() { run "$bin/wintool.exe" dialog "$1" | tr -d '\r'; }
find_window() { timeout 120 xdotool search --sync --onlyvisible --name "$1" | head -1; }

# The install had set the old app.dll aside and put the new one in place, then began to undo
# itself: the undo must take the new file away, which the holder below does not let it.
printf 'new app' >"$install/app.dll"
printf 'old app' >"$install/app.dll.old~0000abcd"
journal=$'update journal\t3\t0000abcd\nreplace\tapp.dll\tapp.dll.new~0000abcd\tapp.dll.old~0000abcd\nphase\tcommit\nphase\trollback\n'
printf '%s' "$journal" >"$install/update.journal"

# The holder: a stand-in under another name (the launcher ends only the client's processes),
# holding app.dll open without delete sharing for as long as it runs.
cp "$bin/Veltmora.exe" "$install/holder.exe"
printf 'app.dll' >"$install/holder.exe.hold"
touch "$install/standin-nopipe"
(cd "$install" && run "$install/holder.exe" >/dev/null 2>&1 &)
wait_for "$install/veltmora-starts.txt"
sleep 1  # it opens the file right after recording its start
rm -f "$install/veltmora-starts.txt" "$install/veltmora-params.txt"

launch() {
  rm -f "$work/exit-code"
  (set +e; cd "$work" && run "$install/launcher.exe" forcerun: >"$work/launch-output" 2>&1
    echo $? >"$work/exit-code") &
}

for language in zh-CN en-US; do
  set_language "$language"
  launch
  window=$(find_window "^${caption}\$")
  desc=$(dialog "$caption")
  check "$language: one OK button" "1" "$(sed -n 's/^button=\([0-9]*\) .*/\1/p' <<<"$desc" | tr '\n' ' ' | sed 's/ $//')"
  sleep 0.5
  import -window root "$artifacts/install-blocked-held-$language.png"
  xdotool windowfocus --sync "$window" key Return
  wait_for "$work/exit-code"
  check "$language: exit code" "0" "$(cat "$work/exit-code")"
  check "$language: no client started" "no" "$([[ -f $install/veltmora-params.txt ]] && echo yes || echo no)"
  check "$language: the journal stays" "$(printf '%s' "$journal")" "$(cat "$install/update.journal")"
  check "$language: logged" "yes" \
    "$(grep -aq '\[ZUD\].*files could not be moved yet, the journal stays' "$work/launch-output" && echo yes || echo no)"
done

# The holder ends (and so will the client the next launch starts): that launch ends the undo,
# and the client starts on the old version.
touch "$install/standin-stop"
for _ in $(seq 300); do [[ $(count holder.exe) == 0 ]] && break; sleep 0.2; done
launch
wait_for "$work/exit-code"
check "let go: exit code" "0" "$(cat "$work/exit-code")"
wait_for "$install/veltmora-params.txt"
check "let go: the old version is back" "old app" "$(cat "$install/app.dll")"
check "let go: no journal" "no" "$([[ -f $install/update.journal ]] && echo yes || echo no)"
check "let go: nothing set aside is left" "" "$(cd "$install" && ls | grep '~' || true)"
rm -f "$install/standin-nopipe"
finish
