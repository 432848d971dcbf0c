#!/usr/bin/env bash
# Perft speed of Vexar and Stockfish, side by side on this machine.
#
# Usage: bench/perft_vs_stockfish.sh [ENGINE] [DEPTH] [STOCKFISH]
#   ENGINE     Vexar program (default build/vexar-0.9-avx); nothing is built here
#   DEPTH      perft length (default 6)
#   STOCKFISH  Stockfish program (default /usr/games/stockfish)
#
# Both programs count the start position and Kiwipete, one after the other,
# single-threaded.  Times are wall clock around the whole process, less the
# same program's start-up and exit (measured with a length-1 run), so both
# engines are timed the same way; Vexar's own "ms" figure is shown beside it.
set -euo pipefail

engine=${1:-build/vexar-0.9-avx}
depth=${2:-6}
stockfish=${3:-/usr/games/stockfish}
for program in "$engine" "$stockfish"; do
  [[ -x $program ]] || { echo "not an executable: $program" >&2; exit 2; }
done
engine=$(realpath "$engine")

positions=(
  "startpos|rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
  "kiwipete|r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
)

workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }

# run KIND FEN LENGTH -> "nodes wall_ms own_ms" (own_ms is - for Stockfish)
run() {
  local kind=$1 fen=$2 length=$3 start end out
  start=$(now_ms)
  if [[ $kind == vexar ]]; then
    # The working directory has no network files: perft does not evaluate.
    out=$(cd "$workdir" && printf 'position fen %s\nperft %d\nquit\n' "$fen" "$length" | "$engine" 2>&1 \
      | sed -n 's/^\([0-9]*\) nodes in \([0-9]*\) ms.*/\1 \2/p')
  else
    out=$(printf 'position fen %s\ngo perft %d\nquit\n' "$fen" "$length" | "$stockfish" 2>&1 \
      | sed -n 's/^Nodes searched: \([0-9]*\)/\1 -/p')
  fi
  end=$(now_ms)
  [[ -n $out ]] || { echo "no perft result from $kind" >&2; exit 1; }
  set -- $out
  echo "$1 $((end - start)) $2"
}

echo "Vexar:     $engine"
echo "Stockfish: $stockfish ($("$stockfish" <<<quit 2>/dev/null | head -1))"
echo "CPU:       $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "perft $depth, wall-clock milliseconds less each program's start-up"
echo
printf '%-10s %-10s %14s %9s %9s %14s\n' position engine nodes ms own_ms nodes/s

declare -A nps
for entry in "${positions[@]}"; do
  name=${entry%%|*}
  fen=${entry#*|}
  declare -A count
  for kind in vexar stockfish; do
    read -r _ base _ < <(run "$kind" "$fen" 1)
    read -r nodes wall own < <(run "$kind" "$fen" "$depth")
    ms=$((wall - base))
    ((ms > 0)) || ms=1
    nps[$name.$kind]=$((nodes * 1000 / ms))
    count[$kind]=$nodes
    printf '%-10s %-10s %14d %9d %9s %14d\n' "$name" "$kind" "$nodes" "$ms" "$own" "${nps[$name.$kind]}"
  done
  [[ ${count[vexar]} == "${count[stockfish]}" ]] || echo "WARNING: node counts differ on $name" >&2
done

echo
for entry in "${positions[@]}"; do
  name=${entry%%|*}
  awk -v a="${nps[$name.vexar]}" -v b="${nps[$name.stockfish]}" -v n="$name" \
    'BEGIN { printf "ratio vexar/stockfish, %-9s %.2f\n", n ":", a / b }'
done
