#!/usr/bin/env bash
# Render a demo with the lumeth-2 render-stream host on a fresh machine: installs
# ffmpeg (when root and missing) and the package with the model generator's extras,
# then renders a synthetic speech clip to demo.mp4 (or a PNG strip without ffmpeg).
# Inside a virtual environment the package goes there; otherwise into a private one
# under build/, so a system interpreter (often closed to pip) is never touched.
set -euo pipefail
cd "$(dirname "$0")/.."
as_root() { [ "$(id -u)" = 0 ]; }
if ! command -v ffmpeg >/dev/null 2>&1 && as_root; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq ffmpeg >/dev/null || true
fi
PY=python3
if ! "$PY" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
  VENV=build/demo-venv
  if [ ! -x "$VENV/bin/python" ]; then
    rm -rf "$VENV"
    if ! "$PY" -m venv "$VENV" && as_root; then
      # Debian-style systems ship venv support separately
      rm -rf "$VENV"
      export DEBIAN_FRONTEND=noninteractive
      apt-get update -qq && apt-get install -y -qq python3-venv >/dev/null
      "$PY" -m venv "$VENV"
    fi
  fi
  PY="$VENV/bin/python"
fi
"$PY" -m pip install -q --disable-pip-version-check '.[test]'
"$PY" tools/demo.py "$@"
