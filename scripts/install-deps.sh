#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12.
set -euo pipefail
exec bash "$(dirname "$0")/install-missing.sh" cmake g++ make pkg-config libasio-dev libsystemd-dev \
  libgtest-dev libgmock-dev libbenchmark-dev curl python3-pytest iproute2 chromium chromium-driver \
  python3-selenium
