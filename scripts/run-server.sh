#!/usr/bin/env bash
# Installs what is missing, builds the server and runs it in the foreground. Arguments are
# passed to the server; without any it uses its defaults (stream port 3677, event port 9007).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/build.sh build-server -DCMAKE_BUILD_TYPE=Release -DKORVEL_TESTS=OFF
exec ./build-server/KorvelCaptureServer "$@"
