# Sourced by the shell-driven end-to-end tests: re-runs the test on a private Xvfb display
# (xvfb-run -a picks a free one), gives it a private Wine prefix, and stops both at the end.
# Defines: $bin, $root, $work, run (a program under Wine), wait_for FILE CONTENT, check.

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
