#!/usr/bin/env bash
# Runs the black-box tests with the program under valgrind's memcheck. An invalid access, a use of
# uninitialised memory or a definite leak makes the program exit with 99 instead of its own code,
# so the test that ran it fails; what valgrind saw is printed at the end.
#
# It tests the program of the normal build folder, the one scripts/run-tests.sh makes (CI runs
# that first, so nothing is built here again).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/install-missing.sh valgrind
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -- KorvelCaptureServer

# The harness runs each relay inside this command. Valgrind runs the program in the same process,
# so the harness's pid and descriptor counts are the program's; the program still finds its own
# path (valgrind answers for it), so its log and memcheck's stay beside it in the test's folder.
export KORVEL_EXECUTABLE=$PWD/build/KorvelCaptureServer
export KORVEL_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full \
--errors-for-leak-kinds=definite --log-file={folder}/memcheck.txt"
results=$PWD/build/valgrind
status=0
bash scripts/pytest.sh "$results" tests/integration "$@" || status=$?
find "$results" -name memcheck.txt -size +0 -exec tail -n 40 {} +
exit "$status"
