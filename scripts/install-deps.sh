#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12. Asks apt only when something
# is missing, so a machine that has everything needs no network.
set -euo pipefail

packages=(cmake g++ make pkg-config libasio-dev libsystemd-dev libgtest-dev libgmock-dev curl
  python3-pytest)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
