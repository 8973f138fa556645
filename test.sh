#!/usr/bin/env bash
# Builds and runs every test. --asan: AddressSanitizer + UBSan (library heap
# on the system allocator); --tsan: ThreadSanitizer (likewise). Each has its own build
# folder. --long: heavy runs (mutation sweeps, model tests) at their full size. The tests run in a private network namespace with only loopback.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh

mode=debug
sanitize=""
timeout=600
for arg in "$@"; do
  case "$arg" in
    --asan) mode=asan; sanitize=address ;;
    --tsan) mode=tsan; sanitize=thread ;;
    --long) export REVUROV_LONG_TESTS=1; timeout=3600 ;;
    *) echo "usage: $0 [--asan|--tsan] [--long]" >&2; exit 2 ;;
  esac
done

ensure_packages "${BUILD_PACKAGES[@]}"

build="build/$mode"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DREVUROV_SANITIZE="$sanitize" >/dev/null
cmake --build "$build"

# The tests must never reach another host: run them where only loopback exists.
netns=(unshare --net)
[ "$(id -u)" -ne 0 ] && netns=(unshare --net --map-root-user)
if ! "${netns[@]}" true 2>/dev/null; then
  echo "test.sh: cannot create a private network namespace (unshare --net); refusing to run the tests." >&2
  exit 1
fi

export QT_QPA_PLATFORM=offscreen
case "$mode" in
  asan) export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" ;;
  tsan) export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ;;
esac
jobs=$(nproc)
"${netns[@]}" bash -c "ip link set lo up && cd '$build' && ctest --output-on-failure -j$jobs --timeout $timeout"
