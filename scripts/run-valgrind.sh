#!/usr/bin/env bash
# Runs the black-box tests with the program under valgrind's memcheck. An invalid access, a use of
# uninitialised memory or a definite leak makes the program exit with 99 instead of its own code,
# so the test that ran it fails; what valgrind saw is printed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/install-missing.sh valgrind
bash scripts/build.sh build-valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo -- KorvelCaptureServer

# The harness copies the program into each test's folder (its log goes beside it) and runs it
# there. This stand-in takes its place: it puts the real program where it stands, then runs that
# under valgrind, in the same process.
real=$PWD/build-valgrind/KorvelCaptureServer
standin=$PWD/build-valgrind/memcheck/KorvelCaptureServer
mkdir -p "$(dirname "$standin")"
rm -rf build-valgrind/pytest
cat >"$standin" <<EOF
#!/bin/sh
cp "$real" "\$0.new" && mv "\$0.new" "\$0"
exec valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \\
  --log-file="\$0.memcheck.txt" "\$0" "\$@"
EOF
chmod +x "$standin"

status=0
KORVEL_EXECUTABLE=$standin bash scripts/pytest.sh "$PWD/build-valgrind/pytest" tests/integration "$@" ||
  status=$?
find build-valgrind/pytest -name '*.memcheck.txt' -size +0 -exec tail -n 40 {} +
exit "$status"
