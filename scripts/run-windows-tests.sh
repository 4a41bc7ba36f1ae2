#!/usr/bin/env bash
# Cross-builds the Windows program with mingw-w64 and tests it under Wine, in a virtual display:
# the window, the service under Wine's service control manager, and the message box. The window's
# screenshot is left in build-windows/windows-window.png; docs/windows-window.png is a copy of it
# made by hand (see the README), so a run never changes the sources.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-missing.sh cmake libasio-dev g++-mingw-w64-x86-64-posix wine64 xvfb xauth \
  imagemagick xdotool python3-pytest

bash scripts/build.sh build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release

export KORVEL_WINDOWS_EXECUTABLE=$PWD/build-windows/KorvelCaptureServer.exe
export KORVEL_SCREENSHOT=$PWD/build-windows/windows-window.png
xvfb-run -a -s "-screen 0 800x600x24" bash scripts/pytest.sh "$PWD/build-windows/pytest" \
  tests/integration/test_windows.py
