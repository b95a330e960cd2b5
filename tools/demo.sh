#!/usr/bin/env bash
# Render a demo with the lumeth-2 render-stream host on a fresh machine: installs
# ffmpeg (when root and missing) and the package with the model generator's extras,
# then renders a synthetic speech clip to demo.mp4 (or a PNG strip without ffmpeg).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v ffmpeg >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq ffmpeg >/dev/null || true
fi
python3 -m pip install -q --disable-pip-version-check '.[test]'
python3 tools/demo.py "$@"
