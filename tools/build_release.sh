#!/usr/bin/env bash
# The release build as shipped: link-time and profile-guided optimisation.
#
# Usage: tools/build_release.sh [--programs] [BUILD_DIR] [CMAKE_ARGUMENTS...]
#   --programs  the last step builds the seven programs only (no tools, tests)
#   BUILD_DIR   build folder (default build); further arguments go to cmake
#
# 1. Configures BUILD_DIR with VEXAR_LTO=ON and VEXAR_PGO=generate and builds
#    the seven programs with profiling instrumentation.
# 2. Trains them: each program runs `bench` (0.8 with its own network file)
#    in a scratch folder, which writes the profiles next to the objects.
# 3. Configures the same folder with VEXAR_PGO=use and builds everything
#    (programs, tools and tests; with --programs the programs alone) with the
#    profiles.
# The plain build (`cmake -S . -B build && cmake --build build`) needs none of
# this; docs/measurements.md has what the optimisation gains.
set -euo pipefail
cd "$(dirname "$0")/.."
only_programs=0
if [[ ${1:-} == --programs ]]; then
  only_programs=1
  shift
fi
build=${1:-build}
shift || true
jobs=$(nproc)
programs=(vexar-0.9-avx vexar-0.9 vexar-0.8 vexar-0.7 vexar-0.7-bmi2 vexar-0.6-bmi2 vexar-0.3-popcnt)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXAR_LTO=ON -DVEXAR_PGO=generate "$@"
build=$(realpath "$build")
# Profiles of an earlier training run would be merged into this one.
find "$build" -name '*.gcda' -delete
cmake --build "$build" -j"$jobs" --target "${programs[@]}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp data/network-0.8.nn "$scratch/network.nn"
for program in "${programs[@]}"; do
  # 0.9 finds no network.txt here and plays with the network compiled in.
  if [[ $program == vexar-0.9* ]]; then folder=$scratch/nine; mkdir -p "$folder"; else folder=$scratch; fi
  echo "training run: $program bench"
  (cd "$folder" && "$build/$program" bench | tail -1)
done

cmake -S . -B "$build" -DVEXAR_PGO=use
if ((only_programs)); then
  cmake --build "$build" -j"$jobs" --target "${programs[@]}"
else
  cmake --build "$build" -j"$jobs"
fi
