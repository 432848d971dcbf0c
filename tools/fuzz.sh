#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and fuzzes each for SECONDS (default 60), one after another.
#
#   tools/fuzz.sh [SECONDS] [TARGET...]      e.g. tools/fuzz.sh 3600 fuzz-commands-vexar-0.9-avx
#
# The corpus of each target grows in $FUZZ_WORK (default build-fuzz/grown) from
# one run to the next; a failing input is written there as crash-*, leak-* or
# timeout-* next to the target's name, and the script exits non-zero.
# Keep such an input in tests/fuzz/regressions/<kind>/ once it is fixed.
# FUZZ_SKIP_BUILD=1 skips the build, for several runs side by side;
# SECONDS 0 only builds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
bash tools/setup.sh fuzz
work=$(realpath -m "${FUZZ_WORK:-build-fuzz/grown}")

# FUZZ_SKIP_BUILD=1 reuses the targets already built.
if [ "${FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEXAR_FUZZ=ON -DVEXAR_TESTS=OFF -DVEXAR_BENCHMARKS=OFF >/dev/null
  cmake --build build-fuzz -j"$(nproc)" --target fuzz-all vexar-0.9-avx
fi
[ "$seconds" = 0 ] && exit 0

# Without names: every target the build made (tests/fuzz/targets.cmake).
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in build-fuzz/tests/fuzz/fuzz-*; do targets+=("$(basename "$t")"); done
fi

# Seeds beyond the committed corpus: the shipped network as a complete
# network.nn (first byte 0 = binary) and the first lines of network.txt
# (first byte 1 = text, ending early).
seeds="$work/seeds-network"
if [ ! -s "$seeds/shipped.nn" ]; then
  mkdir -p "$seeds"
  tmp=$(mktemp -d)
  cp data/network.txt "$tmp/"
  (cd "$tmp" && printf 'quit\n' | "$OLDPWD/build-fuzz/vexar-0.9-avx" >/dev/null)
  { printf '\0'; cat "$tmp/network.nn"; } > "$seeds/shipped.nn"
  { printf '\1'; head -n 3000 data/network.txt; } > "$seeds/head.txt"
  rm -r "$tmp"
fi

failed=0
for target in "${targets[@]}"; do
  kind=${target#fuzz-}
  kind=${kind%%-*}
  corpus="$work/$target"
  mkdir -p "$corpus"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1
           -artifact_prefix="$work/$target-")
  inputs=("$corpus" "tests/fuzz/corpus/$kind" "tests/fuzz/regressions/$kind")
  # A smoke run (under a minute) leaves out the committed corpus: reading its
  # thousand-odd command inputs alone takes longer than the run, and the
  # replay tests of the ordinary suite run every one of them anyway.
  if [ "$seconds" -lt 60 ]; then inputs=("$corpus" "tests/fuzz/regressions/$kind"); fi
  case $kind in
    commands) options+=(-dict=tests/fuzz/uci.dict) ;;
    fen) options+=(-dict=tests/fuzz/fen.dict) ;;
    analysis) options+=(-dict=tests/fuzz/fen.dict) ;;
    network) options+=(-max_len=500000); inputs+=("$seeds") ;;
  esac
  log="$work/$target.log"
  if build-fuzz/tests/fuzz/"$target" "${options[@]}" "${inputs[@]}" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  size=$(find "$corpus" -type f | wc -l)
  echo "$target: $result, ${runs:-?} runs in $seconds s (${speed:-?}/s), corpus $size inputs (log: $log)"
  if [ $result = FAILED ]; then grep -E "ERROR|SUMMARY|Test unit written" "$log" | head -5; fi
done
exit $failed
