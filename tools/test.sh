#!/usr/bin/env bash
# Set up and run the test suite on every supported interpreter this machine has:
# CPython 3.11 always, 3.13 when present. Each gets its own virtual environment
# (build/venv-3.X) with the package and its test extras installed, then pytest.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if ! command -v ffmpeg >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq ffmpeg >/dev/null
  fi
fi

source tools/find_python.sh

# run_suite X.Y PYTHON [pytest args...]
run_suite() {
  local v=$1 py=$2 venv="$root/build/venv-$1" log status
  shift 2
  echo "== CPython $v ($py)"
  # (called as `run_suite ... || overall=1`, so errexit is off in here: every
  # step's failure is returned by hand, or the suite would run on an earlier
  # build left in the environment)
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv" || return 1
  "$venv/bin/python" -m pip install -q --disable-pip-version-check '.[test]' || {
    echo "CPython $v: the package did not install" >&2
    return 1
  }
  log=$(mktemp)
  status=0
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" tests 2>&1 | tee "$log" || status=${PIPESTATUS[0]}
  # 5: no tests collected. A path slip must not pass for a green run.
  if [ "$status" = 5 ]; then
    echo "CPython $v: no tests were collected" >&2
    status=1
  fi
  # A native instance still alive when the interpreter exits (a reference cycle
  # the collector cannot see, a leaked reference) is reported by the extension.
  if grep -q "nanobind: leaked" "$log"; then
    echo "CPython $v: the interpreter reported leaked native instances at exit" >&2
    [ "$status" = 0 ] && status=1
  fi
  rm -f "$log"
  return "$status"
}

py311=$(find_python 3.11) || { echo "CPython 3.11 not found" >&2; exit 1; }
overall=0
run_suite 3.11 "$py311" "$@" || overall=1
if py313=$(find_python 3.13); then
  run_suite 3.13 "$py313" "$@" || overall=1
else
  echo "== CPython 3.13 not found: suite run on 3.11 only"
fi
exit "$overall"
