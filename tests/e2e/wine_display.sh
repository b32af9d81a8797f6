# Sourced by the shell-driven end-to-end tests: re-runs the test on a private Xvfb display
# (xvfb-run -a picks a free one), gives it a private Wine prefix, and stops both at the end.
# Defines: $bin, $root, $work, run (a program under Wine), wait_for FILE CONTENT, check, and
# the launch helpers below (wintool.exe in $bin; the install folder in $install).

bin="$(cd "$1" && pwd)"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
if [[ -z ${LAUNCHER_TEST_UNDER_XVFB:-} ]]; then
  export LAUNCHER_TEST_UNDER_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

work="$(mktemp -d /tmp/launcher-e2e.XXXXXX)"
export WINEPREFIX="$work/prefix"
cleanup_hooks=()
cleanup() {
  for hook in "${cleanup_hooks[@]}"; do eval "$hook" || true; done
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
"$root/scripts/wine-prefix" "$WINEPREFIX"

run() { "$root/scripts/wine-run" "$@"; }

# Windows form of a path under $work.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# wait_for FILE [CONTENT]: polls up to two minutes; a loaded machine is slow, not broken.
wait_for() {
  for _ in $(seq 2400); do
    if [[ -f $1 ]] && { [[ $# -lt 2 ]] || [[ "$(cat "$1")" == "$2" ]]; }; then return 0; fi
    sleep 0.05
  done
  echo "timed out waiting for ${2:+'$2' in }$1 (has: '$(cat "$1" 2>/dev/null)')" >&2
  return 1
}

set_language() { run reg add 'HKCU\SOFTWARE\Veltmora\Language' /ve /d "$1" /f >/dev/null 2>&1; }

count() { run "$bin/wintool.exe" count "$1" | tr -d '\r'; }

# launch_async COMMAND_TEXT [PROGRAM]: the launcher (or PROGRAM) of the install folder $from
# ($install unless set) with this exact command text, in the background. Its log goes to
# $work/launch-output, its exit code to $work/exit-code (each with -$as behind when $as names
# one of several launches at once).
launch_async() {
  local line hex tag="${as:+-$as}"
  line="\"$(winpath "${from:-$install}/${2:-launcher.exe}")\"${1:+ $1}"
  hex=$(printf '%s' "$line" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -d ' \n')
  rm -f "$work/exit-code$tag"
  (set +e; run "$bin/wintool.exe" run-exact "$hex" >"$work/launch-output$tag" 2>&1
    echo $? >"$work/exit-code$tag") &
}

# wait_gone NAME: until no process of that name runs (terminated ones take a moment to go),
# up to a minute.
wait_gone() { for _ in $(seq 300); do [[ $(count "$1") == 0 ]] && break; sleep 0.2; done; }

launcher_exit() { wait_for "$work/exit-code${as:+-$as}" && cat "$work/exit-code${as:+-$as}"; }

# find_window CAPTION_REGEX: the window's id once it shows, waiting up to two minutes. Only a
# window that is mapped: one found before it is takes no focus (X answers BadMatch).
find_window() { timeout 120 xdotool search --sync --onlyvisible --name "$1" | head -1; }

# dialog CAPTION: prints the dialog's description once it shows.
dialog() { run "$bin/wintool.exe" dialog "$1" | tr -d '\r'; }

# button DESCRIPTION ID: where the button with that control id is (IDOK 1, IDCANCEL 2); its
# label follows the system's language, so it is not what the button is found by.
button() { sed -n "s/^button=$2 \([0-9-]* [0-9-]*\) .*/\1/p" <<<"$1"; }

passes=0
failures=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
  if [[ $2 == "$3" ]]; then
    passes=$((passes + 1))
    echo "ok: $1"
  else
    failures=$((failures + 1))
    echo "FAIL: $1: expected '$2', got '$3'"
  fi
}

finish() {
  echo "$passes passed, $failures failed"
  ((failures == 0))
}
