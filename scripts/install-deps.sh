#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12.
set -euo pipefail
here="$(dirname "$0")"
bash "$here/install-missing.sh" cmake g++ make pkg-config libasio-dev libsystemd-dev \
  libgtest-dev libgmock-dev libbenchmark-dev curl python3-pytest iproute2 chromium chromium-driver \
  python3-selenium
# The metrics tests start a Prometheus server of their own, and the front-door test a HAProxy
# with a certificate made by openssl, on ports they choose.
exec bash "$here/install-missing.sh" --no-start prometheus haproxy openssl
