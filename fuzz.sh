#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/, clang with libFuzzer, ASan and UBSan, the
# library heap on the system allocator) in build/fuzz and runs each for
# SECONDS (default 60) on a corpus seeded from the tests' golden inputs.
# Prints one line per target with its executions and crashes; fails when
# any target crashed. ./fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" clang-14 libclang-rt-14-dev

seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
build=build/fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DREVUROV_SANITIZE=fuzz -DREVUROV_BUILD_TESTS=OFF -DREVUROV_BUILD_APP=OFF >/dev/null
cmake --build "$build" -j3 >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for exe in "$build"/fuzz/fuzz_*; do [ -x "$exe" ] && targets+=("$(basename "$exe")"); done
fi

# No target needs a network; they run where there is none.
netns=(unshare --net)
[ "$(id -u)" -ne 0 ] && netns=(unshare --net --map-root-user)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=0
for name in "${targets[@]}"; do
  name=${name#fuzz_}
  exe="$build/fuzz/fuzz_$name"
  corpus="$build/corpus/$name"
  artifacts="$build/artifacts/$name"
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  if ! REVUROV_FUZZ_SEEDS="$corpus" timeout 120 "$exe" >/dev/null 2>&1; then
    echo "$name: writing its seeds failed" >&2
    failed=1
    continue
  fi
  log="$build/artifacts/$name.log"
  set +e
  "${netns[@]}" "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  crashes=$(find "$artifacts" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' \) | wc -l)
  [ $rc -ne 0 ] && [ "$crashes" -eq 0 ] && crashes=1
  printf '%-20s executions %10s  crashes %d\n' "$name" "${runs:-0}" "$crashes"
  if [ "$crashes" -ne 0 ]; then
    failed=1
    echo "  see $log and $artifacts/" >&2
  fi
done
exit $failed
