#!/usr/bin/env bash
# Configures a build folder of this repository and builds it on every core; every script and the
# README build through here. The configure step prints only its warnings and errors.
#
#   bash scripts/build.sh DIR [cmake options...] [-- targets...]
#
# Without targets it builds all that the configuration has.
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: build.sh DIR [cmake options...] [-- targets...]" >&2; exit 2; }
dir=$1
shift
options=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  options+=("$1")
  shift
done
[ $# -eq 0 ] || shift
targets=()
[ $# -eq 0 ] || targets=(--target "$@")

cmake -S "$(dirname "$0")/.." -B "$dir" "${options[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
