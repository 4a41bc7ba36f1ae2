#!/usr/bin/env bash
# Builds the Debian package with debhelper into build-deb/ and checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-missing.sh debhelper dpkg-dev lintian fakeroot cmake g++ libasio-dev \
  libsystemd-dev pkg-config

# A clean tree of the sources with the packaging's debian/ folder at its top.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
tree=$stage/korvel-capture-server
mkdir -p "$tree"
cp -a CMakeLists.txt cmake src packaging "$tree/"
cp -a packaging/debian "$tree/debian"
cp packaging/korvel-capture-server.service packaging/korvel-capture-server.socket "$tree/debian/"
(cd "$tree" && dpkg-buildpackage -b -us -uc >"$stage/build.log" 2>&1) || {
  tail -40 "$stage/build.log" >&2
  exit 1
}

mkdir -p build-deb
rm -f build-deb/*.deb
mv "$stage"/*.deb build-deb/
# Root is warned about, and CI runs as root.
lintian --fail-on error build-deb/*.deb 2> >(grep -v "running with root privileges" >&2)
ls build-deb/*.deb
