#!/usr/bin/env bash
# Runs pytest the one way CTest, the valgrind run and the Windows run all do: with Debian's
# interpreter (the one that has pytest, whatever python3 comes first on PATH), quietly, leaving no
# cache or bytecode in the sources, its temporary folders under BASETEMP (emptied first).
#
#   bash scripts/pytest.sh BASETEMP [pytest arguments...]
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: pytest.sh BASETEMP [pytest arguments...]" >&2; exit 2; }
basetemp=$1
shift
export PYTHONDONTWRITEBYTECODE=1
exec /usr/bin/python3 -m pytest -q -p no:cacheprovider --basetemp="$basetemp" "$@"
