#!/usr/bin/env bash
# The main job against the bundled stand-ins: builds the tool, the device
# simulator, the update server and the BIRD tool, then runs scripts/demo.py.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j "$(nproc)" Updater simulator update_server birdtool
exec python3 scripts/demo.py build
