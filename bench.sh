#!/usr/bin/env bash
# Runs the benchmarks in a release build and prints each result as a ratio
# against its named peer. ./bench.sh [name] runs only bench_<name>.
# Benchmarks name their runs "<case>/ours" and "<case>/<peer>"; the ratio is
# peer time / our time, so above 1 means we are faster.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" libbenchmark-dev libmimalloc-dev libjemalloc-dev libssl-dev libsqlite3-dev liblmdb-dev python3

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DREVUROV_BUILD_TESTS=OFF \
  -DREVUROV_BUILD_BENCH=ON -DREVUROV_BUILD_APP=ON >/dev/null
cmake --build "$build"

shopt -s nullglob
ran=0
for exe in "$build"/bench/bench_*; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe"); name=${name#bench_}
  [ $# -gt 0 ] && [ "$1" != "$name" ] && continue
  echo "== $name"
  json=$(mktemp)
  unshare --net bash -c "ip link set lo up && '$exe' --benchmark_format=json --benchmark_out='$json' --benchmark_out_format=json >/dev/null"
  python3 scripts/bench_ratios.py "$json"
  rm -f "$json"
  ran=1
done
[ $ran -eq 1 ] || echo "no benchmark ran"
