#!/usr/bin/env bash
# Builds the fuzz targets as libFuzzer fuzzers (clang, AddressSanitizer and UBSan) and runs each
# for FUZZ_SECONDS (default 60) from a copy of its seed corpus; FUZZ_TARGETS names fewer. Any
# finding fails the run; the input that caused it is left in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/install-missing.sh clang libclang-rt-14-dev
seconds=${FUZZ_SECONDS:-60}
read -r -a targets <<<"${FUZZ_TARGETS:-relay_sessions fan_out query_parsing log_lines journal_reader}"

bash scripts/build.sh build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DKORVEL_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -- "${targets[@]/%/_fuzz}"
mkdir -p build-fuzz/findings
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus"
  cp fuzz/corpus/"$target"/* "$corpus"/
  echo "fuzzing $target for $seconds s"
  if ! build-fuzz/fuzz/"$target"_fuzz -max_total_time="$seconds" -max_len=2048 -timeout=30 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build-fuzz/findings/"$target"- \
      "$corpus" 2>build-fuzz/"$target".log; then
    tail -n 60 build-fuzz/"$target".log
    exit 1
  fi
  grep -E "^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+ +DONE" build-fuzz/"$target".log
done
