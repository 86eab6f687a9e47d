#!/usr/bin/env bash
# Builds the loader fuzzers with clang and runs each route for a bounded time
# over a seed corpus written by the tests' picture writers.
#   fuzz/run.sh [SECONDS_PER_ROUTE] [ROUTE...]     (default 600 s; bmp jpg gif png tif)
# Crashing inputs land in build/fuzz/findings/<route>/; keep the ones that
# showed a real fault under tests/data/loading/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
shift || true
routes=("$@")
[ ${#routes[@]} -eq 0 ] && routes=(bmp jpg gif png tif)

build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFERROVIN_BUILD_FUZZ=ON -DFERROVIN_BUILD_GUI=OFF -DFERROVIN_BUILD_CLI=OFF \
  -DFERROVIN_BUILD_TESTS=OFF -DFERROVIN_BUILD_BENCH=OFF >/dev/null
targets=(fuzz_make_seeds)
for route in "${routes[@]}"; do targets+=("fuzz_load_$route"); done
cmake --build "$build" --target "${targets[@]}" -j 2

seeds="$build/seeds"
mkdir -p "$seeds"
"$build/bin/fuzz_make_seeds" "$seeds"

for route in "${routes[@]}"; do
  corpus="$build/corpus/$route"
  findings="$build/findings/$route"
  mkdir -p "$corpus" "$findings"
  extra=()
  [ -d "tests/data/loading/fuzz" ] && extra+=("tests/data/loading/fuzz")
  echo "== $route: ${seconds}s"
  nice -n 10 "$build/bin/fuzz_load_$route" "$corpus" "$seeds/$route" "${extra[@]}" \
    -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=3072 \
    -artifact_prefix="$findings/" -print_final_stats=1 || echo "!! $route stopped: see $findings"
done
