#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for a bounded time
# (PARLEVOX_FUZZ_SECONDS, default 60). Prints, per target, the executions and the corpus size.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${PARLEVOX_FUZZ_SECONDS:-60}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DPARLEVOX_FUZZ=ON -DPARLEVOX_BUILD_GUI=OFF -DPARLEVOX_BUILD_BENCH=OFF >/dev/null

names=$(grep -rhoE 'parlevox_add_fuzzer\((fuzz_[A-Za-z0-9_]+)' tests | sed 's/.*(//' | sort -u)
[ -n "$names" ] || { echo "no fuzz targets"; exit 0; }
cmake --build build-fuzz --target $names
for name in $names; do
    binary=$(find build-fuzz/tests -type f -executable -name "$name" | head -n 1)
    corpus=build-fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=$(dirname "$(grep -rlE "parlevox_add_fuzzer\($name" tests | head -n 1)")/fuzz_corpus/$name
    [ -d "$seeds" ] || seeds=""
    log=build-fuzz/$name.log
    "$binary" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
        "$corpus" $seeds >"$log" 2>&1 || { tail -n 40 "$log"; echo "$name FAILED"; exit 1; }
    execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo 0)
    echo "fuzz $name seconds=$seconds executions=$execs corpus_files=$(ls "$corpus" | wc -l)"
done
