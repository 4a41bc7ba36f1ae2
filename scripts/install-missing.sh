#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing. Asks apt only when something is
# missing, so a machine that has everything needs no network.
#
#   bash scripts/install-missing.sh [--no-start] PACKAGE...
#
# --no-start keeps the packages' own services from starting on installation, as the benchmark
# and the scale-out demo start their servers themselves, on ports and in namespaces of their own.
# Debian's maintainer scripts ask policy-rc.d before they start anything, with systemd as PID 1 or
# without it; one that is already there is left as it is.
set -euo pipefail

no_start=
[ "${1-}" != --no-start ] || { no_start=1; shift; }
missing=()
for package in "$@"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
policy=/usr/sbin/policy-rc.d
if [ -n "$no_start" ] && [ ! -e "$policy" ]; then
  trap '"${as_root[@]}" rm -f "$policy"' EXIT
  printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null
  "${as_root[@]}" chmod +x "$policy"
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
